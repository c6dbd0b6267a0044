#pragma once

#include <sys/types.h>

#include <string>

// A real FTP server (python3-pyftpdlib) on 127.0.0.1 at a free port, serving
// a temporary folder read-only to one login; ended with the object.
class FtpServer {
public:
    FtpServer(const std::string& login, const std::string& password);
    ~FtpServer();
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    // False (with Error()) when the server did not come up in 10 seconds.
    bool Started() const { return m_port > 0; }
    const std::string& Error() const { return m_error; }
    int Port() const { return m_port; }
    // "127.0.0.1:<port>"
    std::string Address() const;
    // The names of the commands received so far, one a line ("USER\nPASS\n...").
    std::string Commands() const;
    // Puts a file into the served folder.
    void Put(const std::string& name, const std::string& content) const;

private:
    std::string m_root;
    std::string m_error;
    pid_t m_pid = 0;
    int m_port = 0;
};
