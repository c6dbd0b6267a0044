#include "history/CEmailHistory.h"

#include <algorithm>
#include <climits>
#include <optional>

#include "history/CDBOpenScope.h"
#include "history/CDBStatement.h"
#include "support/CLogFile.h"

namespace {

constexpr const char* kTable = "EmailData";
constexpr const char* kCaption = "Database Error";

constexpr const char* kSelectAllSql =
    "SELECT id, account, myTimestamp, headerTimestamp, sender, subject, status, bodyChecksum, "
    "todo, reason, reasonDetails, emailFilename FROM EmailData ORDER BY id";

constexpr const char* kInsertSql =
    "INSERT INTO EmailData (account, sender, subject, status, reason, reasonDetails, todo, "
    "headerTimestamp, myTimestamp, bodyChecksum, emailFilename) VALUES (:account, :sender, "
    ":subject, :status, :reason, :reasonDetails, :todo, :headerTimestamp, :myTimestamp, "
    ":bodyChecksum, :emailFilename)";

// An empty text binds Null, and COALESCE keeps the stored value for it.
constexpr const char* kUpdateSql =
    "UPDATE EmailData SET account = COALESCE(:account, account), "
    "sender = COALESCE(:sender, sender), subject = COALESCE(:subject, subject), "
    "reasonDetails = COALESCE(:reasonDetails, reasonDetails), "
    "headerTimestamp = COALESCE(:headerTimestamp, headerTimestamp), "
    "emailFilename = COALESCE(:emailFilename, emailFilename), todo = :todo, status = :status, "
    "reason = :reason, myTimestamp = :myTimestamp, bodyChecksum = :bodyChecksum WHERE id = :id";

constexpr const char* kDeleteSql = "DELETE FROM EmailData WHERE id = :id";

void BindInt(CDBStatement& statement, const char* name, uint32_t value) {
    statement.BindInt(statement.ParamIndex(name), static_cast<int32_t>(value));
}

void BindRecord(CDBStatement& statement, const CEmailData& record) {
    CInboxWardenDb::SetTextField(statement, kTable, "account", record.m_account);
    CInboxWardenDb::SetTextField(statement, kTable, "sender", record.m_sender);
    CInboxWardenDb::SetTextField(statement, kTable, "subject", record.m_subject);
    CInboxWardenDb::SetTextField(statement, kTable, "reasonDetails", record.m_reasonDetails);
    CInboxWardenDb::SetTextField(statement, kTable, "headerTimestamp", record.m_headerTimestamp);
    CInboxWardenDb::SetTextField(statement, kTable, "emailFilename", record.m_emailFilename);
    BindInt(statement, ":todo", record.m_todo);
    BindInt(statement, ":status", record.m_status);
    BindInt(statement, ":reason", record.m_reason);
    BindInt(statement, ":myTimestamp", record.m_myTimestamp);
    BindInt(statement, ":bodyChecksum", record.m_bodyChecksum);
}

// The prepared statements of one unit of work that writes records.
struct RecordWriter {
    explicit RecordWriter(sqlite3* db) : db(db), insert(db, kInsertSql), update(db, kUpdateSql) {}

    // Writes the record's row, adding one when it has none; the record gets
    // the id of an added row. On failure `adding` tells which step failed.
    bool Write(CEmailData& record, bool& adding, int& code, std::string& error) {
        adding = true;
        if (record.m_id != -1) {
            adding = false;
            BindRecord(update, record);
            update.BindInt(update.ParamIndex(":id"), record.m_id);
            int rc = update.Step();
            if (rc != SQLITE_DONE) {
                code = update.ErrorCode();
                error = update.Error();
                update.Reset();
                return false;
            }
            update.Reset();
            if (sqlite3_changes(db) > 0) {
                return true;
            }
            // The row is gone: store the record as a new one.
            adding = true;
        }
        BindRecord(insert, record);
        int rc = insert.Step();
        if (rc != SQLITE_DONE) {
            code = insert.ErrorCode();
            error = insert.Error();
            insert.Reset();
            return false;
        }
        insert.Reset();
        sqlite3_int64 id = sqlite3_last_insert_rowid(db);
        if (id <= 0 || id > INT32_MAX) {
            code = SQLITE_RANGE;
            error = "new row id " + std::to_string(id) + " does not fit a record id";
            return false;
        }
        record.m_id = static_cast<int32_t>(id);
        return true;
    }

