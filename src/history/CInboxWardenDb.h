#pragma once

#include <sqlite3.h>

#include <atomic>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>

class CDBStatement;
class CLogFile;

// The process's one database: the file "InboxWarden.mdb" in the data folder,
// opened for one unit of work at a time (see CDBOpenScope) and closed again.
// Every member that touches the connection expects the database lock held;
// CDBOpenScope takes it for its whole life.
class CInboxWardenDb {
public:
    // Caption and text of something the user should see ("Database Error").
    using NoticeCallback = std::function<void(const std::string& caption, const std::string& text)>;

    enum ColumnKind { CK_Long, CK_Text, CK_Memo };
    struct ColumnDef {
        const char* name;
        ColumnKind kind;
        int size;  // declared size of a text column
    };
    struct TableDef {
        const char* name;
        const ColumnDef* columns;
        int columnCount;
    };

    static constexpr const char* kFileName = "InboxWarden.mdb";
    // Longest text written into a Memo column.
    static constexpr size_t kMemoLimit = 1000;

    CInboxWardenDb() = default;
    ~CInboxWardenDb();
    CInboxWardenDb(const CInboxWardenDb&) = delete;
    CInboxWardenDb& operator=(const CInboxWardenDb&) = delete;

    static CInboxWardenDb& Instance();

    // The main log of the process environment; nullptr when there is none.
    static CLogFile* MainLog();

    // Data folder followed by "/InboxWarden.mdb".
    static std::string GetPath();

    // The six tables in creation order: EmailData, then the five lists.
    static const TableDef* GetTables(int* count);
    static const TableDef* FindTable(const char* name);
    static const ColumnDef* FindColumn(const char* table, const char* column);

    // Binds a text value for column `column` of `table` to the statement
    // parameter ":column": an empty text binds Null (statements keep the
    // column's previous value for it), Text columns are cut to their declared
    // size, Memo columns to 1,000 characters, other columns get nothing.
    static void SetTextField(CDBStatement& statement, const char* table, const char* column,
                             const std::string& text);

    std::recursive_mutex& Lock() { return m_lock; }

    // Scope bookkeeping, called by CDBOpenScope with the lock held.
    bool EnterScope();
    void LeaveScope();

    // Creates the file and its tables; open afterwards when it succeeds.
    bool CreateDatabase();

    bool IsOpen() const { return m_db != nullptr; }
    sqlite3* Handle() const { return m_db; }

    // Runs statement text without values (transactions, schema).
    bool Exec(const char* sql, std::string* error = nullptr);

    // Makes a table added after the first release on first use: each
    // statement is a "CREATE ... IF NOT EXISTS"; a failure is logged as
    // "Cannot make the table of <what>".
    bool EnsureTable(std::initializer_list<const char*> statements, const char* what);
    // Logs a failed step on such a table: "<table> table: <step> failed: ...".
    static void LogTableFailure(const char* table, const char* step, const CDBStatement& statement);

    // Callers pass every failing result code here: a corrupt database is
    // checked at the next open and moved aside when the check fails.
    void NoteFailure(int resultCode);

    // Writes the text to the main log and hands it to the notice callback.
    // Must not be called with the database lock held by a caller that the
    // callback might wait for; the callback itself must not block.
    void Notice(const std::string& caption, const std::string& text);
    void SetNoticeCallback(NoticeCallback callback);

    // How long to wait for another process holding the file (milliseconds).
    void SetBusyTimeout(int milliseconds) { m_busyTimeoutMs = milliseconds; }

private:
    bool OpenExisting(const std::string& path);
    bool CreateMissingTables(const std::string& path);
    bool MoveAside(const std::string& path);
    void CloseHandle();

    std::recursive_mutex m_lock;
    sqlite3* m_db = nullptr;
    int m_depth = 0;
    // The first open of the run checks the whole file, as does any open after
    // SQLite reported corruption.
    bool m_checkIntegrity = true;
    std::atomic<int> m_busyTimeoutMs{3000};

    std::mutex m_noticeLock;
    NoticeCallback m_notice;
};
