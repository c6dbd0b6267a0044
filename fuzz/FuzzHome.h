#pragma once

#include <string>

// A throwaway program folder for one fuzzing process: INBOXWARDEN_HOME points
// at it, and it is removed at exit. Made on first use.
class FuzzHome {
public:
    static const FuzzHome& Get();

    // Ends with "/".
    const std::string& Path() const { return m_path; }
    static void WriteFile(const std::string& path, const std::string& content);

private:
    FuzzHome();
    std::string m_path;
};
