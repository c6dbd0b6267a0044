#include "app/CInboxWardenApp.h"

#include <unistd.h>

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "secrets/CPasswordAccess.h"
#include "support/CAppEnvironment.h"
#include "support/CInstanceLink.h"
#include "ui/CInboxWardenDlg.h"

namespace {

bool DefaultFirstRun(QWidget*) {
    if (CAppEnvironment* env = CAppEnvironment::Instance()) {
        env->GetMainLog().Write("No first-time setup is available; ending.");
    }
    fprintf(stderr, "inboxwarden: not configured yet and no first-time setup is available.\n");
    return false;
}

void DefaultRunWindow(CInboxWardenDlg& window) {
    window.show();
    window.exec();
}

}  // namespace

CInboxWardenApp::CInboxWardenApp(const std::vector<std::string>& arguments, QObject* parent)
    : QObject(parent), m_firstRun(DefaultFirstRun), m_runWindow(DefaultRunWindow) {
    // Substrings, case-sensitive: "--readonly" or "readonlyplease" count too.
    for (const std::string& word : arguments) {
        if (word.find("readonly") != std::string::npos) {
            m_readOnly = true;
        }
        if (word.find("firsttime") != std::string::npos) {
            m_firstTime = true;
        }
    }
}

CInboxWardenApp::~CInboxWardenApp() {
    if (m_server) {
        m_server->close();
    }
}

bool CInboxWardenApp::HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = getenv(name);
        if (value && *value) {
            return true;
        }
    }
    return false;
}

QString CInboxWardenApp::ListenPath() const {
    return m_server ? m_server->fullServerName() : QString();
}

bool CInboxWardenApp::StartListening() {
    if (m_server && m_server->isListening()) {
        return true;
    }
    CAppEnvironment* env = CAppEnvironment::Instance();
    std::string appName = env ? env->GetAppName() : "InboxWarden";
    QString path = QString::fromStdString(CInstanceLink::OwnSocketPath(appName));
    if (!m_server) {
        m_server = new QLocalServer(this);
        m_server->setSocketOptions(QLocalServer::UserAccessOption);
        connect(m_server, &QLocalServer::newConnection, this, &CInboxWardenApp::OnQuestion);
    }
    // A socket by our name belongs to a dead process that had our pid.
    QLocalServer::removeServer(path);
    if (path.isEmpty() || !m_server->listen(path)) {
        if (env) {
            env->GetMainLog().Write("Cannot listen for other copies on %s: %s",
                                    path.toLocal8Bit().constData(),
                                    m_server->errorString().toLocal8Bit().constData());
        }
        return false;
    }
    return true;
}

void CInboxWardenApp::OnQuestion() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!CInstanceLink::PeerIsSameUser(static_cast<int>(socket->socketDescriptor()))) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // A copy that never finishes its question is dropped.
        QTimer::singleShot(CInstanceLink::kAnswerLimitMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QLocalSocket::readyRead, socket, [socket, buffer] {
            if (socket->property("answered").toBool()) {
                socket->readAll();
                return;
            }
            buffer->append(socket->read(CInstanceLink::kMaxKeyLength + 2 - buffer->size()));
            qsizetype end = buffer->indexOf('\n');
            bool tooLong = end < 0 && buffer->size() > qsizetype(CInstanceLink::kMaxKeyLength);
            if (end < 0 && !tooLong) {
                return;
            }
            bool yes = false;
            CAppEnvironment* env = CAppEnvironment::Instance();
            if (!tooLong && env) {
                std::string key(buffer->constData(), static_cast<size_t>(end));
                yes = CInstanceLink::HandlesAccount(env->GetSettings(), key, &env->GetMainLog());
            }
            socket->setProperty("answered", true);
            socket->write(yes ? "1\n" : "0\n");
            socket->flush();
            socket->disconnectFromServer();
        });
    }
}

void CInboxWardenApp::Refuse(const QString& title, const QString& text) {
    if (!m_interactive) {
        return;
    }
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok);
    box.setObjectName(QStringLiteral("refusalBox"));
    box.exec();
}

