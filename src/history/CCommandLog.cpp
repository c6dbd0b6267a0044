#include "history/CCommandLog.h"

#include "history/CDBOpenScope.h"
#include "history/CDBStatement.h"
#include "history/CInboxWardenDb.h"

namespace {

constexpr const char* kCreateSql =
    "CREATE TABLE IF NOT EXISTS ObeyedCommands (messageKey TEXT PRIMARY KEY, obeyedAt INTEGER "
    "NOT NULL)";

// Made on first use, like the other tables added after the first release.
bool EnsureTable(CInboxWardenDb& db) {
    return db.EnsureTable({kCreateSql}, "obeyed commands");
}

void LogFailure(const char* what, const CDBStatement& statement) {
    CInboxWardenDb::LogTableFailure("ObeyedCommands", what, statement);
}

}  // namespace

CCommandLog::CCommandLog(CInboxWardenDb& db) : m_db(db) {}

bool CCommandLog::WasObeyed(const std::string& key, bool* ok) {
    if (ok) {
        *ok = false;
    }
    CDBOpenScope scope(m_db);
    if (!scope.isOpen || !EnsureTable(m_db)) {
        return false;
    }
    CDBStatement query(scope.Handle(), "SELECT 1 FROM ObeyedCommands WHERE messageKey = :key");
    query.BindText(query.ParamIndex(":key"), key, kKeyLimit);
    int rc = query.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        m_db.NoteFailure(query.ErrorCode());
        LogFailure("look-up", query);
        return false;
    }
    if (ok) {
        *ok = true;
    }
    return rc == SQLITE_ROW;
}

bool CCommandLog::Record(const std::string& key, uint32_t when) {
    CDBOpenScope scope(m_db);
    if (!scope.isOpen || !EnsureTable(m_db)) {
        return false;
    }
    CDBStatement insert(scope.Handle(),
                        "INSERT OR IGNORE INTO ObeyedCommands (messageKey, obeyedAt) VALUES "
                        "(:key, :at)");
    insert.BindText(insert.ParamIndex(":key"), key, kKeyLimit);
    insert.BindInt64(insert.ParamIndex(":at"), when);
    if (insert.Step() != SQLITE_DONE) {
        m_db.NoteFailure(insert.ErrorCode());
        LogFailure("insert", insert);
        return false;
    }
    return true;
}
