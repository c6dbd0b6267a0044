#include "update/CUpdateCheck.h"
#include "secrets/CPasswordAccess.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "secrets/CPasswordAccess.h"
#include "support/CLogFile.h"
#include "support/CSettings.h"
#include "support/FileWrite.h"
#include "support/StringUtils.h"

namespace {

// Our download server; [General] UpdateServer, UpdateLogin and
// !UpdatePassword point the check elsewhere.
constexpr const char* kDefaultServer = "ftp.inboxwarden.example";
constexpr const char* kDefaultLogin = "inboxwarden";
constexpr const char* kDefaultPassword = "update";
constexpr const char* kPathFile = "upgradePath.txt";

constexpr const char* kAskFirst =
    "%s will now connect to the Internet to verify the availability of an Upgrade from your "
    "current version of %s.\n\nPress OK to continue.";
constexpr const char* kNoInternet =
    "%s cannot be updated because your computer is not connected to the Internet. Please "
    "connect to the Internet and try again.";
constexpr const char* kDeadEnd =
    "There is no update available for your version of %s.\nThe web site %s tells what is new.";
constexpr const char* kWillUpdate =
    "%s will now update to a newer version. After the update download is finished, %s will be "
    "shut down and the new setup will be started.\n\nDo you want to continue?\n";
constexpr const char* kCanUpdate =
    "It has been determined that your version of %s (%s) can be updated to version %s. Press "
    "OK to continue;";
constexpr const char* kLatest =
    "You are currently running the latest version of %s(%s).\r\nPlease check again later.";
constexpr const char* kNoSize = "Error 1000: Please try again later";
constexpr const char* kNoEqual = "Error in upgrade path file: No equal!";
constexpr const char* kWebAddress = "https://www.inboxwarden.example/";
constexpr const char* kSavedAs = "\nThe installer will be saved as\n%s";
constexpr const char* kNoTls =
    "The update server %s would not set up an encrypted connection, so %s did not log in. "
    "Please try again later.";
constexpr int kMaxNameAttempts = 100;

std::string Sha256Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
    IUpdateUi* ui = nullptr;
    bool showProgress = false;
    size_t limit = 0;
    std::string data;
    bool tooLarge = false;
    bool cancelled = false;
    bool loggedIn = false;
    int shown = -1;  // the last tenth reported
};

size_t OnData(char* bytes, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    size_t n = size * count;
    if (transfer->data.size() + n > transfer->limit) {
        transfer->tooLarge = true;
        return 0;
    }
    transfer->data.append(bytes, n);
    return n;
}

size_t OnReply(char* bytes, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    size_t n = size * count;
    // 230: the login was accepted; what fails later concerns the file.
    if (n >= 4 && memcmp(bytes, "230", 3) == 0 && (bytes[3] == ' ' || bytes[3] == '-')) {
        transfer->loggedIn = true;
    }
    return n;
}

int OnProgressInfo(void* user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<Transfer*>(user);
    if (transfer->ui->IsCancelled()) {
        transfer->cancelled = true;
        return 1;
    }
    if (transfer->showProgress && total > 0) {
        int tenths = static_cast<int>(now >= total ? 1000 : now * 1000 / total);
        // Every tenth once and in order, however the bytes arrive.
        while (transfer->shown < tenths) {
            transfer->ui->OnProgress(++transfer->shown);
        }
    }
    return 0;
}

std::string TrimBlanks(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) {
        return "";
    }
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

}  // namespace

CUpdateCheck::CUpdateCheck(IUpdateUi& ui, CLogFile& log, Server server, std::string shortVersion,
                           std::string appName, std::string folder)
    : m_ui(ui),
      m_log(log),
      m_server(std::move(server)),
      m_version(std::move(shortVersion)),
      m_appName(std::move(appName)),
      m_folder(std::move(folder)) {
    if (m_folder.empty()) {
        m_folder = DownloadFolder();
    } else if (m_folder.back() != '/') {
        m_folder += '/';
    }
}

std::string CUpdateCheck::ShortVersion() {
    return std::to_string(IW_VERSION_MAJOR) + "." + std::to_string(IW_VERSION_MINOR);
}

