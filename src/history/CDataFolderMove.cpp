#include "history/CDataFolderMove.h"

#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>

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

}  // namespace

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
            ok = !sizeError && want == got;
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
