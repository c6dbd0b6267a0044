#include "history/CInboxWardenDb.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include "history/CDBStatement.h"
#include "history/CEmailData.h"
#include "support/CAppEnvironment.h"
#include "support/CLogFile.h"

namespace {

using CD = CInboxWardenDb::ColumnDef;

constexpr CD kEmailDataColumns[] = {
    {"id", CInboxWardenDb::CK_Long, 0},
    {"account", CInboxWardenDb::CK_Text, static_cast<int>(CEmailData::kAccountLimit)},
    {"sender", CInboxWardenDb::CK_Text, static_cast<int>(CEmailData::kSenderLimit)},
    {"subject", CInboxWardenDb::CK_Text, static_cast<int>(CEmailData::kSubjectLimit)},
    {"status", CInboxWardenDb::CK_Long, 0},
    {"reason", CInboxWardenDb::CK_Long, 0},
    {"reasonDetails", CInboxWardenDb::CK_Memo, 300},
    {"todo", CInboxWardenDb::CK_Long, 0},
    {"headerTimestamp", CInboxWardenDb::CK_Text,
     static_cast<int>(CEmailData::kHeaderTimestampLimit)},
    {"myTimestamp", CInboxWardenDb::CK_Long, 0},
    {"bodyChecksum", CInboxWardenDb::CK_Long, 0},
    {"emailFilename", CInboxWardenDb::CK_Memo, 300},
};

constexpr CD kListColumns[] = {
    {"id", CInboxWardenDb::CK_Long, 0},
    {"words", CInboxWardenDb::CK_Text, 100},
    {"flags", CInboxWardenDb::CK_Long, 0},
};

constexpr CInboxWardenDb::TableDef kTables[] = {
    {"EmailData", kEmailDataColumns, 12}, {"Friends", kListColumns, 3},
    {"Undesirables", kListColumns, 3},    {"AutoSenders", kListColumns, 3},
    {"BadSubjects", kListColumns, 3},     {"GoodSubjects", kListColumns, 3},
};
constexpr int kTableCount = 6;

// Table and column names come from the fixed table above, never from data.
std::string CreateTableSql(const CInboxWardenDb::TableDef& table) {
    std::string sql = "CREATE TABLE IF NOT EXISTS ";
    sql += table.name;
    sql += " (";
    for (int i = 0; i < table.columnCount; ++i) {
        const CD& column = table.columns[i];
        if (i > 0) {
            sql += ", ";
        }
        sql += column.name;
        if (i == 0) {
            // The "id" index: primary, unique, required, ascending.
            sql += " INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL";
        } else {
            sql += column.kind == CInboxWardenDb::CK_Long ? " INTEGER" : " TEXT";
        }
    }
    sql += ")";
    return sql;
}

bool FileExists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// A file that does not start like an SQLite database is handed to SQLite
// only after this check, so that SQLite never plays a journal into it.
bool HasForeignHeader(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) {
        return false;
    }
    char header[16] = {};
    size_t got = fread(header, 1, sizeof header, file);
    fclose(file);
    // An empty file is an empty database.
    return got != 0 && (got < sizeof header || memcmp(header, "SQLite format 3", 16) != 0);
}

bool IsCorruptCode(int rc) {
    int primary = rc & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

}  // namespace

CInboxWardenDb::~CInboxWardenDb() {
    CloseHandle();
}

CInboxWardenDb& CInboxWardenDb::Instance() {
    static CInboxWardenDb db;
    return db;
}

CLogFile* CInboxWardenDb::MainLog() {
    CAppEnvironment* env = CAppEnvironment::Instance();
    return env ? &env->GetMainLog() : nullptr;
}

std::string CInboxWardenDb::GetPath() {
    CAppEnvironment* env = CAppEnvironment::Instance();
    std::string folder = env ? env->GetDataFolder() : ".";
    if (folder.empty() || folder.back() != '/') {
        folder += '/';
    }
    return folder + kFileName;
}

const CInboxWardenDb::TableDef* CInboxWardenDb::GetTables(int* count) {
    if (count) {
        *count = kTableCount;
    }
    return kTables;
}

const CInboxWardenDb::TableDef* CInboxWardenDb::FindTable(const char* name) {
    for (const TableDef& table : kTables) {
        if (name && strcmp(table.name, name) == 0) {
            return &table;
        }
    }
    return nullptr;
}