    bool IsValid(int& code, std::string& error) const {
        const CDBStatement& bad = insert.IsValid() ? update : insert;
        if (bad.IsValid()) {
            return true;
        }
        code = bad.ErrorCode();
        error = bad.Error();
        return false;
    }

    sqlite3* db;
    CDBStatement insert;
    CDBStatement update;
};

// The longest text a column can hold. Longer texts cannot come from this
// program; they are cut so that a foreign file cannot make the history grow
// without bound.
size_t TextLimit(const char* name) {
    const CInboxWardenDb::ColumnDef* def = CInboxWardenDb::FindColumn(kTable, name);
    if (def && def->kind == CInboxWardenDb::CK_Text) {
        return static_cast<size_t>(def->size);
    }
    return CInboxWardenDb::kMemoLimit;
}

CEmailData CopyWithoutText(const CEmailData& from) {
    CEmailData copy(from.m_account, from.m_myTimestamp, from.m_sender, from.m_subject,
                    from.m_bodyChecksum, std::string(), from.m_headerTimestamp, from.m_size,
                    from.m_status, from.m_reason, from.m_reasonDetails, from.m_emailFilename,
                    from.m_serverId);
    copy.m_id = from.m_id;
    copy.m_todo = from.m_todo;
    copy.m_restoreFailures = from.m_restoreFailures;
    copy.m_dirty = from.m_dirty;
    copy.m_duplicate = from.m_duplicate;
    return copy;
}

}  // namespace

CEmailHistory::CEmailHistory(CInboxWardenDb& db) : m_db(db) {}

CEmailHistory::~CEmailHistory() {
    for (CEmailData* record : m_records) {
        delete record;
    }
}

void CEmailHistory::Deliver(const Notices& notices) {
    for (const auto& [caption, text] : notices) {
        m_db.Notice(caption, text);
    }
}

int CEmailHistory::LoadAll() {
    Notices notices;
    int count = 0;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        CDBOpenScope scope(m_db);
        if (!scope.isOpen) {
            return -1;
        }
        CLogFile* log = CInboxWardenDb::MainLog();
        CDBStatement rows(scope.Handle(), kSelectAllSql);
        if (log) {
            log->Write("Starting loop...");
        }
        // Looked up once, not for each of thousands of rows at every start.
        static const size_t kAccount = TextLimit("account"),
                            kHeaderTimestamp = TextLimit("headerTimestamp"),
                            kSender = TextLimit("sender"), kSubject = TextLimit("subject"),
                            kReasonDetails = TextLimit("reasonDetails"),
                            kEmailFilename = TextLimit("emailFilename");
        int rc = rows.Step();
        while (rc == SQLITE_ROW) {
            auto* record =
                new CEmailData(std::string(), 0, std::string(), std::string(), 0, std::string(),
                               std::string(), 0, 0, 0, std::string(), std::string(), 0);
            record->m_id = rows.ColumnInt(0);
            record->m_account = rows.ColumnText(1, kAccount);
            record->m_myTimestamp = static_cast<uint32_t>(rows.ColumnInt(2));
            record->m_headerTimestamp = rows.ColumnText(3, kHeaderTimestamp);
            record->m_sender = rows.ColumnText(4, kSender);
            record->m_subject = rows.ColumnText(5, kSubject);
            record->m_status = static_cast<uint32_t>(rows.ColumnInt(6));
            record->m_bodyChecksum = static_cast<uint32_t>(rows.ColumnInt(7));
            record->m_todo = static_cast<uint32_t>(rows.ColumnInt(8));
            record->m_reason = static_cast<uint32_t>(rows.ColumnInt(9));
            record->m_reasonDetails = rows.ColumnText(10, kReasonDetails);
            record->m_emailFilename = rows.ColumnText(11, kEmailFilename);
            record->m_dirty = false;
            m_records.push_back(record);
            ++count;
            rc = rows.Step();
        }
        if (rc != SQLITE_DONE) {
            m_db.NoteFailure(rows.ErrorCode());
            notices.emplace_back(kCaption, "Error reading the email history after " +
                                               std::to_string(count) + " records: " + rows.Error());
            count = -1;
        }
    }
    ++m_changeCount;
    Deliver(notices);
    return count;
}

