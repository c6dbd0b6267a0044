#include "ui/CCodeSignIn.h"

#include <QMetaObject>
#include <functional>

#include "signin/CDeviceSignIn.h"
#include "support/CAppEnvironment.h"

CCodeSignIn::CCodeSignIn(QObject* parent) : QObject(parent) {}

CCodeSignIn::~CCodeSignIn() {
    Cancel();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CCodeSignIn::Cancel() {
    if (m_job) {
        m_job->abort = true;
    }
    m_running = false;
}

void CCodeSignIn::Start(const std::string& profile, const std::string& account) {
    Cancel();
    // A cancelled run ends within one poll step or one abortable request.
    if (m_thread.joinable()) {
        m_thread.join();
    }
    auto job = std::make_shared<Job>();
    m_job = job;
    m_running = true;
    int secondMs = m_secondMs;
    m_thread = std::thread([this, job, profile, account, secondMs] {
        // Queued to this object: dropped if it is gone, ignored once the
        // run is cancelled or replaced.
        auto post = [this, job](std::function<void()> report) {
            QMetaObject::invokeMethod(
                this,
                [this, job, report] {
                    if (m_job == job && !job->abort) {
                        report();
                    }
                },
                Qt::QueuedConnection);
        };
        std::string error = "The settings cannot be read";
        bool ok = false;
        if (CAppEnvironment* env = CAppEnvironment::Instance()) {
            CDeviceSignIn signIn(env->GetSettings(), profile, account);
            signIn.SetAbortFlag(&job->abort);
            signIn.SetSecondLength(secondMs);
            std::string last;
            ok = signIn.Run(
                [&](const std::string& line) {
                    last = line;
                    QString text = QString::fromStdString(line);
                    post([this, text] { emit Said(text); });
                },
                error);
            if (ok) {
                error = last;
            }
        }
        QString text = QString::fromStdString(error);
        post([this, ok, text] {
            m_running = false;
            emit Finished(ok, text);
        });
    });
}
