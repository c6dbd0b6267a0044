#include "TempHome.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

TempHome::TempHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "iwtest-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = std::string(name.data()) + "/";
    if (const char* old = getenv("INBOXWARDEN_HOME")) {
        m_previous = old;
        m_hadPrevious = true;
    }
    setenv("INBOXWARDEN_HOME", m_path.c_str(), 1);
    if (const char* old = getenv("XDG_RUNTIME_DIR")) {
        m_previousRuntime = old;
        m_hadPreviousRuntime = true;
    }
    setenv("XDG_RUNTIME_DIR", m_path.c_str(), 1);
}

TempHome::~TempHome() {
    if (m_hadPrevious) {
        setenv("INBOXWARDEN_HOME", m_previous.c_str(), 1);
    } else {
        unsetenv("INBOXWARDEN_HOME");
    }
    if (m_hadPreviousRuntime) {
        setenv("XDG_RUNTIME_DIR", m_previousRuntime.c_str(), 1);
    } else {
        unsetenv("XDG_RUNTIME_DIR");
    }
    std::error_code ec;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_path, ec);
}

std::string TempHome::ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void TempHome::WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}
