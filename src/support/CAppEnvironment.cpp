#include "support/CAppEnvironment.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

#include "support/StringUtils.h"

namespace {
std::atomic<CAppEnvironment*> g_instance{nullptr};

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Creates every missing folder of an absolute or relative path.
void MakeFolders(const std::string& path) {
    StringList parts;
    SplitBySet("\\/", path, parts);
    if (parts.empty()) {
        return;
    }
    // Each prefix joined with "/" is created in turn. An absolute path
    // starts at the root; a relative one starts with its first component,
    // which here is a folder like the others, not a drive.
    std::string prefix = path[0] == '/' ? "/" + parts[0] : parts[0];
    bool ok = mkdir(prefix.c_str(), 0700) == 0 || errno == EEXIST;
    for (size_t i = 1; ok && i < parts.size(); ++i) {
        prefix += "/" + parts[i];
        ok = mkdir(prefix.c_str(), 0700) == 0 || errno == EEXIST;
    }
}

std::string XdgFolder(const char* variable, const char* homeRelative, const std::string& appName) {
    std::string base;
    if (const char* value = getenv(variable); value && *value == '/') {
        base = value;
    } else {
        const char* home = getenv("HOME");
        base = std::string(home && *home ? home : ".") + "/" + homeRelative;
    }
    if (base.back() != '/') {
        base += '/';
    }
    return base + appName + "/";
}
}  // namespace

CAppEnvironment::CAppEnvironment(const std::string& appName, unsigned flags)
    : m_appName(appName),
      m_programFolder(ComputeProgramFolder(appName)),
      m_defaultDataFolder(m_programFolder),
      m_startTime(time(nullptr)) {
    if (m_programFolder == UserConfigFolder(appName)) {
        // Installed: settings and logs in the settings folder, data apart.
        MakeFolders(m_programFolder);
        m_defaultDataFolder = UserDataFolder(appName);
    }
    std::string ini = appName + ".ini";
    if (flags & AE_IniInProgramFolder) {
        ini = m_programFolder + ini;
    }
    m_settings = std::make_unique<CSettings>(ini);
    m_mainLog = std::make_unique<CLogFile>(m_programFolder, m_appName);
    ReloadDataFolder();
}

void CAppEnvironment::KeepNewFilesPrivate() {
    umask(077);
}

CAppEnvironment* CAppEnvironment::Instance() {
    return g_instance.load();
}

void CAppEnvironment::SetInstance(CAppEnvironment* env) {
    g_instance.store(env);
}

void CAppEnvironment::ReloadDataFolder() {
    std::string folder = m_settings->GetString("DataFolder", "General", "");
    if (folder.empty()) {
        folder = m_defaultDataFolder;
    }
    std::lock_guard<std::mutex> guard(m_dataFolderLock);
    m_dataFolder = folder;
}

std::string CAppEnvironment::FolderOfPath(const std::string& path) {
    // Backwards from the second-to-last character, so a trailing separator
    // does not count, towards the second character.
    if (path.size() < 2) {
        return path;
    }
    for (size_t i = path.size() - 2; i >= 1; --i) {
        if (path[i] == '/' || path[i] == '\\') {
            return path.substr(0, i + 1);
        }
    }
    return path;
}

bool CAppEnvironment::IsInstalledLayout(const std::string& exeFolder) {
    return IsFile(exeFolder + "../share/applications/inboxwarden.desktop");
}

std::string CAppEnvironment::UserConfigFolder(const std::string& appName) {
    return XdgFolder("XDG_CONFIG_HOME", ".config", appName);
}

std::string CAppEnvironment::UserDataFolder(const std::string& appName) {
    return XdgFolder("XDG_DATA_HOME", ".local/share", appName);
}

std::string CAppEnvironment::ComputeProgramFolder(const std::string& appName) {
    if (const char* home = getenv("INBOXWARDEN_HOME"); home && *home) {
        std::string folder = home;
        if (folder.back() != '/') {
            folder += '/';
        }
        return folder;
    }
    char exe[1301];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        return "./";
    }
    exe[n] = '\0';
    std::string folder = FolderOfPath(exe);
    if (IsInstalledLayout(folder) && !IsFile(folder + appName + ".ini")) {
        return UserConfigFolder(appName);
    }
    return folder;
}

std::string CAppEnvironment::GetDataFolder() {
    std::string path;
    {
        std::lock_guard<std::mutex> guard(m_dataFolderLock);
        path = m_dataFolder;
    }
    if (IsDirectory(path)) {
        return path;
    }
    MakeFolders(path);
    if (IsDirectory(path)) {
        return path;
    }
    m_mainLog->Write("GetDataFolder( %s ) could not make sure folder exists!", path.c_str());
    return ".";
}
