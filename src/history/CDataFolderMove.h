#pragma once

#include <string>

// Copies the program's data from one data folder to another: the database
// InboxWarden.mdb, the list files (*.lst), the key file InboxWarden.key when
// there is one, and the Quarantine folder with everything below it, each
// replacing what the target holds. The database lock is held throughout, so
// no scan writes the database or a quarantine file meanwhile.
class CDataFolderMove {
public:
    // True when the database arrived whole in the target (same size as the
    // source's). report receives one line per item copied or failed; it is
    // also appended to logPath when that is not empty. The same folder as
    // source and target copies nothing and succeeds.
    static bool Copy(const std::string& source, const std::string& target, std::string& report,
                     const std::string& logPath = std::string());
};
