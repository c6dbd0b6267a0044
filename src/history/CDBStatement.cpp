#include "history/CDBStatement.h"

#include <algorithm>
#include <climits>

CDBStatement::CDBStatement(sqlite3* db, const char* sql) : m_db(db) {
    if (!m_db) {
        m_errorCode = SQLITE_MISUSE;
        m_error = "database not open";
        return;
    }
    int rc = sqlite3_prepare_v2(m_db, sql, -1, &m_stmt, nullptr);
    if (rc != SQLITE_OK) {
        m_errorCode = rc;
        m_error = sqlite3_errmsg(m_db);
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
    }
}

CDBStatement::~CDBStatement() {
    sqlite3_finalize(m_stmt);
}

int CDBStatement::ParamIndex(const char* name) const {
    return m_stmt ? sqlite3_bind_parameter_index(m_stmt, name) : 0;
}

void CDBStatement::NoteBindResult(int rc) {
    if (rc != SQLITE_OK && m_errorCode == SQLITE_OK) {
        m_errorCode = rc;
        m_error = sqlite3_errmsg(m_db);
    }
}

void CDBStatement::BindText(int index, const std::string& text, size_t maxLength) {
    if (!m_stmt) {
        return;
    }
    size_t length = std::min({text.size(), maxLength, static_cast<size_t>(INT_MAX)});
    NoteBindResult(
        sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(length), SQLITE_STATIC));
}

void CDBStatement::BindInt(int index, int32_t value) {
    if (m_stmt) {
        NoteBindResult(sqlite3_bind_int(m_stmt, index, value));
    }
}

void CDBStatement::BindInt64(int index, int64_t value) {
    if (m_stmt) {
        NoteBindResult(sqlite3_bind_int64(m_stmt, index, value));
    }
}

void CDBStatement::BindNull(int index) {
    if (m_stmt) {
        NoteBindResult(sqlite3_bind_null(m_stmt, index));
    }
}

int CDBStatement::Step() {
    if (!m_stmt) {
        return m_errorCode == SQLITE_OK ? SQLITE_MISUSE : m_errorCode;
    }
    if (m_errorCode != SQLITE_OK) {
        // A failed bind would run the statement with a missing value.
        return m_errorCode;
    }
    int rc = sqlite3_step(m_stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        m_errorCode = rc;
        m_error = sqlite3_errmsg(m_db);
    }
    return rc;
}

void CDBStatement::Reset() {
    if (!m_stmt) {
        return;
    }
    sqlite3_reset(m_stmt);
    // Bound texts point into the caller's strings; none may outlive this use.
    sqlite3_clear_bindings(m_stmt);
    m_errorCode = SQLITE_OK;
    m_error.clear();
}

int32_t CDBStatement::ColumnInt(int column) const {
    return m_stmt ? static_cast<int32_t>(sqlite3_column_int64(m_stmt, column)) : 0;
}

int64_t CDBStatement::ColumnInt64(int column) const {
    return m_stmt ? sqlite3_column_int64(m_stmt, column) : 0;
}

bool CDBStatement::ColumnIsNull(int column) const {
    return !m_stmt || sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

std::string CDBStatement::ColumnText(int column, size_t maxLength) const {
    if (!m_stmt) {
        return {};
    }
    const unsigned char* text = sqlite3_column_text(m_stmt, column);
    if (!text) {
        return {};
    }
    size_t length = static_cast<size_t>(sqlite3_column_bytes(m_stmt, column));
    return std::string(reinterpret_cast<const char*>(text), std::min(length, maxLength));
}
