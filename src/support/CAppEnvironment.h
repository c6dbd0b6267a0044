#pragma once

#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "support/CLogFile.h"
#include "support/CSettings.h"

// The process-wide environment: program folder, settings store, main log and
// data folder. Start-up creates one and installs it with SetInstance.
class CAppEnvironment {
public:
    enum Flags : unsigned {
        AE_IniInProgramFolder = 1,
    };

    CAppEnvironment(const std::string& appName, unsigned flags);

    // The logs hold whole mails and the database the history of the user's
    // mail: every file and folder the process makes from now on is closed to
    // other users (umask 077), whatever umask it was started with.
    static void KeepNewFilesPrivate();

    static CAppEnvironment* Instance();
    // Installs the process-wide environment (nullptr removes it); not owning.
    static void SetInstance(CAppEnvironment* env);

    const std::string& GetAppName() const { return m_appName; }
    // Ends with "/".
    const std::string& GetProgramFolder() const { return m_programFolder; }
    CSettings& GetSettings() { return *m_settings; }
    CLogFile& GetMainLog() { return *m_mainLog; }
    time_t GetStartTime() const { return m_startTime; }

    // The data folder, made to exist; "." when it cannot be created.
    std::string GetDataFolder();
    // Re-reads [General] DataFolder (after the settings dialog changed it).
    void ReloadDataFolder();

    // INBOXWARDEN_HOME when set; else the running executable's folder, unless
    // the program is installed (see IsInstalledLayout) and that folder holds
    // no InboxWarden.ini: then the user's settings folder ~/.config/<appName>/.
    // Ends with "/".
    static std::string ComputeProgramFolder(const std::string& appName = "InboxWarden");
    // An installed program finds its desktop entry at
    // <exeFolder>/../share/applications/inboxwarden.desktop.
    static bool IsInstalledLayout(const std::string& exeFolder);
    // $XDG_CONFIG_HOME or ~/.config, and $XDG_DATA_HOME or ~/.local/share,
    // each followed by "/<appName>/".
    static std::string UserConfigFolder(const std::string& appName);
    static std::string UserDataFolder(const std::string& appName);
    // Cuts a path just after its last separator (not counting the last character).
    static std::string FolderOfPath(const std::string& path);

private:
    std::string m_appName;
    std::string m_programFolder;
    // The data folder used when DataFolder is empty: the program folder, or
    // ~/.local/share/<appName>/ for an installed program without its own ini.
    std::string m_defaultDataFolder;
    std::unique_ptr<CSettings> m_settings;
    std::unique_ptr<CLogFile> m_mainLog;
    // Read by the worker thread while the interface thread may reload it.
    mutable std::mutex m_dataFolderLock;
    std::string m_dataFolder;
    time_t m_startTime;
};
