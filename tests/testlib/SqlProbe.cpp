#include "SqlProbe.h"

SqlProbe::SqlProbe(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        m_error = m_db ? sqlite3_errmsg(m_db) : "open failed";
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    } else {
        sqlite3_busy_timeout(m_db, 2000);
    }
}

SqlProbe::~SqlProbe() {
    sqlite3_close_v2(m_db);
}

bool SqlProbe::Exec(const std::string& sql) {
    if (!m_db) {
        return false;
    }
    char* message = nullptr;
    int rc = sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &message);
    m_error = message ? message : "";
    sqlite3_free(message);
    return rc == SQLITE_OK;
}

std::vector<std::string> SqlProbe::Column(const std::string& sql) {
    std::vector<std::string> values;
    sqlite3_stmt* stmt = nullptr;
    if (!m_db || sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        m_error = m_db ? sqlite3_errmsg(m_db) : "not open";
        return values;
    }
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(stmt, 0);
        if (text) {
            values.emplace_back(reinterpret_cast<const char*>(text),
                                static_cast<size_t>(sqlite3_column_bytes(stmt, 0)));
        } else {
            values.emplace_back("<null>");
        }
    }
    sqlite3_finalize(stmt);
    return values;
}

int64_t SqlProbe::Number(const std::string& sql) {
    int64_t value = -1;
    sqlite3_stmt* stmt = nullptr;
    if (!m_db || sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        m_error = m_db ? sqlite3_errmsg(m_db) : "not open";
        return value;
    }
    if (sqlite3_step(stmt) == SQLITE_ROW) {
        value = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
    return value;
}