const CInboxWardenDb::ColumnDef* CInboxWardenDb::FindColumn(const char* table, const char* column) {
    const TableDef* def = FindTable(table);
    if (!def || !column) {
        return nullptr;
    }
    for (int i = 0; i < def->columnCount; ++i) {
        if (strcmp(def->columns[i].name, column) == 0) {
            return &def->columns[i];
        }
    }
    return nullptr;
}

void CInboxWardenDb::SetTextField(CDBStatement& statement, const char* table, const char* column,
                                  const std::string& text) {
    std::string param = std::string(":") + (column ? column : "");
    int index = statement.ParamIndex(param.c_str());
    if (index == 0) {
        return;
    }
    const ColumnDef* def = FindColumn(table, column);
    if (!def || def->kind == CK_Long || text.empty()) {
        statement.BindNull(index);
        return;
    }
    size_t limit = def->kind == CK_Text ? static_cast<size_t>(def->size) : kMemoLimit;
    statement.BindText(index, text, limit);
}

bool CInboxWardenDb::EnterScope() {
    CLogFile* log = MainLog();
    if (m_depth++ > 0) {
        // A scope inside a scope on the same thread shares the open database.
        if (log) {
            IW_LOG_AT(*log, "CDBOpenScope ctor called and DB is already open!");
        }
        return IsOpen();
    }
    if (IsOpen()) {
        if (log) {
            IW_LOG_AT(*log, "CDBOpenScope ctor called and DB is already open!");
        }
        CloseHandle();
    }
    std::string path = GetPath();
    if (OpenExisting(path)) {
        return true;
    }
    if (FileExists(path)) {
        // Present but unusable and not moved aside: never write over it.
        return false;
    }
    if (log) {
        log->Write("Open failed, calling CreateDatabase()");
    }
    return CreateDatabase();
}

void CInboxWardenDb::LeaveScope() {
    if (m_depth > 0 && --m_depth > 0) {
        return;
    }
    if (!IsOpen()) {
        if (CLogFile* log = MainLog()) {
            log->Write("CDBOpenScope dtor called and DB is already closed!");
        }
        return;
    }
    CloseHandle();
}

