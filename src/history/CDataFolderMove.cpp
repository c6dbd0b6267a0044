#include "history/CDataFolderMove.h"

#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>

#include <sqlite3.h>

#include "history/CEmailData.h"
#include "history/CEmailHistory.h"
#include "history/CInboxWardenDb.h"

namespace fs = std::filesystem;

namespace {

void Note(std::string& report, const std::string& line) {
    report += line;
    report += '\n';
}

bool CopyOne(const fs::path& from, const fs::path& to, std::string& report) {
    std::error_code error;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
    Note(report, (error ? "FAILED " : "copied ") + from.string() + " -> " + to.string() +
                     (error ? ": " + error.message() : std::string()));
    return !error;
}

std::string WithoutEndSlashes(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    return folder;
}

// Rewrites the quarantine paths of the copied database in one transaction.
bool RepointDatabase(const fs::path& database, const std::string& source, const std::string& target,
                     std::string& report) {
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
              sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_stmt* select = nullptr;
    sqlite3_stmt* update = nullptr;
    ok = ok &&
         sqlite3_prepare_v2(
             db, "SELECT id, emailFilename FROM EmailData WHERE emailFilename IS NOT NULL", -1,
             &select, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(db, "UPDATE EmailData SET emailFilename = ? WHERE id = ?", -1, &update,
                            nullptr) == SQLITE_OK;
    int changed = 0;
    int rc = SQLITE_DONE;
    while (ok && (rc = sqlite3_step(select)) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(select, 1);
        std::string path = text ? reinterpret_cast<const char*>(text) : "";
        if (!CDataFolderMove::RepointPath(path, source, target)) {
            continue;
        }
        sqlite3_bind_text(update, 1, path.c_str(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(update, 2, sqlite3_column_int64(select, 0));
        ok = sqlite3_step(update) == SQLITE_DONE;
        sqlite3_reset(update);
        ++changed;
    }
    ok = ok && rc == SQLITE_DONE;
    sqlite3_finalize(select);
    sqlite3_finalize(update);
    if (db) {
        ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
        if (!ok) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        Note(report, (ok ? "re-pointed " + std::to_string(changed) + " quarantine records"
                         : "FAILED re-pointing the quarantine records: " +
                               std::string(sqlite3_errmsg(db))));
    }
    sqlite3_close(db);
    return ok;
}

}  // namespace

bool CDataFolderMove::RepointPath(std::string& path, const std::string& source,
                                  const std::string& target) {
    // Quarantine paths are "<data folder>/Quarantine/...", the data folder
    // as it was written then, with or without its own end "/".
    std::string from = WithoutEndSlashes(source);
    if (from.empty() || path.compare(0, from.size(), from) != 0) {
        return false;
    }
    size_t at = from.size();
    if (from != "/") {
        if (at >= path.size() || path[at] != '/') {
            return false;
        }
        while (at < path.size() && path[at] == '/') {
            ++at;
        }
    }
    static const std::string kQuarantine = "Quarantine/";
    if (path.compare(at, kQuarantine.size(), kQuarantine) != 0) {
        return false;
    }
    std::string to = WithoutEndSlashes(target);
    path = (to == "/" ? to : to + "/") + path.substr(at);
    return true;
}

void CDataFolderMove::RepointHistory(CEmailHistory& history, const std::string& source,
                                     const std::string& target) {
    auto hold = history.Lock();
    for (int i = 0; CEmailData* record = history.GetAt(i); ++i) {
        RepointPath(record->m_emailFilename, source, target);
    }
    history.NotifyChanged();
}

bool CDataFolderMove::Copy(const std::string& source, const std::string& target,
                           std::string& report, const std::string& logPath) {
    std::error_code error;
    fs::path from(source);
    fs::path to(target);
    report.clear();
    bool ok = false;
    if (fs::exists(to, error) && fs::equivalent(from, to, error)) {
        Note(report, "source and target are the same folder: " + target);
        ok = true;
    } else {
        std::lock_guard<std::recursive_mutex> hold(CInboxWardenDb::Instance().Lock());
        fs::create_directories(to, error);
        fs::path database = from / CInboxWardenDb::kFileName;
        if (fs::is_regular_file(database, error) &&
            CopyOne(database, to / CInboxWardenDb::kFileName, report)) {
            std::error_code sizeError;
            auto want = fs::file_size(database, sizeError);
            auto got = fs::file_size(to / CInboxWardenDb::kFileName, sizeError);
            ok = !sizeError && want == got &&
                 RepointDatabase(to / CInboxWardenDb::kFileName, source, target, report);
        } else if (!fs::is_regular_file(database, error)) {
            Note(report, "FAILED no database " + database.string());
        }
        for (fs::directory_iterator it(from, error), end; !error && it != end;
             it.increment(error)) {
            const fs::path& file = it->path();
            std::error_code typeError;
            if (file.extension() == ".lst" && it->is_regular_file(typeError)) {
                CopyOne(file, to / file.filename(), report);
            }
        }
        if (fs::is_regular_file(from / "InboxWarden.key", error)) {
            CopyOne(from / "InboxWarden.key", to / "InboxWarden.key", report);
        }
        fs::path quarantine = from / "Quarantine";
        if (fs::is_directory(quarantine, error)) {
            std::error_code copyError;
            fs::copy(quarantine, to / "Quarantine",
                     fs::copy_options::recursive | fs::copy_options::overwrite_existing, copyError);
            // The records now name the copies: without them the move fails.
            ok = ok && !copyError;
            Note(report, (copyError ? "FAILED " : "copied ") + quarantine.string() + " -> " +
                             (to / "Quarantine").string() +
                             (copyError ? ": " + copyError.message() : std::string()));
        }
    }
    Note(report, ok ? "data folder copy succeeded" : "data folder copy FAILED");
    if (!logPath.empty()) {
        std::ofstream log(logPath, std::ios::app | std::ios::binary);
        log << "Copy " << source << " -> " << target << "\n" << report;
    }
    return ok;
}
