#include "ui/CServerTest.h"

#include <QMetaObject>
#include <atomic>
#include <functional>
#include <mutex>

#include "mail/CMailContent.h"
#include "mail/CPOP3.h"
#include "mail/CSMTP.h"
#include "support/CLogFile.h"
#include "support/StringUtils.h"

struct CServerTest::Job {
    std::mutex lock;
    bool cancelled = false;
    CLineSocket* socket = nullptr;
    // Read by the socket's waits on the test's thread.
    std::atomic<bool> abort{false};

    // Makes the socket abortable while the client lives.
    void Attach(CLineSocket* s) {
        std::lock_guard<std::mutex> hold(lock);
        socket = s;
        socket->SetAbortFlag(&abort);
    }
    void Detach() {
        std::lock_guard<std::mutex> hold(lock);
        socket = nullptr;
    }
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

void CServerTest::Launch(std::shared_ptr<Job> job, std::function<void(Job&)> work) {
    // An earlier, cancelled test ends within one abort step.
    Join();
    m_job = job;
    m_running = true;
    m_thread = std::thread([job, work = std::move(work)] { work(*job); });
}

void CServerTest::StartPop3(const ServerTestParams& params, const std::string& programFolder,
                            const std::string& appName) {
    auto job = std::make_shared<Job>();
    Launch(job, [this, job, params, programFolder, appName](Job& self) {
        CLogFile log(programFolder, appName);
        log.Open("SettingsPOP3Test", CLogFile::LF_Enabled, 10);
        bool connected = false;
        int count = -1;
        QString error;
        {
            std::unique_ptr<CPOP3> pop3 = ConfigurePop3(params, &log);
            self.Attach(&pop3->GetSocket());
            connected = pop3->Connect();
            if (connected) {
                count = pop3->GetNumMessages();
            }
            error = QString::fromStdString(pop3->GetErrorText());
            // The client logs out as it goes.
            pop3.reset();
            self.Detach();
        }
        log.Close();
        if (self.Cancelled()) {
            return;
        }
        QMetaObject::invokeMethod(
            this,
            [this, job, connected, count, error] {
                if (m_running && m_job == job) {
                    m_running = false;
                    emit Pop3Done(connected, count, error);
                }
            },
            Qt::QueuedConnection);
    });
}

void CServerTest::StartSmtp(const ServerTestParams& params, const std::string& programFolder,
                            const std::string& appName, const std::string& userName) {
    (void)userName;
    auto job = std::make_shared<Job>();
    Launch(job, [this, job, params, programFolder, appName](Job& self) {
        CLogFile log(programFolder, appName);
        log.Open("SettingsSMTPTest", CLogFile::LF_Enabled, 10);
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
        QString error;
        {
            std::unique_ptr<CSMTP> smtp = ConfigureSmtp(params, &log);
            self.Attach(&smtp->GetSocket());
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
            error = QString::fromStdString(smtp->GetErrorText());
            smtp.reset();
            self.Detach();
        }
        log.Close();
        if (self.Cancelled()) {
            return;
        }
        QMetaObject::invokeMethod(
            this,
            [this, job, stage, error] {
                if (m_running && m_job == job) {
                    m_running = false;
                    emit SmtpDone(stage, error);
                }
            },
            Qt::QueuedConnection);
    });
}
