#include "MailServers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

// A blocking loopback connection whose every wait is bounded.
class SmtpLink {
public:
    ~SmtpLink() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }

    bool Open(const std::string& host, unsigned port, std::string& error) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0) {
            error = std::string("socket: ") + strerror(errno);
            return false;
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
            error = "not an IPv4 address: " + host;
            return false;
        }
        timeval tv{10, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            error = std::string("connect: ") + strerror(errno);
            return false;
        }
        return true;
    }

    bool Write(const std::string& data, std::string& error) {
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = send(m_fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                error = std::string("send: ") + strerror(errno);
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // One reply, all its lines (the last has a blank after the code).
    bool Reply(const std::string& expectedCode, std::string& error) {
        std::string reply;
        for (int reads = 0; reads < 1000 && reply.size() < 65536; ++reads) {
            size_t lineStart = 0;
            size_t end;
            while ((end = reply.find("\r\n", lineStart)) != std::string::npos) {
                if (end - lineStart >= 4 && reply[lineStart + 3] == ' ') {
                    if (reply.compare(lineStart, 3, expectedCode) == 0) {
                        return true;
                    }
                    error = reply;
                    return false;
                }
                lineStart = end + 2;
            }
            char buffer[4096];
            ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                error = n == 0 ? "connection closed" : std::string("recv: ") + strerror(errno);
                error += " after \"" + reply + "\"";
                return false;
            }
            reply.append(buffer, static_cast<size_t>(n));
        }
        error = "reply too long: " + reply.substr(0, 200);
        return false;
    }

    bool Exchange(const std::string& command, const std::string& code, std::string& error) {
        if (!Write(command, error) || !Reply(code, error)) {
            error = command.substr(0, command.find('\r')) + ": " + error;
            return false;
        }
        return true;
    }

private:
    int m_fd = -1;
};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

const MailServers& MailServers::Get() {
    static const MailServers instance;
    return instance;
}

MailServers::MailServers() {
    const char* env = getenv("IW_MAIL_ENV");
    if (!env || !*env) {
        m_why =
            "IW_MAIL_ENV is not set (run the tests through ctest, whose realserver fixture starts "
            "the servers, or run scripts/mailservers.sh start FILE and set IW_MAIL_ENV=FILE)";
        return;
    }
    Load(env);
}

