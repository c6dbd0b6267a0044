#pragma once

#include <string>

#include "update/IUpdateUi.h"

class CLogFile;
class CSettings;

// Asks the download server, over FTP, whether a newer version exists and
// fetches its installer. The file upgradePath.txt on the server maps each
// released version V to its successor N and installer F as "V:N=F", one
// entry a line; "V:" alone means no update exists for V. "V:N=F sha256=HEX"
// also names the installer's SHA-256 digest. The installer is saved in the
// user's download folder under a name of our own, never over another file.
class CUpdateCheck {
public:
    struct Server {
        std::string address;  // host[:port][/folder], "ftp://" optional
        std::string login;
        std::string password;
        // Without it the whole session is encrypted (AUTH TLS) or nothing is
        // sent: no login, list or file in plain text.
        bool allowPlain = false;
        // Why the password could not be read from the keyring; empty when it was.
        std::string passwordError = {};
    };

    // GetUpgradeFileHandle's results; the numbers are shown to the user.
    enum FetchCode {
        UF_NoInternet = 0,  // no transfer could be set up, or the size was unknown
        UF_NoServer = 1,    // server unreachable or login refused
        UF_NoFile = 2,      // logged in, but the file could not be fetched
        UF_Ok = 3,
        UF_Cancelled = 4,  // the user pressed Cancel during the download
        UF_NoTls = 5,      // the server would not encrypt; nothing was sent
    };
    struct FetchResult {
        FetchCode code = UF_NoInternet;
        std::string data;
        int error = 0;  // the corresponding WinInet-style error number, or 0
    };

    enum PathResult { UP_NotFound, UP_DeadEnd, UP_NoEqual, UP_BadFileName, UP_Found };

    static constexpr size_t kMaxPathFileSize = 1 << 20;
    static constexpr size_t kMaxInstallerSize = size_t(512) << 20;

    CUpdateCheck(IUpdateUi& ui, CLogFile& log, Server server,
                 std::string shortVersion = ShortVersion(), std::string appName = "InboxWarden",
                 std::string folder = "");

    // "%1.%2" and "%1.%2 Build %3" from the project's version.
    static std::string ShortVersion();
    static std::string LongVersion();
    // [General] UpdateServer, UpdateLogin, !UpdatePassword and
    // UpdateAllowPlain, or our defaults.
    static Server ServerFromSettings(CSettings& settings);

    // The whole exchange; true when an installer has been written.
    bool CheckForUpdates(bool askFirst);
    // Fetches one file from the server in one transfer.
    FetchResult GetUpgradeFileHandle(const std::string& fileName, bool showProgress);

    // Finds "<version>:" in the text and reads N and F after it, and the
    // digest (64 hex digits, lower case) when the line names one.
    static PathResult ParseUpgradePath(const std::string& text, const std::string& version,
                                       std::string& next, std::string& file,
                                       std::string* sha256 = nullptr);
    // $XDG_DOWNLOAD_DIR, else ~/Downloads; with "/".
    static std::string DownloadFolder();
    // The name the installer F of version N is saved under:
    // "<appName>-<N>-<F>", with anything but letters, digits and ".+_-" in N
    // made "_".
    static std::string SaveName(const std::string& appName, const std::string& next,
                                const std::string& file);
    // A name without folders that can be written in the current folder.
    static bool IsPlainFileName(const std::string& name);
    // The WinInet error number that matches a libcurl result (0: none).
    static int WinInetError(int curlCode);
    // The description of a WinInet error number 12001..12036, else "Unknown Error".
    static std::string WinInetErrorText(int error);

    const std::string& WrittenPath() const { return m_writtenPath; }

private:
    // The first of "name", "stem-2.ext" ... that does not exist yet in the
    // folder (attempt 0 is the name itself).
    std::string Candidate(const std::string& name, int attempt) const;
    bool WriteInstaller(const std::string& name, const std::string& data);

    IUpdateUi& m_ui;
    CLogFile& m_log;
    Server m_server;
    std::string m_version;
    std::string m_appName;
    std::string m_folder;
    std::string m_writtenPath;
};