void CInboxWardenDb::CloseHandle() {
    if (m_db) {
        // An unfinished transaction is rolled back by the close.
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
}

// True when the file is open and has all tables. False with the database
// closed otherwise; an unusable file is moved aside first, so that a missing
// file tells the caller to create a new one.
bool CInboxWardenDb::OpenExisting(const std::string& path) {
    CLogFile* log = MainLog();
    if (!FileExists(path)) {
        return false;
    }
    if (HasForeignHeader(path)) {
        if (log) {
            log->Write("Database %s is not an SQLite database", path.c_str());
        }
        MoveAside(path);
        return false;
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc != SQLITE_OK) {
        if (log) {
            log->Write("Cannot open database %s: %s", path.c_str(),
                       db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        }
        sqlite3_close_v2(db);
        return false;
    }
    m_db = db;
    sqlite3_busy_timeout(m_db, m_busyTimeoutMs.load());

    std::set<std::string> tables;
    std::string problem;
    int failure = SQLITE_OK;
    {
        CDBStatement list(m_db, "SELECT name FROM sqlite_master WHERE type = 'table'");
        int step = list.Step();
        while (step == SQLITE_ROW) {
            tables.insert(list.ColumnText(0, 200));
            step = list.Step();
        }
        if (step != SQLITE_DONE) {
            failure = list.ErrorCode();
            problem = list.Error();
        }
    }
    if (failure == SQLITE_OK && m_checkIntegrity) {
        CDBStatement check(m_db, "PRAGMA quick_check(1)");
        int step = check.Step();
        if (step == SQLITE_ROW) {
            std::string verdict = check.ColumnText(0, 500);
            if (verdict != "ok") {
                failure = SQLITE_CORRUPT;
                problem = verdict;
            }
        } else {
            failure = check.ErrorCode();
            problem = check.Error();
        }
        if (failure == SQLITE_OK) {
            m_checkIntegrity = false;
        }
    }
    if (failure != SQLITE_OK) {
        CloseHandle();
        if (IsCorruptCode(failure)) {
            if (log) {
                log->Write("Database %s is not usable: %s", path.c_str(), problem.c_str());
            }
            MoveAside(path);
            m_checkIntegrity = true;
        } else if (log) {
            log->Write("Cannot read database %s: %s", path.c_str(), problem.c_str());
        }
        return false;
    }
    for (const TableDef& table : kTables) {
        if (!tables.count(table.name)) {
            return CreateMissingTables(path);
        }
    }
    return true;
}

bool CInboxWardenDb::CreateMissingTables(const std::string& path) {
    CLogFile* log = MainLog();
    if (log) {
        log->Write("Database %s lacks tables, creating them", path.c_str());
    }
    std::string error;
    bool ok = Exec("BEGIN IMMEDIATE", &error);
    for (int i = 0; ok && i < kTableCount; ++i) {
        ok = Exec(CreateTableSql(kTables[i]).c_str(), &error);
    }
    ok = ok && Exec("COMMIT", &error);
    if (!ok) {
        if (log) {
            log->Write("Creating the missing tables failed: %s", error.c_str());
        }
        CloseHandle();
    }
    return ok;
}

bool CInboxWardenDb::MoveAside(const std::string& path) {
    CLogFile* log = MainLog();
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string target = path + ".bad-" + stamp;
    for (int n = 2; FileExists(target) && n < 100; ++n) {
        target = path + ".bad-" + stamp + "-" + std::to_string(n);
    }
    if (FileExists(target) || rename(path.c_str(), target.c_str()) != 0) {
        if (log) {
            log->Write("Could not move the unusable database %s aside: %s", path.c_str(),
                       strerror(errno));
        }
        return false;
    }
    // A journal left beside the old file would be played into the new one.
    for (const char* suffix : {"-journal", "-wal", "-shm"}) {
        std::string side = path + suffix;
        if (FileExists(side)) {
            rename(side.c_str(), (target + suffix).c_str());
        }
    }
    if (log) {
        log->Write("Moved the unusable database %s to %s", path.c_str(), target.c_str());
    }
    return true;
}

bool CInboxWardenDb::CreateDatabase() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    CLogFile* log = MainLog();
    std::string path = GetPath();
    if (log) {
        log->Write("Calling gInboxWardenDb.Create for %s", path.c_str());
    }
    CloseHandle();
    std::string error;
    bool ok = true;
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        ok = false;
    } else {
        m_db = db;
        sqlite3_busy_timeout(m_db, m_busyTimeoutMs.load());
    }
    for (int i = 0; ok && i < kTableCount; ++i) {
        const TableDef& table = kTables[i];
        if (log) {
            log->Write("Creating fields for table %s...", table.name);
        }
        ok = Exec(CreateTableSql(table).c_str(), &error);
        if (ok && log) {
            // The "id" index is the table's primary key, made with the table.
            log->Write("Creating simpleIndex for table %s...", table.name);
        }
    }
    if (!ok) {
        if (log) {
            log->Write("Oooops. That didn't go well... Aborting CreateDatabase()");
            log->Write("%s", error.c_str());
        }
        CloseHandle();
        return false;
    }
    m_checkIntegrity = false;
    return true;
}

bool CInboxWardenDb::Exec(const char* sql, std::string* error) {
    if (!m_db) {
        if (error) {
            *error = "database not open";
        }
        return false;
    }
    char* message = nullptr;
    int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        NoteFailure(rc);
        if (error) {
            *error = message ? message : sqlite3_errstr(rc);
        }
    }
    sqlite3_free(message);
    return rc == SQLITE_OK;
}

void CInboxWardenDb::NoteFailure(int resultCode) {
    if (IsCorruptCode(resultCode)) {
        m_checkIntegrity = true;
    }
}

void CInboxWardenDb::Notice(const std::string& caption, const std::string& text) {
    if (CLogFile* log = MainLog()) {
        log->Write("%s: %s", caption.c_str(), text.c_str());
    }
    NoticeCallback callback;
    {
        std::lock_guard<std::mutex> guard(m_noticeLock);
        callback = m_notice;
    }
    if (callback) {
        callback(caption, text);
    }
}

void CInboxWardenDb::SetNoticeCallback(NoticeCallback callback) {
    std::lock_guard<std::mutex> guard(m_noticeLock);
    m_notice = std::move(callback);
}

bool CInboxWardenDb::EnsureTable(std::initializer_list<const char*> statements, const char* what) {
    std::string error;
    for (const char* sql : statements) {
        if (!Exec(sql, &error)) {
            if (CLogFile* log = MainLog()) {
                log->Write("Cannot make the table of %s: %s", what, error.c_str());
            }
            return false;
        }
    }
    return true;
}

void CInboxWardenDb::LogTableFailure(const char* table, const char* step,
                                     const CDBStatement& statement) {
    if (CLogFile* log = MainLog()) {
        log->Write("%s table: %s failed: %s", table, step, statement.Error().c_str());
    }
}
