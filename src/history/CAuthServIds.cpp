#include "history/CAuthServIds.h"

#include "history/CDBOpenScope.h"
#include "history/CDBStatement.h"
#include "history/CInboxWardenDb.h"

namespace {

// candidate: the id seen at the top of the last `streak` new messages in a
// row (NULL: messages without a field). state and learned: what was taught.
constexpr const char* kCreateSql =
    "CREATE TABLE IF NOT EXISTS AuthServIds (account TEXT PRIMARY KEY NOT NULL, "
    "candidate TEXT, streak INTEGER NOT NULL, state INTEGER NOT NULL, learned TEXT)";

bool EnsureTable(CInboxWardenDb& db) {
    return db.EnsureTable({kCreateSql}, "server ids");
}

void LogFailure(const char* what, const CDBStatement& statement) {
    CInboxWardenDb::LogTableFailure("AuthServIds", what, statement);
}

constexpr size_t kAccountLimit = 255;

}  // namespace

CAuthServIds::CAuthServIds(CInboxWardenDb& db) : m_db(db) {}

bool CAuthServIds::Observe(const std::string& account, bool found, const std::string& servId) {
    CDBOpenScope scope(m_db);
    if (!scope.isOpen || !EnsureTable(m_db)) {
        return false;
    }
    const std::string id = servId.substr(0, kIdLimit);
    bool had = false;
    bool hadCandidate = false;
    std::string candidate;
    int64_t streak = 0;
    int64_t state = AS_Unknown;
    std::string learned;
    {
        CDBStatement query(scope.Handle(),
                           "SELECT candidate, streak, state, learned FROM AuthServIds "
                           "WHERE account = :account");
        query.BindText(query.ParamIndex(":account"), account, kAccountLimit);
        int rc = query.Step();
        if (rc == SQLITE_ROW) {
            had = true;
            hadCandidate = !query.ColumnIsNull(0);
            candidate = query.ColumnText(0);
            streak = query.ColumnInt64(1);
            state = query.ColumnInt64(2);
            learned = query.ColumnText(3);
        } else if (rc != SQLITE_DONE) {
            m_db.NoteFailure(query.ErrorCode());
            LogFailure("look-up", query);
            return false;
        }
    }
    if (had && hadCandidate == found && (!found || candidate == id)) {
        if (streak >= kLearnAfter) {
            return true;  // already taught: nothing to write
        }
        ++streak;
    } else {
        streak = 1;
    }
    if (streak >= kLearnAfter) {
        state = found ? AS_Learned : AS_WritesNone;
        learned = found ? id : std::string();
    }
    CDBStatement write(scope.Handle(),
                       "INSERT OR REPLACE INTO AuthServIds (account, candidate, streak, state, "
                       "learned) VALUES (:account, :candidate, :streak, :state, :learned)");
    write.BindText(write.ParamIndex(":account"), account, kAccountLimit);
    if (found) {
        // An empty id is a value of its own here, not "none".
        write.BindText(write.ParamIndex(":candidate"), id, kIdLimit);
    }
    write.BindInt64(write.ParamIndex(":streak"), streak);
    write.BindInt64(write.ParamIndex(":state"), state);
    write.BindText(write.ParamIndex(":learned"), learned, kIdLimit);
    if (write.Step() != SQLITE_DONE) {
        m_db.NoteFailure(write.ErrorCode());
        LogFailure("update", write);
        return false;
    }
    return true;
}

CAuthServIds::Entry CAuthServIds::Get(const std::string& account) {
    Entry entry;
    CDBOpenScope scope(m_db);
    if (!scope.isOpen || !EnsureTable(m_db)) {
        return entry;
    }
    CDBStatement query(scope.Handle(),
                       "SELECT state, learned FROM AuthServIds WHERE account = :account");
    query.BindText(query.ParamIndex(":account"), account, kAccountLimit);
    int rc = query.Step();
    if (rc == SQLITE_ROW) {
        int64_t state = query.ColumnInt64(0);
        if (state == AS_Learned || state == AS_WritesNone) {
            entry.state = static_cast<State>(state);
            entry.servId = query.ColumnText(1);
        }
    } else if (rc != SQLITE_DONE) {
        m_db.NoteFailure(query.ErrorCode());
        LogFailure("look-up", query);
    }
    return entry;
}