void CEmailHistory::Add(CEmailData* record) {
    if (!record) {
        return;
    }
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_records.push_back(record);
    ++m_changeCount;
}

int CEmailHistory::GetCount() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return static_cast<int>(m_records.size());
}

CEmailData* CEmailHistory::GetAt(int index) const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (index < 0 || static_cast<size_t>(index) >= m_records.size()) {
        return nullptr;
    }
    return m_records[static_cast<size_t>(index)];
}

void CEmailHistory::SaveAll() {
    Notices notices;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        std::vector<CEmailData*> dirty;
        for (CEmailData* record : m_records) {
            if (record->m_dirty) {
                dirty.push_back(record);
            }
        }
        if (dirty.empty()) {
            return;
        }
        CDBOpenScope scope(m_db);
        if (!scope.isOpen) {
            return;
        }
        CLogFile* log = CInboxWardenDb::MainLog();
        std::string error;
        int code = SQLITE_OK;
        // Ids given to new rows inside the transaction, to take back when it fails.
        std::vector<int32_t> oldIds;
        oldIds.reserve(dirty.size());
        bool ok = m_db.Exec("BEGIN IMMEDIATE", &error);
        if (!ok) {
            notices.emplace_back(kCaption, "Cannot start saving the email history: " + error);
        } else {
            RecordWriter writer(scope.Handle());
            if (!writer.IsValid(code, error)) {
                ok = false;
                m_db.NoteFailure(code);
                notices.emplace_back(kCaption, "Cannot save the email history: " + error);
            }
            for (size_t i = 0; ok && i < dirty.size(); ++i) {
                CEmailData& record = *dirty[i];
                oldIds.push_back(record.m_id);
                bool adding = false;
                if (!writer.Write(record, adding, code, error)) {
                    ok = false;
                    m_db.NoteFailure(code);
                    notices.emplace_back(kCaption,
                                         record.Dump(adding ? "Error creating new record for email:"
                                                            : "Error updating record for email:"));
                    if (log) {
                        log->Write("%s", error.c_str());
                    }
                }
            }
            if (ok && !m_db.Exec("COMMIT", &error)) {
                ok = false;
                notices.emplace_back(kCaption, "Saving the email history failed: " + error);
            }
            if (!ok) {
                m_db.Exec("ROLLBACK");
            }
        }
        for (size_t i = 0; i < dirty.size(); ++i) {
            if (ok) {
                dirty[i]->m_dirty = false;
            } else if (i < oldIds.size()) {
                dirty[i]->m_id = oldIds[i];
            }
        }
    }
    Deliver(notices);
}

int CEmailHistory::SaveRecord(CEmailData& record) {
    Notices notices;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        std::lock_guard<std::recursive_mutex> dbGuard(m_db.Lock());
        RecordWriter writer(m_db.Handle());
        bool adding = record.m_id == -1;
        int code = SQLITE_OK;
        std::string error;
        int32_t oldId = record.m_id;
        if (writer.IsValid(code, error) && writer.Write(record, adding, code, error)) {
            record.m_dirty = false;
        } else {
            record.m_id = oldId;
            m_db.NoteFailure(code);
            notices.emplace_back(kCaption,
                                 record.Dump(adding ? "Error creating new record for email:"
                                                    : "Error updating record for email:"));
            if (CLogFile* log = CInboxWardenDb::MainLog()) {
                log->Write("%s", error.c_str());
            }
        }
    }
    Deliver(notices);
    return 1;
}

