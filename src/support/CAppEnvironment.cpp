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
}  // namespace

CAppEnvironment::CAppEnvironment(const std::string& appName, unsigned flags)
    : m_appName(appName), m_programFolder(ComputeProgramFolder()), m_startTime(time(nullptr)) {
    std::string ini = appName + ".ini";
    if (flags & AE_IniInProgramFolder) {
        ini = m_programFolder + ini;
    }
    m_settings = std::make_unique<CSettings>(ini);
    m_mainLog = std::make_unique<CLogFile>(m_programFolder, m_appName);
    ReloadDataFolder();
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
        folder = m_programFolder;
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

std::string CAppEnvironment::ComputeProgramFolder() {
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
    return FolderOfPath(exe);
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
    StringList parts;
    SplitBySet("\\/", path, parts);
    if (!parts.empty()) {
        // Each prefix joined with "/" is created in turn. An absolute path
        // starts at the root; a relative one starts with its first component,
        // which here is a folder like the others, not a drive.
        std::string prefix = path[0] == '/' ? "/" + parts[0] : parts[0];
        bool ok = mkdir(prefix.c_str(), 0755) == 0 || errno == EEXIST;
        for (size_t i = 1; ok && i < parts.size(); ++i) {
            prefix += "/" + parts[i];
            ok = mkdir(prefix.c_str(), 0755) == 0 || errno == EEXIST;
        }
    }
    if (IsDirectory(path)) {
        return path;
    }
    m_mainLog->Write("GetDataFolder( %s ) could not make sure folder exists!", path.c_str());
    return ".";
}