std::string CUpdateCheck::LongVersion() {
    return ShortVersion() + " Build " + std::to_string(IW_VERSION_BUILD);
}

CUpdateCheck::Server CUpdateCheck::ServerFromSettings(CSettings& settings) {
    Server server;
    server.address = settings.GetString("UpdateServer", "General", kDefaultServer);
    server.login = settings.GetString("UpdateLogin", "General", kDefaultLogin);
    server.password = CPasswordAccess(settings)
                          .Read(CPasswordAccess::Update(), kDefaultPassword, &server.passwordError)
                          .value_or("");
    server.allowPlain = settings.GetBool("UpdateAllowPlain", "General", false);
    if (server.address.empty()) {
        server.address = kDefaultServer;
    }
    return server;
}

std::string CUpdateCheck::DownloadFolder() {
    std::string folder;
    if (const char* value = getenv("XDG_DOWNLOAD_DIR"); value && *value == '/') {
        folder = value;
    } else {
        const char* home = getenv("HOME");
        folder = std::string(home && *home == '/' ? home : ".") + "/Downloads";
    }
    if (folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

std::string CUpdateCheck::SaveName(const std::string& appName, const std::string& next,
                                   const std::string& file) {
    std::string version = next.substr(0, 40);
    for (char& c : version) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '+' || c == '_' || c == '-';
        if (!keep) {
            c = '_';
        }
    }
    std::string prefix = appName + "-" + version + "-";
    // A file name has at most 255 bytes; the end of F keeps its extension.
    size_t room = prefix.size() + 8 < 255 ? 255 - prefix.size() - 8 : 0;
    return prefix + (file.size() > room ? file.substr(file.size() - room) : file);
}

std::string CUpdateCheck::Candidate(const std::string& name, int attempt) const {
    if (attempt == 0) {
        return m_folder + name;
    }
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        dot = name.size();
    }
    return m_folder + name.substr(0, dot) + "-" + std::to_string(attempt + 1) + name.substr(dot);
}

bool CUpdateCheck::IsPlainFileName(const std::string& name) {
    if (name.empty() || name.size() > 255 || name[0] == '.' || name[0] == '-') {
        return false;
    }
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') {
            return false;
        }
    }
    return true;
}

CUpdateCheck::PathResult CUpdateCheck::ParseUpgradePath(const std::string& text,
                                                        const std::string& version,
                                                        std::string& next, std::string& file,
                                                        std::string* sha256) {
    next.clear();
    file.clear();
    if (sha256) {
        sha256->clear();
    }
    // The key starts an entry: at the start of the text or of a line, so
    // that 1.0 does not find the entry of 11.0 (nor 1.8 that of 1.85).
    std::string key = version + ":";
    size_t at = 0;
    while (true) {
        at = text.find(key, at);
        if (at == std::string::npos) {
            return UP_NotFound;
        }
        if (at == 0 || text[at - 1] == '\n' || text[at - 1] == '\r') {
            break;
        }
        at += 1;
    }
    size_t start = at + key.size();
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) {
        end = text.size();
    }
    std::string entry = text.substr(start, end - start);
    if (TrimBlanks(entry).empty()) {
        return UP_DeadEnd;
    }
    // Only this line: an "=" of a later entry is no part of this one.
    size_t equal = entry.find('=');
    if (equal == std::string::npos) {
        return UP_NoEqual;
    }
    next = TrimBlanks(entry.substr(0, equal));
    file = TrimBlanks(entry.substr(equal + 1));
    size_t blank = file.find_last_of(" \t");
    if (blank != std::string::npos && file.compare(blank + 1, 7, "sha256=") == 0) {
        std::string digest = file.substr(blank + 8);
        file = TrimBlanks(file.substr(0, blank));
        for (char& c : digest) {
            c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
        }
        if (digest.size() != 64 ||
            digest.find_first_not_of("0123456789abcdef") != std::string::npos) {
            return UP_BadFileName;
        }
        if (sha256) {
            *sha256 = digest;
        }
    }
    return IsPlainFileName(file) ? UP_Found : UP_BadFileName;
}