int CEmailHistory::DeleteFromDatabaseLocked(CEmailData& record, Notices& notices) {
    CDBStatement remove(m_db.Handle(), kDeleteSql);
    remove.BindInt(remove.ParamIndex(":id"), record.m_id);
    if (remove.Step() != SQLITE_DONE) {
        m_db.NoteFailure(remove.ErrorCode());
        notices.emplace_back(kCaption, record.Dump("Error deleting record for email:"));
        if (CLogFile* log = CInboxWardenDb::MainLog()) {
            log->Write("%s", remove.Error().c_str());
        }
    }
    return 1;
}

int CEmailHistory::DeleteFromDatabase(int index) {
    Notices notices;
    int result = -1;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (index < 0 || static_cast<size_t>(index) >= m_records.size()) {
            return -1;
        }
        CEmailData& record = *m_records[static_cast<size_t>(index)];
        if (record.m_id == -1) {
            return -1;
        }
        CDBOpenScope scope(m_db);
        if (!scope.isOpen) {
            return -1;
        }
        result = DeleteFromDatabaseLocked(record, notices);
    }
    Deliver(notices);
    return result;
}

void CEmailHistory::CleanupHistory(int cutoffDay) {
    Notices notices;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        CLogFile* log = CInboxWardenDb::MainLog();
        // One unit of work for all deletions, opened only when a stored record
        // goes; records never saved leave without touching the database.
        std::optional<CDBOpenScope> scope;
        bool inTransaction = false;
        bool removed = false;
        for (size_t i = m_records.size(); i-- > 0;) {
            CEmailData* record = m_records[i];
            int day = static_cast<int32_t>(record->m_myTimestamp) / 86400;
            if (log) {
                IW_LOG_AT(*log, "CleanupHistory(%d) test: %d ", cutoffDay, day);
            }
            if (day >= cutoffDay) {
                continue;
            }
            if (record->m_id != -1) {
                if (!scope) {
                    scope.emplace(m_db);
                    inTransaction = scope->isOpen && m_db.Exec("BEGIN IMMEDIATE");
                }
                if (scope->isOpen) {
                    DeleteFromDatabaseLocked(*record, notices);
                }
            }
            delete record;
            m_records[i] = nullptr;
            removed = true;
        }
        if (inTransaction) {
            std::string error;
            if (!m_db.Exec("COMMIT", &error)) {
                m_db.Exec("ROLLBACK");
                notices.emplace_back(kCaption, "Removing old records failed: " + error);
            }
        }
        if (removed) {
            m_records.erase(std::remove(m_records.begin(), m_records.end(), nullptr),
                            m_records.end());
            ++m_changeCount;
        }
    }
    Deliver(notices);
}

std::vector<CEmailHistory::SnapshotEntry> CEmailHistory::Snapshot(bool withText,
                                                                  uint64_t* changeCount) const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::vector<SnapshotEntry> entries;
    entries.reserve(m_records.size());
    for (const CEmailData* record : m_records) {
        if (withText) {
            entries.push_back({record, *record});
        } else {
            entries.push_back({record, CopyWithoutText(*record)});
        }
    }
    if (changeCount) {
        *changeCount = m_changeCount.load();
    }
    return entries;
}

bool CEmailHistory::Modify(const CEmailData* key, const std::function<void(CEmailData&)>& change) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    int index = IndexOf(key);
    if (index < 0) {
        return false;
    }
    if (change) {
        change(*m_records[static_cast<size_t>(index)]);
    }
    ++m_changeCount;
    return true;
}

int CEmailHistory::IndexOf(const CEmailData* key) const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    auto found = std::find(m_records.begin(), m_records.end(), key);
    return found == m_records.end() ? -1 : static_cast<int>(found - m_records.begin());
}
