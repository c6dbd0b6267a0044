#include "FuzzHome.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

std::string g_removeAtExit;

void RemoveHome() {
    std::error_code ec;
    std::filesystem::remove_all(g_removeAtExit, ec);
}

}  // namespace

FuzzHome::FuzzHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "iwfuzz-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) {
        perror("mkdtemp");
        abort();
    }
    m_path = std::string(name.data()) + "/";
    setenv("INBOXWARDEN_HOME", m_path.c_str(), 1);
    g_removeAtExit = m_path;
    atexit(RemoveHome);
}

const FuzzHome& FuzzHome::Get() {
    static FuzzHome home;
    return home;
}

void FuzzHome::WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}