int CUpdateCheck::WinInetError(int curlCode) {
    switch (curlCode) {
        case CURLE_OK:
            return 0;
        case CURLE_OUT_OF_MEMORY:
            return 12001;
        case CURLE_OPERATION_TIMEDOUT:
            return 12002;
        case CURLE_REMOTE_FILE_NOT_FOUND:
        case CURLE_FTP_COULDNT_RETR_FILE:
        case CURLE_REMOTE_ACCESS_DENIED:
            return 12003;
        case CURLE_URL_MALFORMAT:
            return 12005;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return 12006;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return 12007;
        case CURLE_LOGIN_DENIED:
            return 12014;
        case CURLE_ABORTED_BY_CALLBACK:
            return 12017;
        case CURLE_COULDNT_CONNECT:
            return 12029;
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
            return 12030;
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            return 12031;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_FTP_WEIRD_PASS_REPLY:
        case CURLE_FTP_WEIRD_PASV_REPLY:
        case CURLE_FTP_WEIRD_227_FORMAT:
            return 12152;
        default:
            return 0;
    }
}

std::string CUpdateCheck::WinInetErrorText(int error) {
    switch (error) {
        case 12001:
            return "No more handles could be generated at this time.";
        case 12002:
            return "The request has timed out.";
        case 12003:
            return "An extended error was returned from the server. This is typically a string "
                   "or buffer containing a verbose error message.";
        case 12004:
            return "An internal error has occurred.";
        case 12005:
            return "The URL is invalid.";
        case 12006:
            return "The URL scheme could not be recognized, or is not supported.";
        case 12007:
            return "The server name could not be resolved.";
        case 12008:
            return "The requested protocol could not be located.";
        case 12013:
            return "The request to connect and log on to an FTP server could not be completed "
                   "because the supplied user name is incorrect.";
        case 12014:
            return "The request to connect and login to an FTP server could not be completed "
                   "because the supplied password is incorrect. ";
        case 12015:
            return "The request to connect to and log on to an FTP server failed.";
        case 12016:
            return "The requested operation is invalid.";
        case 12017:
            return "The operation was canceled, usually because the handle on which the request "
                   "was operating was closed before the operation completed.";
        case 12018:
            return "The type of handle supplied is incorrect for this operation.";
        case 12019:
            return "The requested operation cannot be carried out because the handle supplied "
                   "is not in the correct state.";
        case 12023:
            return "A direct network connection could not be made.";
        case 12029:
            return "The attempt to connect to the server failed.";
        case 12030:
            return "The connection with the server has been terminated.";
        case 12031:
            return "The connection with the server has been reset.";
        default:
            return "Unknown Error";
    }
}

CUpdateCheck::FetchResult CUpdateCheck::GetUpgradeFileHandle(const std::string& fileName,
                                                             bool showProgress) {
    FetchResult result;
    GlobalInit();
    CURL* curl = curl_easy_init();
    if (!curl) {
        m_log.Write("m_hInternet is 0");
        return result;
    }
    std::string address = m_server.address;
    if (address.compare(0, 6, "ftp://") == 0) {
        address = address.substr(6);
    }
    while (!address.empty() && address.back() == '/') {
        address.pop_back();
    }
    char* escaped = curl_easy_escape(curl, fileName.c_str(), static_cast<int>(fileName.size()));
    std::string url = "ftp://" + address + "/" + (escaped ? escaped : "");
    curl_free(escaped);

    Transfer transfer;
    transfer.ui = &m_ui;
    transfer.showProgress = showProgress;
    transfer.limit = showProgress ? kMaxInstallerSize : kMaxPathFileSize;
    char errorBuffer[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(curl, CURLOPT_USERNAME, m_server.login.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, m_server.password.c_str());
    curl_easy_setopt(curl, CURLOPT_USE_SSL,
                     static_cast<long>(m_server.allowPlain ? CURLUSESSL_TRY : CURLUSESSL_ALL));
    curl_easy_setopt(curl, CURLOPT_TRANSFERTEXT, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "InboxWarden");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L);
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnReply);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgressInfo);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);

    CURLcode code = CURLE_OK;
    m_ui.RunSlow([&] { code = curl_easy_perform(curl); });
    curl_off_t size = -1;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size);
    curl_easy_cleanup(curl);

    result.error = WinInetError(code);
    if (transfer.cancelled) {
        m_log.Write("returning: download of %s cancelled by the user.", fileName.c_str());
        result.code = UF_Cancelled;
        return result;
    }
    if (transfer.tooLarge) {
        m_log.Write("FtpOpenFile returned 0, lastErr is %d [%s]", 0,
                    "the file is larger than we accept");
        result.code = UF_NoFile;
        return result;
    }
    if (code == CURLE_USE_SSL_FAILED) {
        m_log.Write("Server %s refused AUTH TLS; nothing was sent.", address.c_str());
        result.code = UF_NoTls;
        return result;
    }
    if (code != CURLE_OK) {
        std::string detail = WinInetErrorText(result.error) + " (" + curl_easy_strerror(code) +
                             (errorBuffer[0] ? std::string(": ") + errorBuffer : "") + ")";
        if (transfer.loggedIn) {
            m_log.Write("FtpOpenFile returned 0, lastErr is %d [%s]", result.error, detail.c_str());
            result.code = UF_NoFile;
        } else {
            m_log.Write("Server down? InternetConnect returned 0, lastErr is %d [%s]", result.error,
                        detail.c_str());
            result.code = UF_NoServer;
        }
        return result;
    }
    if (size < 0 || static_cast<size_t>(size) != transfer.data.size()) {
        // Without the size the transfer cannot be told whole from cut short.
        m_ui.Ask(kNoSize, true, false);
        m_log.Write("returning: Could not get file size for %s.", fileName.c_str());
        return result;
    }
    if (showProgress) {
        OnProgressInfo(&transfer, 1, 1, 0, 0);
    }
    result.code = UF_Ok;
    result.data = std::move(transfer.data);
    return result;
}

