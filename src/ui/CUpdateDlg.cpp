#include "ui/CUpdateDlg.h"

#include <QApplication>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <atomic>
#include <thread>

#include "support/CAppEnvironment.h"
#include "support/DesktopOpen.h"
#include "update/CUpdateCheck.h"

CUpdateDlg::CUpdateDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("updateDialog"));
    setWindowTitle(QStringLiteral("%1 Update").arg(QStringLiteral("InboxWarden")));
    auto* layout = new QVBoxLayout(this);
    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("messageText"));
    m_message->setWordWrap(true);
    m_message->setMinimumWidth(380);
    layout->addWidget(m_message);
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("progressBar"));
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    layout->addWidget(m_progress);
    m_progressText = new QLabel(this);
    m_progressText->setObjectName(QStringLiteral("progressText"));
    layout->addWidget(m_progressText);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    m_ok = new QPushButton(tr("OK"), this);
    m_ok->setObjectName(QStringLiteral("okButton"));
    m_ok->setDefault(true);
    m_cancel = new QPushButton(tr("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("cancelButton"));
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);
    layout->addLayout(buttons);
    m_ok->setEnabled(false);
    m_cancel->setEnabled(false);
    connect(m_ok, &QPushButton::clicked, this, [this] { OnButton(1); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { OnButton(2); });
    m_openFolder = [](const std::string& folder) { OpenWithDesktop(folder); };
}

CUpdateDlg::~CUpdateDlg() {
    SetWaiting(false);
}

bool CUpdateDlg::Run(QWidget* parent) {
    CAppEnvironment* env = CAppEnvironment::Instance();
    if (!env) {
        return false;
    }
    CUpdateDlg dialog(parent);
    dialog.show();
    CUpdateCheck check(dialog, env->GetMainLog(),
                       CUpdateCheck::ServerFromSettings(env->GetSettings()),
                       CUpdateCheck::ShortVersion(), env->GetAppName());
    return check.CheckForUpdates(true);
}

QString CUpdateDlg::MessageText() const {
    return m_message->text();
}

QString CUpdateDlg::ProgressText() const {
    return m_progressText->text();
}

int CUpdateDlg::ProgressValue() const {
    return m_progress->value();
}

void CUpdateDlg::SetWaiting(bool waiting) {
    if (waiting != m_waitCursor) {
        m_waitCursor = waiting;
        if (waiting) {
            QApplication::setOverrideCursor(Qt::WaitCursor);
        } else {
            QApplication::restoreOverrideCursor();
        }
    }
}

void CUpdateDlg::OnButton(int result) {
    if (m_loop) {
        m_answer = result;
        m_loop->quit();
    } else if (m_slow && result == 2) {
        m_cancelled = true;
        m_cancel->setEnabled(false);
    }
}

void CUpdateDlg::reject() {
    // Closing the window counts as Cancel wherever Cancel means something.
    if (m_loop || m_slow) {
        OnButton(2);
    } else {
        QDialog::reject();
    }
}

int CUpdateDlg::Ask(const std::string& text, bool okEnabled, bool cancelEnabled) {
    QString shown = QString::fromLocal8Bit(text.c_str());
    m_message->setText(shown);
    m_ok->setText(tr("OK"));
    m_cancel->setText(tr("Cancel"));
    m_ok->setEnabled(okEnabled);
    m_cancel->setEnabled(cancelEnabled);
    SetWaiting(false);
    if (!isVisible()) {
        show();
    }
    QEventLoop loop;
    m_loop = &loop;
    m_answer = 2;
    QTimer::singleShot(0, this, [this, shown] { emit questionShown(shown); });
    loop.exec();
    m_loop = nullptr;
    for (QPushButton* button : {m_ok, m_cancel}) {
        button->setText(tr("Please wait..."));
        button->setEnabled(false);
    }
    SetWaiting(true);
    return m_answer;
}

void CUpdateDlg::ShowBusy(const std::string& text, bool cancelEnabled) {
    if (!text.empty()) {
        m_message->setText(QString::fromLocal8Bit(text.c_str()));
    }
    m_ok->setEnabled(false);
    m_cancel->setText(tr("Cancel"));
    m_cancel->setEnabled(cancelEnabled);
    SetWaiting(!cancelEnabled);
}

void CUpdateDlg::RunSlow(const std::function<void()>& work) {
    m_cancelled = false;
    m_tenths = -1;
    m_slow = true;
    std::atomic<bool> done{false};
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, [&] {
        ShowProgress();
        if (done.load()) {
            loop.quit();
        }
    });
    poll.start(50);
    std::thread worker([&] {
        work();
        done = true;
    });
    loop.exec();
    worker.join();
    ShowProgress();
    m_slow = false;
}

void CUpdateDlg::OnProgress(int tenths) {
    m_tenths = tenths;
}

void CUpdateDlg::ShowProgress() {
    int tenths = m_tenths.load();
    if (tenths < 0) {
        return;
    }
    m_progress->setValue(tenths / 10);
    m_progressText->setText(QStringLiteral("%1.%2% complete...").arg(tenths / 10).arg(tenths % 10));
}

void CUpdateDlg::Close() {
    SetWaiting(false);
    hide();
}

void CUpdateDlg::OnInstallerWritten(const std::string& path) {
    SetWaiting(false);
    std::string folder = CAppEnvironment::FolderOfPath(path);
    Ask("The new version of InboxWarden was saved as\n" + path +
            "\nIts folder opens now; install it from there.",
        true, false);
    SetWaiting(false);
    if (m_openFolder) {
        m_openFolder(folder);
    }
}
