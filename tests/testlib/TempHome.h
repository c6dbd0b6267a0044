#pragma once

#include <string>

// A throwaway program folder: INBOXWARDEN_HOME points at it while the object
// lives, and the folder is removed with everything in it afterwards. It is
// also the runtime folder (XDG_RUNTIME_DIR), so running copies of one test
// meet only each other.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    // Ends with "/".
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + name; }

    static std::string ReadFile(const std::string& path);
    static void WriteFile(const std::string& path, const std::string& content);

private:
    std::string m_path;
    std::string m_previous;
    bool m_hadPrevious = false;
    std::string m_previousRuntime;
    bool m_hadPreviousRuntime = false;
};
