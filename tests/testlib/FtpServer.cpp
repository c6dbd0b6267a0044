#include "FtpServer.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "TempHome.h"

extern char** environ;

#ifndef IW_FTP_SERVER_SCRIPT
#define IW_FTP_SERVER_SCRIPT "ftp_server.py"
#endif
#ifndef IW_TEST_PYTHON
#define IW_TEST_PYTHON "/usr/bin/python3"
#endif

FtpServer::FtpServer(const std::string& login, const std::string& password) {
    std::string pattern = (std::filesystem::temp_directory_path() / "iwftp-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) {
        m_error = "mkdtemp failed";
        return;
    }
    m_root = name.data();
    std::filesystem::create_directory(m_root + "/files");
    std::string portFile = m_root + "/port";
    std::vector<std::string> args{
        IW_TEST_PYTHON, IW_FTP_SERVER_SCRIPT, m_root + "/files", portFile, login, password, "300"};
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    if (posix_spawn(&m_pid, args[0].c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        m_pid = 0;
        m_error = "cannot start " + args[0];
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string text = TempHome::ReadFile(portFile);
        if (!text.empty()) {
            m_port = std::stoi(text);
            return;
        }
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = 0;
            m_error = "the FTP server ended at once (is python3-pyftpdlib installed?)";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    m_error = "the FTP server did not start in 10 seconds";
}

FtpServer::~FtpServer() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100 && waitpid(m_pid, &status, WNOHANG) != m_pid; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (i == 50) {
                kill(m_pid, SIGKILL);
            }
        }
    }
    std::error_code ec;
    if (!m_root.empty()) {
        std::filesystem::remove_all(m_root, ec);
    }
}

std::string FtpServer::Address() const {
    return "127.0.0.1:" + std::to_string(m_port);
}

void FtpServer::Put(const std::string& name, const std::string& content) const {
    TempHome::WriteFile(m_root + "/files/" + name, content);
}

std::string FtpServer::Commands() const {
    return TempHome::ReadFile(m_root + "/port.commands");
}