bool CUpdateCheck::WriteInstaller(const std::string& name, const std::string& data) {
    std::error_code ignored;
    std::filesystem::create_directories(m_folder, ignored);
    // Written under a temporary name and linked to the real one when whole:
    // no partial installer ever carries the real name, and a link never
    // replaces a file that is there (the user's, or an earlier download).
    std::string temporary = m_folder + ".inboxwarden-download.XXXXXX";
    std::vector<char> temp(temporary.begin(), temporary.end());
    temp.push_back('\0');
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        m_log.Write("returning: cannot create a file in %s: %s", m_folder.c_str(), strerror(errno));
        return false;
    }
    fchmod(fd, S_IRUSR | S_IWUSR);
    int error = WriteAll(fd, data.data(), data.size()) ? 0 : errno;
    if (error == 0 && fsync(fd) != 0) {
        error = errno;
    }
    close(fd);
    std::string path;
    for (int attempt = 0; error == 0 && path.empty() && attempt < kMaxNameAttempts; ++attempt) {
        std::string candidate = Candidate(name, attempt);
        if (link(temp.data(), candidate.c_str()) == 0) {
            path = candidate;
        } else if (errno != EEXIST) {
            error = errno;
        }
    }
    unlink(temp.data());
    if (error != 0 || path.empty()) {
        m_log.Write("returning: writing %s failed: %s", Candidate(name, 0).c_str(),
                    error ? strerror(error) : "every name is taken");
        return false;
    }
    m_writtenPath = path;
    return true;
}

