#pragma once

#include <string>

// Copies the program's data from one data folder to another: the database
// InboxWarden.mdb, the list files (*.lst), the key file InboxWarden.key when
// there is one, and the Quarantine folder with everything below it, each
// replacing what the target holds. The database lock is held throughout, so
// no scan writes the database or a quarantine file meanwhile.
class CEmailHistory;

class CDataFolderMove {
public:
    // True when the database arrived whole in the target (same size as the
    // source's). report receives one line per item copied or failed; it is
    // also appended to logPath when that is not empty. The same folder as
    // source and target copies nothing and succeeds.
    // The copied database's records of quarantine files under the source are
    // re-pointed to the target's copies; when that fails the copy fails, so
    // the setting is never switched to records that name the old folder.
    static bool Copy(const std::string& source, const std::string& target, std::string& report,
                     const std::string& logPath = std::string());
    // Changes a quarantine file's path under source's "Quarantine/" into the
    // same place under target's; false (path untouched) for any other path.
    static bool RepointPath(std::string& path, const std::string& source,
                            const std::string& target);
    // The same for every record in memory, under the store's lock (hold it,
    // then the database lock, across the copy and this). The records stay
    // clean: the copied database holds the new paths already.
    static void RepointHistory(CEmailHistory& history, const std::string& source,
                               const std::string& target);
};