CInboxWardenApp::RunResult CInboxWardenApp::Run() {
    CAppEnvironment* env = CAppEnvironment::Instance();
    if (!env) {
        return RR_NoEngine;
    }
    // Challenge texts are named relative to the program folder, so it is
    // the current folder for the whole run.
    if (chdir(env->GetProgramFolder().c_str()) != 0) {
        env->GetMainLog().Write("Could not enter the program folder %s: %s",
                                env->GetProgramFolder().c_str(), strerror(errno));
    }
    CLogFile& log = env->GetMainLog();
    log.Open("", CLogFile::LF_Enabled, 10);
    IW_LOG_AT(log, "After log initialize");
    if (m_readOnly) {
        log.Write("Read-only mode from the command line.");
    }

    CSettings& settings = env->GetSettings();
    if (settings.GetInt("Interval", "General", 0) == 0 || m_firstTime) {
        if (!m_firstRun(nullptr)) {
            log.Write("First-time setup cancelled; ending.");
            return RR_SetupCancelled;
        }
        // The setup may have chosen another data folder.
        env->ReloadDataFolder();
    }

    // The account locks decide between copies that start together; the
    // question afterwards finds a running copy whose user has added one of
    // our accounts since it started.
    std::vector<std::string> keys = CInstanceLink::AccountKeys(settings);
    std::string who;
    std::string key;
    std::string lockError;
    bool claimed = m_accounts.Acquire(env->GetAppName(), keys, &key, &lockError);
    if (claimed) {
        StartListening();
        claimed = !CInstanceLink::AnotherCopyHandles(env->GetAppName(), keys, &who, &key);
    } else if (lockError.empty()) {
        // Only to name the holder in the log: the lock has decided.
        std::string heldKey = key;
        CInstanceLink::AnotherCopyHandles(env->GetAppName(), {heldKey}, &who, &key);
        key = heldKey;
    }
    if (!lockError.empty()) {
        log.Write("%s Ending.", lockError.c_str());
        Refuse(tr("InboxWarden cannot start"), QString::fromStdString(lockError));
        return RR_NoEngine;
    }
    if (!claimed) {
        if (who.empty()) {
            log.Write("Another copy handles the account %s; ending.", key.c_str());
        } else {
            log.Write("Another copy (%s) handles the account %s; ending.", who.c_str(),
                      key.c_str());
        }
        Refuse(tr("InboxWarden is in conflict"),
               tr("Another instance of InboxWarden is handling one of the configured email "
                  "accounts. \nPlease consult your documentation on how to safely run multiple "
                  "instances of InboxWarden."));
        return RR_Conflict;
    }

    CheckPasswordStore(settings);

    auto window = std::make_unique<CInboxWardenDlg>();
    window->SetInteractive(m_interactive);
    RunResult result = RR_Closed;
    if (window->StartEngine(m_readOnly)) {
        m_runWindow(*window);
    } else {
        result = RR_NoEngine;
    }
    log.Write("InboxWarden shutting down...");
    // The window's destruction stops the engine and waits for its worker.
    window.reset();
    return result;
}

void CInboxWardenApp::CheckPasswordStore(CSettings& settings) {
    // Before the window and its engine, so the first scan finds the passwords
    // where PasswordStore says. The keyring may ask the user to unlock it.
    CPasswordAccess passwords(settings);
    CPasswordAccess::StartCheck check = passwords.CheckAtStart();
    CLogFile& log = CAppEnvironment::Instance()->GetMainLog();
    if (check.moved) {
        log.Write("The passwords were moved to the keyring.");
    }
    if (check.why.empty()) {
        return;
    }
    log.Write("The keyring cannot be used: %s", check.why.c_str());
    if (!m_interactive) {
        return;
    }
    QString why = QString::fromStdString(check.why);
    QString text =
        check.usable
            ? tr("InboxWarden cannot keep your passwords in the desktop keyring:\n%1\n\nThey stay "
                 "in InboxWarden.ini, scrambled but readable by anyone who can read that file. "
                 "Keep them in the settings file from now on?")
                  .arg(why)
            : tr("Your passwords are in the desktop keyring, which cannot be used:\n%1\n\nNo "
                 "account can be scanned until it can. Keep the passwords in the settings file "
                 "instead? You will enter them again in Settings.")
                  .arg(why);
    if (QMessageBox::question(nullptr, tr("InboxWarden: passwords"), text) == QMessageBox::Yes) {
        settings.WriteString(CPasswordAccess::kStoreKey, "file", "General");
        log.Write("The passwords are kept in the settings file, as the user chose.");
    }
}
