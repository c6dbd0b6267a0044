#include "ScopedCwd.h"

#include <unistd.h>

ScopedCwd::ScopedCwd(const std::string& path, std::function<void(const char*)> complain)
    : m_complain(std::move(complain)) {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) {
        m_oldCwd = cwd;
    }
    m_entered = chdir(path.c_str()) == 0;
    if (!m_entered && m_complain) {
        m_complain("chdir");
    }
}

ScopedCwd::~ScopedCwd() {
    if (!m_oldCwd.empty() && chdir(m_oldCwd.c_str()) != 0 && m_complain) {
        m_complain("chdir back");
    }
}