bool CUpdateCheck::CheckForUpdates(bool askFirst) {
    m_log.Write("entering CUpdateDlg::CheckForUpdates()");
    m_writtenPath.clear();
    if (askFirst &&
        m_ui.Ask(StringPrintf(kAskFirst, m_appName.c_str(), m_appName.c_str()), true, true) != 1) {
        m_log.Write("returning: User decided not to try upgrade.");
        m_ui.Close();
        return false;
    }
    if (!m_server.passwordError.empty()) {
        m_ui.Ask("The update password cannot be read from the keyring: " + m_server.passwordError,
                 false, true);
        m_log.Write("returning: no update password: %s", m_server.passwordError.c_str());
        m_ui.Close();
        return false;
    }
    m_ui.ShowBusy("Please wait...", false);
    FetchResult path = GetUpgradeFileHandle(kPathFile, false);
    if (path.code == UF_Cancelled) {
        // The user closed the window: no news to give.
        m_ui.Close();
        return false;
    }
    if (path.code == UF_NoTls) {
        m_ui.Ask(StringPrintf(kNoTls, m_server.address.c_str(), m_appName.c_str()), true, false);
        m_log.Write("returning: no encrypted connection to the update server.");
        m_ui.Close();
        return false;
    }
    if (path.code == UF_NoInternet || path.code == UF_NoServer) {
        m_ui.Ask(StringPrintf(kNoInternet, m_appName.c_str()), true, false);
        m_log.Write("returning: InternetOpen");
        m_ui.Close();
        return false;
    }
    if (path.code != UF_Ok) {
        m_ui.Ask(StringPrintf(kLatest, m_appName.c_str(), "1"), true, false);
        m_log.Write("returning: Server not found, error %d [%s]", path.error,
                    WinInetErrorText(path.error).c_str());
        m_ui.Close();
        return false;
    }
    std::string next;
    std::string file;
    std::string digest;
    switch (ParseUpgradePath(path.data, m_version, next, file, &digest)) {
        case UP_NotFound:
            m_ui.Ask(StringPrintf(kLatest, m_appName.c_str(), "2"), true, false);
            m_log.Write("returning: no entry for version %s.", m_version.c_str());
            m_ui.Close();
            return false;
        case UP_DeadEnd:
            m_ui.Ask(StringPrintf(kDeadEnd, m_appName.c_str(), kWebAddress), true, false);
            m_log.Write("returning: running an upgrade dead-end.");
            m_ui.Close();
            return false;
        case UP_NoEqual:
            m_ui.Ask(kNoEqual, false, true);
            m_log.Write("returning: Error in upgrade path file: No equal!");
            m_ui.Close();
            return false;
        case UP_BadFileName:
            m_ui.Ask("Error in upgrade path file: bad file name!", false, true);
            m_log.Write("returning: Error in upgrade path file: bad file name [%s]", file.c_str());
            m_ui.Close();
            return false;
        case UP_Found:
            break;
    }
    if (m_ui.Ask(StringPrintf(kCanUpdate, m_appName.c_str(), m_version.c_str(), next.c_str()), true,
                 true) != 1) {
        m_log.Write("returning: User decided not to try upgrade.");
        m_ui.Close();
        return false;
    }
    m_log.Write("Our upgrade file: [%s]", file.c_str());
    std::string saveName = SaveName(m_appName, next, file);
    std::string planned = Candidate(saveName, 0);
    for (int attempt = 1; attempt < kMaxNameAttempts && access(planned.c_str(), F_OK) == 0;
         ++attempt) {
        planned = Candidate(saveName, attempt);
    }
    if (m_ui.Ask(StringPrintf(kWillUpdate, m_appName.c_str(), m_appName.c_str()) +
                     StringPrintf(kSavedAs, planned.c_str()),
                 true, true) != 1) {
        m_log.Write("returning: User decided not to upgrade.");
        m_ui.Close();
        return false;
    }
    m_ui.ShowBusy("", true);
    FetchResult installer = GetUpgradeFileHandle(file, true);
    if (installer.code == UF_Cancelled) {
        m_ui.Close();
        return false;
    }
    if (installer.code == UF_NoTls) {
        m_ui.Ask(StringPrintf(kNoTls, m_server.address.c_str(), m_appName.c_str()), true, false);
        m_ui.Close();
        return false;
    }
    if (installer.code != UF_Ok) {
        m_ui.Ask(
            StringPrintf(kLatest, m_appName.c_str(), std::to_string(10 + installer.code).c_str()),
            true, false);
        m_ui.Close();
        return false;
    }
    if (!digest.empty() && Sha256Hex(installer.data) != digest) {
        // Changed in transit or on the server: it never reaches the disk.
        m_ui.Ask(kNoSize, true, false);
        m_log.Write("returning: the SHA-256 of %s does not match the upgrade path file.",
                    file.c_str());
        m_ui.Close();
        return false;
    }
    if (!WriteInstaller(saveName, installer.data)) {
        m_ui.Ask("The new version could not be saved in " + m_folder + ".", true, false);
        m_ui.Close();
        return false;
    }
    m_log.Write("returning, wrote %s...", m_writtenPath.c_str());
    m_ui.OnInstallerWritten(m_writtenPath);
    m_ui.Close();
    return true;
}
