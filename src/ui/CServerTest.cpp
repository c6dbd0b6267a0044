#include "ui/CServerTest.h"

#include <QMetaObject>
#include <atomic>
#include <functional>
#include <mutex>

#include "mail/CMailContent.h"
#include "mail/CPOP3.h"
#include "mail/CSMTP.h"
#include "signin/CAccessTokens.h"
#include "support/CLogFile.h"
#include "support/StringUtils.h"

struct CServerTest::Job {
    std::mutex lock;
    bool cancelled = false;
    // Read by the socket's waits on the test's thread.
    std::atomic<bool> abort{false};

    // Makes the socket abortable while the client lives.
    void Attach(CLineSocket* socket) { socket->SetAbortFlag(&abort); }
    bool Cancelled() {
        std::lock_guard<std::mutex> hold(lock);
        return cancelled;
    }
};

std::unique_ptr<CPOP3> ConfigurePop3(const ServerTestParams& params, CLogFile* log) {
    auto client = std::make_unique<CPOP3>(params.server.host, params.server.port);
    client->SetErrorLog(log);
    client->SetTrafficLog(log);
    CConnectionSettings::Apply(params.server, *client);
    return client;
}

std::unique_ptr<CSMTP> ConfigureSmtp(const ServerTestParams& params, CLogFile* log) {
    auto client = std::make_unique<CSMTP>(params.server.host, params.server.port);
    client->SetErrorLog(log);
    client->SetTrafficLog(log);
    CConnectionSettings::Apply(params.server, *client);
    return client;
}

CServerTest::CServerTest(QObject* parent) : QObject(parent) {}

CServerTest::~CServerTest() {
    Cancel();
    Join();
}

void CServerTest::Join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CServerTest::Cancel() {
    if (!m_job) {
        return;
    }
    std::lock_guard<std::mutex> hold(m_job->lock);
    m_job->cancelled = true;
    m_job->abort = true;
    m_running = false;
}

void CServerTest::Launch(const char* logName, const std::string& programFolder,
                         const std::string& appName, Work work) {
    // An earlier, cancelled test ends within one abort step.
    Join();
    auto job = std::make_shared<Job>();
    m_job = job;
    m_running = true;
    m_thread = std::thread([this, job, logName, programFolder, appName, work = std::move(work)] {
        CLogFile log(programFolder, appName);
        log.Open(logName, CLogFile::LF_Enabled, 10);
        // The client logs out as it goes, so it is gone before the log closes.
        std::function<void()> report = work(*job, log);
        log.Close();
        if (job->Cancelled()) {
            return;
        }
        QMetaObject::invokeMethod(
            this,
            [this, job, report] {
                if (m_running && m_job == job) {
                    m_running = false;
                    report();
                }
            },
            Qt::QueuedConnection);
    });
}

bool CServerTest::FetchToken(ServerTestParams& params, Job& job, std::function<void()>& report,
                             CServerTest* owner) {
    if (!params.server.oauth) {
        return true;
    }
    std::string error = "No settings to read the sign-in from";
    int state = static_cast<int>(CAccessTokens::State::Failed);
    if (params.settings != nullptr) {
        state = CConnectionSettings::FetchToken(*params.settings, params.server, error, &job.abort);
    }
    if (state == static_cast<int>(CAccessTokens::State::Ok)) {
        return true;
    }
    QString text = QString::fromStdString(error);
    report = [owner, text] { emit owner->TokenFailed(text); };
    return false;
}

void CServerTest::StartPop3(const ServerTestParams& params, const std::string& programFolder,
                            const std::string& appName) {
    Launch("SettingsPOP3Test", programFolder, appName, [this, params](Job& job, CLogFile& log) {
        ServerTestParams ready = params;
        std::function<void()> tokenFailed;
        if (!FetchToken(ready, job, tokenFailed, this)) {
            return tokenFailed;
        }
        std::unique_ptr<CPOP3> pop3 = ConfigurePop3(ready, &log);
        job.Attach(&pop3->GetSocket());
        bool connected = pop3->Connect();
        int count = -1;
        if (connected) {
            count = pop3->GetNumMessages();
        }
        QString error = QString::fromStdString(pop3->GetErrorText());
        CTlsSession::PeerCertificate refused = pop3->GetSocket().RefusedCertificate();
        return std::function<void()>([this, connected, count, error, refused] {
            m_refused = refused;
            emit Pop3Done(connected, count, error);
        });
    });
}

void CServerTest::StartSmtp(const ServerTestParams& params, const std::string& programFolder,
                            const std::string& appName) {
    Launch("SettingsSMTPTest", programFolder, appName, [this, params](Job& job, CLogFile& log) {
        ServerTestParams ready = params;
        std::function<void()> tokenFailed;
        if (!FetchToken(ready, job, tokenFailed, this)) {
            return tokenFailed;
        }
        CMailContent message;
        message.m_from = params.address;
        message.AddRecipient(params.address, "");
        message.m_subject = "InboxWarden SMTP Server Test";
        std::string body =
            "Hello,\n    if you received this, Your SMTP Server settings are well configured in "
            "InboxWarden.\n\nHave a great day!\n\nInboxWarden";
        ToCrLf(body);
        message.m_body = body;
        int stage = SmtpOk;
        std::unique_ptr<CSMTP> smtp = ConfigureSmtp(ready, &log);
        job.Attach(&smtp->GetSocket());
        if (!smtp->Connect()) {
            stage = SmtpConnectFailed;
        } else if (!smtp->SendMessage(message)) {
            stage = SmtpSendFailed;
        } else {
            IW_LOG_AT(log, "SendMessage returned, disconnecting...");
            if (!smtp->Disconnect()) {
                stage = SmtpDisconnectFailed;
            }
        }
        QString error = QString::fromStdString(smtp->GetErrorText());
        CTlsSession::PeerCertificate refused = smtp->GetSocket().RefusedCertificate();
        return std::function<void()>([this, stage, error, refused] {
            m_refused = refused;
            emit SmtpDone(stage, error);
        });
    });
}