void MailServers::Load(const std::string& envFile) {
    std::ifstream in(envFile);
    if (!in) {
        m_why = "the servers are not running (" + envFile +
                " is missing; scripts/mailservers.sh start writes it)";
        return;
    }
    std::string line;
    for (int count = 0; count < 1000 && std::getline(in, line); ++count) {
        size_t eq = line.find('=');
        if (eq != std::string::npos && eq > 0) {
            m_values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    if (m_values.count("IW_MAIL_UNAVAILABLE")) {
        m_why = m_values["IW_MAIL_UNAVAILABLE"];
        return;
    }
    m_host = m_values["IW_MAIL_HOST"];
    m_pop3Port = static_cast<unsigned>(atoi(m_values["IW_MAIL_POP3_PORT"].c_str()));
    m_smtpPort = static_cast<unsigned>(atoi(m_values["IW_MAIL_SMTP_PORT"].c_str()));
    m_domain = m_values["IW_MAIL_DOMAIN"];
    m_root = m_values["IW_MAIL_ROOT"];
    m_dovecotLog = m_values["IW_MAIL_DOVECOT_LOG"];
    m_postfixLog = m_values["IW_MAIL_POSTFIX_LOG"];
    m_uid = atoi(m_values["IW_MAIL_UID"].c_str());
    m_gid = atoi(m_values["IW_MAIL_GID"].c_str());
    std::stringstream users(m_values["IW_MAIL_USERS"]);
    std::string user;
    while (std::getline(users, user, ',')) {
        if (!user.empty()) {
            m_users.push_back(user);
        }
    }
    if (m_host.empty() || m_pop3Port == 0 || m_smtpPort == 0 || m_domain.empty() ||
        m_root.empty() || m_users.empty()) {
        m_why = envFile + " is incomplete";
        return;
    }
    m_available = true;
}

std::string MailServers::Value(const std::string& key) const {
    auto it = m_values.find(key);
    return it == m_values.end() ? std::string() : it->second;
}

unsigned MailServers::Port(const std::string& key) const {
    return static_cast<unsigned>(atoi(Value(key).c_str()));
}

std::string MailServers::Address(const std::string& user) const {
    if (user.find('@') != std::string::npos) {
        return user;
    }
    return user + "@" + m_domain;
}

std::string MailServers::Password(const std::string& user) const {
    std::string name = user.substr(0, user.find('@'));
    auto it = m_values.find("IW_MAIL_PASSWORD_" + name);
    return it == m_values.end() ? std::string() : it->second;
}

std::string MailServers::Maildir(const std::string& userOrAddress) const {
    // Dovecot and Postfix both see the address in lower case.
    std::string address = Lower(Address(userOrAddress));
    size_t at = address.find('@');
    return m_root + "/" + address.substr(at + 1) + "/" + address.substr(0, at) + "/Maildir";
}

bool MailServers::EnsureMaildir(const std::string& maildir) const {
    std::error_code ec;
    for (const char* sub : {"cur", "new", "tmp"}) {
        fs::create_directories(maildir + "/" + sub, ec);
        if (ec) {
            return false;
        }
    }
    // Dovecot runs the mailbox as the mail user: give it what we created.
    if (geteuid() == 0) {
        const fs::path dirs[] = {maildir + "/cur", maildir + "/new", maildir + "/tmp", maildir,
                                 fs::path(maildir).parent_path()};
        for (const auto& dir : dirs) {
            if (chown(dir.c_str(), static_cast<uid_t>(m_uid), static_cast<gid_t>(m_gid)) != 0) {
                return false;
            }
        }
    }
    return true;
}

std::string MailServers::Drop(const std::string& userOrAddress, const std::string& message) const {
    static std::atomic<unsigned> counter{0};
    std::string maildir = Maildir(userOrAddress);
    if (!EnsureMaildir(maildir)) {
        return {};
    }
    timeval now{};
    gettimeofday(&now, nullptr);
    // Zero-padded, so that file name order is drop order.
    char name[96];
    snprintf(name, sizeof name, "%010lld.M%06ldP%dQ%08u.iwtest", static_cast<long long>(now.tv_sec),
             static_cast<long>(now.tv_usec), static_cast<int>(getpid()), counter++);
    std::string tmp = maildir + "/tmp/" + name;
    std::string target = maildir + "/new/" + name;
    {
        std::ofstream out(tmp, std::ios::binary);
        out.write(message.data(), static_cast<std::streamsize>(message.size()));
        if (!out) {
            return {};
        }
    }
    chmod(tmp.c_str(), 0644);
    if (geteuid() == 0) {
        if (chown(tmp.c_str(), static_cast<uid_t>(m_uid), static_cast<gid_t>(m_gid)) != 0) {
            return {};
        }
    }
    if (rename(tmp.c_str(), target.c_str()) != 0) {
        return {};
    }
    return target;
}

std::vector<std::string> MailServers::List(const std::string& userOrAddress) const {
    std::string maildir = Maildir(userOrAddress);
    std::vector<std::pair<std::string, std::string>> found;  // base name, path
    std::error_code ec;
    for (const char* sub : {"cur", "new"}) {
        for (fs::directory_iterator it(maildir + "/" + sub, ec), end; !ec && it != end;
             it.increment(ec)) {
            std::string base = it->path().filename().string();
            if (base.empty() || base[0] == '.' || !it->is_regular_file(ec)) {
                continue;
            }
            found.emplace_back(base.substr(0, base.find(':')), it->path().string());
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& entry : found) {
        paths.push_back(entry.second);
    }
    return paths;
}

size_t MailServers::Count(const std::string& userOrAddress) const {
    return List(userOrAddress).size();
}

std::vector<std::string> MailServers::ReadAll(const std::string& userOrAddress) const {
    std::vector<std::string> texts;
    for (const auto& path : List(userOrAddress)) {
        texts.push_back(ReadFile(path));
    }
    return texts;
}

void MailServers::Clear(const std::string& userOrAddress) const {
    std::string maildir = Maildir(userOrAddress);
    std::error_code ec;
    for (const char* sub : {"cur", "new", "tmp"}) {
        for (fs::directory_iterator it(maildir + "/" + sub, ec), end; !ec && it != end;
             it.increment(ec)) {
            fs::remove(it->path(), ec);
        }
    }
}

bool MailServers::WaitForCount(const std::string& userOrAddress, size_t count,
                               std::chrono::milliseconds timeout) const {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (Count(userOrAddress) < count) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool MailServers::Send(const std::string& from, const std::vector<std::string>& to,
                       const std::string& message, std::string* error) const {
    std::string failure;
    std::string* err = error ? error : &failure;
    if (!m_available) {
        *err = m_why;
        return false;
    }
    // Dot transparency: a line that begins with "." gets a second one.
    std::string data;
    data.reserve(message.size() + message.size() / 32 + 8);
    bool lineStart = true;
    for (char c : message) {
        if (lineStart && c == '.') {
            data += '.';
        }
        data += c;
        lineStart = c == '\n';
    }
    if (data.size() < 2 || data.compare(data.size() - 2, 2, "\r\n") != 0) {
        data += "\r\n";
    }
    data += ".\r\n";

    SmtpLink link;
    if (!link.Open(m_host, m_smtpPort, *err) || !link.Reply("220", *err) ||
        !link.Exchange("EHLO tests." + m_domain + "\r\n", "250", *err) ||
        !link.Exchange("MAIL FROM:<" + from + ">\r\n", "250", *err)) {
        return false;
    }
    for (const auto& rcpt : to) {
        if (!link.Exchange("RCPT TO:<" + rcpt + ">\r\n", "250", *err)) {
            return false;
        }
    }
    if (!link.Exchange("DATA\r\n", "354", *err) || !link.Write(data, *err) ||
        !link.Reply("250", *err)) {
        return false;
    }
    link.Exchange("QUIT\r\n", "221", failure);
    return true;
}

std::string MailServers::ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
