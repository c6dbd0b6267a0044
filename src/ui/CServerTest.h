#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "engine/CConnectionSettings.h"
#include "mail/CTlsSession.h"

class CLogFile;
class CSettings;
class CPOP3;
class CSMTP;

// What a connection test needs, read from the settings page's fields.
struct ServerTestParams {
    CConnectionSettings::Server server;
    // With server.oauth: where the account's sign-in is read and renewed.
    CSettings* settings = nullptr;
    // SMTP only: the test message's address (sender and recipient).
    std::string address;
};

// Sets up a client exactly as a scan would for these settings. The one place
// where connection options (port, security, login) reach the test clients.
std::unique_ptr<CPOP3> ConfigurePop3(const ServerTestParams& params, CLogFile* log);
std::unique_ptr<CSMTP> ConfigureSmtp(const ServerTestParams& params, CLogFile* log);

// Runs one POP3 or SMTP test on a thread of its own and reports on the
// owner's thread. Cancel aborts the connection; a cancelled test reports
// nothing. Destroying the object cancels and joins.
class CServerTest : public QObject {
    Q_OBJECT

public:
    enum SmtpStage { SmtpConnectFailed, SmtpSendFailed, SmtpDisconnectFailed, SmtpOk };

    explicit CServerTest(QObject* parent = nullptr);
    ~CServerTest() override;

    // The log "SettingsPOP3Test"/"SettingsSMTPTest" goes to programFolder
    // with appName in its file name.
    void StartPop3(const ServerTestParams& params, const std::string& programFolder,
                   const std::string& appName);
    void StartSmtp(const ServerTestParams& params, const std::string& programFolder,
                   const std::string& appName);
    void Cancel();
    bool IsRunning() const { return m_running; }
    // The certificate the last reported test refused, if one was (an empty
    // fingerprint otherwise); valid while its Done signal is handled.
    const CTlsSession::PeerCertificate& RefusedCertificate() const { return m_refused; }

signals:
    // connected false: the connect or login failed; count -1: STAT failed.
    void Pop3Done(bool connected, int count, const QString& error);
    void SmtpDone(int stage, const QString& error);
    // An OAuth2 login had no token to log in with (not signed in, sign-in
    // expired, token server unreachable); nothing was connected.
    void TokenFailed(const QString& error);

private:
    struct Job;
    // Runs on the test's thread with the log open; returns the report, which
    // is made on the owner's thread unless the test was cancelled or replaced.
    using Work = std::function<std::function<void()>(Job&, CLogFile&)>;
    // The log logName is open while work runs.
    void Launch(const char* logName, const std::string& programFolder, const std::string& appName,
                Work work);
    void Join();
    // The bearer token of an OAuth2 login, fetched on the test's thread (it
    // may renew over the network). False, with the report made, without one.
    static bool FetchToken(ServerTestParams& params, Job& job, std::function<void()>& report,
                           CServerTest* owner);

    std::shared_ptr<Job> m_job;
    std::thread m_thread;
    bool m_running = false;
    CTlsSession::PeerCertificate m_refused;
};
