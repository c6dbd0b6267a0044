#pragma once

#include <functional>
#include <string>

// The current folder set to a path while the object lives and set back
// afterwards, so that one test's folder does not become the next one's.
// `complain` (optional) hears "chdir" or "chdir back" when either fails, in
// whatever way the test framework reports.
class ScopedCwd {
public:
    explicit ScopedCwd(const std::string& path,
                       std::function<void(const char*)> complain = nullptr);
    ~ScopedCwd();
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

    bool Entered() const { return m_entered; }

private:
    std::function<void(const char*)> m_complain;
    std::string m_oldCwd;
    bool m_entered = false;
};
