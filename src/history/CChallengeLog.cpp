#include "history/CChallengeLog.h"

#include "history/CDBOpenScope.h"
#include "history/CDBStatement.h"
#include "history/CInboxWardenDb.h"

namespace {

constexpr const char* kCreateSql =
    "CREATE TABLE IF NOT EXISTS Challenges (address TEXT NOT NULL, sentAt INTEGER NOT NULL)";
constexpr const char* kIndexSql =
    "CREATE INDEX IF NOT EXISTS ChallengesByAddress ON Challenges (address, sentAt)";

// The table is made on first use: a database that was moved aside or made
// afresh gets it again.
bool EnsureTable(CInboxWardenDb& db) {
    return db.EnsureTable({kCreateSql, kIndexSql}, "challenges");
}

void LogFailure(const char* what, const CDBStatement& statement) {
    CInboxWardenDb::LogTableFailure("Challenges", what, statement);
}

}  // namespace

CChallengeLog::CChallengeLog(CInboxWardenDb& db) : m_db(db) {}

bool CChallengeLog::ChallengedSince(const std::string& address, uint32_t since, bool* ok) {
    if (ok) {
        *ok = false;
    }
    CDBOpenScope scope(m_db);
    if (!scope.isOpen || !EnsureTable(m_db)) {
        return false;
    }
    CDBStatement query(scope.Handle(),
                       "SELECT 1 FROM Challenges WHERE address = :address AND sentAt >= :since "
                       "LIMIT 1");
    query.BindText(query.ParamIndex(":address"), address, kAddressLimit);
    query.BindInt64(query.ParamIndex(":since"), since);
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

bool CChallengeLog::Record(const std::string& address, uint32_t when) {
    CDBOpenScope scope(m_db);
    if (!scope.isOpen || !EnsureTable(m_db)) {
        return false;
    }
    CDBStatement insert(scope.Handle(),
                        "INSERT INTO Challenges (address, sentAt) VALUES (:address, :sentAt)");
    insert.BindText(insert.ParamIndex(":address"), address, kAddressLimit);
    insert.BindInt64(insert.ParamIndex(":sentAt"), when);
    if (insert.Step() != SQLITE_DONE) {
        m_db.NoteFailure(insert.ErrorCode());
        LogFailure("insert", insert);
        return false;
    }
    return true;
}

int CChallengeLog::RemoveBefore(uint32_t before) {
    CDBOpenScope scope(m_db);
    if (!scope.isOpen || !EnsureTable(m_db)) {
        return -1;
    }
    CDBStatement remove(scope.Handle(), "DELETE FROM Challenges WHERE sentAt < :before");
    remove.BindInt64(remove.ParamIndex(":before"), before);
    if (remove.Step() != SQLITE_DONE) {
        m_db.NoteFailure(remove.ErrorCode());
        LogFailure("clean-up", remove);
        return -1;
    }
    return sqlite3_changes(scope.Handle());
}
