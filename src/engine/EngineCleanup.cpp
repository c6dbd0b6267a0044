// CInboxWardenEngine: removal of old history and old quarantine files.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "engine/CInboxWardenEngine.h"
#include "engine/IEngineOwner.h"
#include "history/CSeenUidls.h"
#include "support/CAppEnvironment.h"

void CInboxWardenEngine::SeeAboutCleaningUpHistory() {
    CLogFile& log = MainLog();
    IW_LOG_AT(log, "============ |: SeeAboutCleaningUpHistory");
    int today = Today();
    int deletedDay = m_deletedVisitDay;
    int quarantinedDay = m_quarantinedVisitDay;
    log.Write("|: %d, %d, %d", deletedDay, quarantinedDay, today);
    if (deletedDay < today || quarantinedDay < today) {
        log.Write(
            "Returning because visited quarantine on day %d < today %d or visited deleted day %d "
            "< today %d",
            quarantinedDay, today, deletedDay, today);
        return;
    }
    if (m_lastCheckDay != 0 && m_lastCheckDay == today) {
        log.Write("|: returning because already checked today");
        return;
    }
    m_lastCheckDay = today;
    CSettings& settings = Settings();
    long long daysToKeep = settings.GetInt("DaysToKeepInfo", "General", INT_MAX);
    int lastCleanup = settings.GetInt("LastCleanup", "General", 0);
    long long minDay = static_cast<long long>(today) - daysToKeep;
    if (minDay < lastCleanup) {
        log.Write("|: Nothing to do because %lld < %d", minDay, lastCleanup);
        return;
    }
    // A negative DaysToKeepInfo would reach past today: keep it to today.
    if (minDay > today) {
        minDay = today;
    }
    // The scan that called this holds the busy flag already.
    CleanupHistoryBusy(static_cast<int>(minDay));
}

void CInboxWardenEngine::CleanupHistory(int minDay) {
    IW_LOG_AT(MainLog(), "|: CleanupHistory(%d)", minDay);
    if (!WaitWhileBusy(__FILE__, __LINE__)) {
        return;
    }
    m_busy = true;
    CleanupHistoryBusy(minDay);
    m_busy = false;
}

void CInboxWardenEngine::CleanupHistoryBusy(int minDay) {
    CLogFile& log = MainLog();
    SetStatus("Cleaning up history...");
    m_history.CleanupHistory(minDay);
    // The unique ids of removed records go with them.
    int orphans = CSeenUidls().RemoveOrphans();
    if (orphans > 0) {
        log.Write("Removed %d unique id(s) of removed records", orphans);
    }
    uint32_t now = static_cast<uint32_t>(time(nullptr));
    if (now > kChallengeQuietSeconds) {
        m_challengeLog.RemoveBefore(now - kChallengeQuietSeconds);
    }
    CSettings& settings = Settings();
    StringList accounts;
    SplitList(settings.GetString("AccountsList", "General", ""), accounts);
    for (const std::string& account : accounts) {
        std::string name = account;
        MakeSafeName(name, true);
        std::string folder = DataFolder() + "/Quarantine/" + name;
        std::string pattern = folder + "/*.*";
        log.Write("Cleaning up files for %s under %s", name.c_str(), pattern.c_str());
        DIR* dir = opendir(folder.c_str());
        if (!dir) {
            continue;
        }
        while (struct dirent* entry = readdir(dir)) {
            std::string entryName = entry->d_name;
            if (entryName == "." || entryName == "..") {
                continue;
            }
            std::string path = folder + "/" + entryName;
            struct stat info {};
            // Only files: a folder inside belongs to a nested account name.
            if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
                continue;
            }
            int day = static_cast<int>(info.st_mtime / 86400);
            if (day < minDay) {
                log.Write("Deleting %s because its day (%d) is before min day (%d)", path.c_str(),
                          day, minDay);
                unlink(path.c_str());
            }
        }
        closedir(dir);
    }
    SetStatus("History has been cleaned...");
    settings.WriteInt("LastCleanup", Today(), "General");
    if (m_owner) {
        m_owner->OnHistoryChanged();
    }
}
