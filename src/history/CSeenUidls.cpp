#include "history/CSeenUidls.h"

#include "history/CDBOpenScope.h"
#include "history/CDBStatement.h"
#include "support/CLogFile.h"

namespace {

void LogProblem(const char* what, const std::string& error) {
    if (CLogFile* log = CInboxWardenDb::MainLog()) {
        log->Write("Seen ids: %s failed: %s", what, error.c_str());
    }
}

}  // namespace

CSeenUidls::CSeenUidls(CInboxWardenDb& db) : m_db(db) {}

bool CSeenUidls::EnsureTable() {
    std::string error;
    if (m_db.Exec("CREATE TABLE IF NOT EXISTS SeenUidls (account TEXT NOT NULL, uidl TEXT NOT "
                  "NULL, recordId INTEGER NOT NULL, size INTEGER NOT NULL, PRIMARY KEY (account, "
                  "uidl, recordId))",
                  &error)) {
        return true;
    }
    LogProblem("creating the table", error);
    return false;
}

bool CSeenUidls::Load(const std::string& account, std::vector<Entry>& entries) {
    entries.clear();
    CDBOpenScope scope(m_db);
    if (!scope.isOpen || !EnsureTable()) {
        return false;
    }
    CDBStatement select(scope.Handle(),
                        "SELECT uidl, recordId, size FROM SeenUidls WHERE account = :account");
    if (!select.IsValid()) {
        LogProblem("reading", select.Error());
        return false;
    }
    select.BindText(select.ParamIndex(":account"), account);
    int step = select.Step();
    while (step == SQLITE_ROW) {
        Entry entry;
        entry.uid = select.ColumnText(0, 70);
        entry.recordId = select.ColumnInt(1);
        entry.size = static_cast<uint32_t>(select.ColumnInt64(2));
        entries.push_back(std::move(entry));
        step = select.Step();
    }
    if (step != SQLITE_DONE) {
        m_db.NoteFailure(select.ErrorCode());
        LogProblem("reading", select.Error());
        entries.clear();
        return false;
    }
    return true;
}

bool CSeenUidls::Update(const std::string& account, const std::vector<std::string>& dropped,
                        const std::vector<Entry>& added) {
    if (dropped.empty() && added.empty()) {
        return true;
    }
    CDBOpenScope scope(m_db);
    if (!scope.isOpen || !EnsureTable()) {
        return false;
    }
    std::string error;
    if (!m_db.Exec("BEGIN IMMEDIATE", &error)) {
        LogProblem("starting a transaction", error);
        return false;
    }
    bool ok = true;
    {
        CDBStatement remove(scope.Handle(),
                            "DELETE FROM SeenUidls WHERE account = :account AND uidl = :uidl");
        ok = remove.IsValid();
        error = remove.Error();
        for (size_t i = 0; ok && i < dropped.size(); ++i) {
            remove.Reset();
            remove.BindText(remove.ParamIndex(":account"), account);
            remove.BindText(remove.ParamIndex(":uidl"), dropped[i]);
            ok = remove.Step() == SQLITE_DONE;
            if (!ok) {
                m_db.NoteFailure(remove.ErrorCode());
                error = remove.Error();
            }
        }
    }
    if (ok) {
        CDBStatement insert(scope.Handle(),
                            "INSERT OR REPLACE INTO SeenUidls (account, uidl, recordId, size) "
                            "VALUES (:account, :uidl, :recordId, :size)");
        ok = insert.IsValid();
        error = insert.Error();
        for (size_t i = 0; ok && i < added.size(); ++i) {
            insert.Reset();
            insert.BindText(insert.ParamIndex(":account"), account);
            insert.BindText(insert.ParamIndex(":uidl"), added[i].uid);
            insert.BindInt(insert.ParamIndex(":recordId"), added[i].recordId);
            insert.BindInt64(insert.ParamIndex(":size"), added[i].size);
            ok = insert.Step() == SQLITE_DONE;
            if (!ok) {
                m_db.NoteFailure(insert.ErrorCode());
                error = insert.Error();
            }
        }
    }
    if (ok && !m_db.Exec("COMMIT", &error)) {
        ok = false;
    }
    if (!ok) {
        m_db.Exec("ROLLBACK");
        LogProblem("writing", error);
    }
    return ok;
}

int CSeenUidls::RemoveOrphans() {
    CDBOpenScope scope(m_db);
    if (!scope.isOpen || !EnsureTable()) {
        return -1;
    }
    std::string error;
    if (!m_db.Exec("DELETE FROM SeenUidls WHERE recordId NOT IN (SELECT id FROM EmailData)",
                   &error)) {
        LogProblem("removing entries of removed records", error);
        return -1;
    }
    return sqlite3_changes(scope.Handle());
}
