#include "ui/CInboxWardenDlg.h"

#include <future>

#include <QApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "engine/CInboxWardenEngine.h"
#include "history/CEmailData.h"
#include "history/CEmailHistory.h"
#include "lists/CFilterLists.h"
#include "support/CAppEnvironment.h"
#include "support/CLogFile.h"

namespace {

QString FromLocal(const std::string& text) {
    return QString::fromLocal8Bit(text.c_str());
}

// Runs the call on the window's thread: at once there, queued from another.
template <typename F>
void OnGuiThread(QObject* window, F&& call) {
    if (QThread::currentThread() == window->thread()) {
        call();
    } else {
        QMetaObject::invokeMethod(window, std::forward<F>(call), Qt::QueuedConnection);
    }
}

QString ShortVersion() {
    std::string version = CLogFile::VersionText();
    return FromLocal(version.substr(0, version.find(" Build")));
}

}  // namespace

CInboxWardenDlg::CInboxWardenDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("InboxWarden"));
    setObjectName(QStringLiteral("mainWindow"));
    setSizeGripEnabled(true);
    auto* layout = new QVBoxLayout(this);

    auto* toolbar = new QHBoxLayout;
    m_scanButton = new QPushButton(tr("Scan"), this);
    m_scanButton->setObjectName(QStringLiteral("scanButton"));
    m_scanButton->setShortcut(QKeySequence(Qt::Key_F5));
    connect(m_scanButton, &QPushButton::clicked, this, &CInboxWardenDlg::OnScanCommand);
    toolbar->addWidget(m_scanButton);
    for (int i = 0; i < 4; ++i) {
        m_viewButtons[i] = new QPushButton(QString::fromLatin1(kEmailViews[i].text), this);
        m_viewButtons[i]->setCheckable(true);
        connect(m_viewButtons[i], &QPushButton::clicked, this, [this, i] { SetView(i); });
        toolbar->addWidget(m_viewButtons[i]);
    }
    toolbar->addStretch();
    layout->addLayout(toolbar);

    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("historyList"));
    m_list->setRootIsDecorated(false);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setSortingEnabled(true);
    m_list->setHeaderLabels(
        {tr("From"), tr("Subject"), tr("Received"), tr("Account"), tr("Status"), tr("Details")});
    layout->addWidget(m_list, 1);

    for (int i = 0; i < 2; ++i) {
        auto* row = new QHBoxLayout;
        m_status[i] = new QLabel(this);
        m_status[i]->setObjectName(QStringLiteral("statusLine%1").arg(i + 1));
        m_progress[i] = new QProgressBar(this);
        m_progress[i]->setMaximumWidth(160);
        m_progress[i]->setVisible(false);
        row->addWidget(m_status[i], 1);
        row->addWidget(m_progress[i]);
        layout->addLayout(row);
    }
    m_status[0]->setText(tr("Thank you for using InboxWarden"));
    auto* lastRow = new QHBoxLayout;
    lastRow->addWidget(new QLabel(tr("Last scan:"), this));
    m_lastScan = new QLabel(QStringLiteral("--:--:--"), this);
    lastRow->addWidget(m_lastScan);
    lastRow->addStretch();
    layout->addLayout(lastRow);

    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, &CInboxWardenDlg::OnTimer);
    resize(820, 480);
}

CInboxWardenDlg::~CInboxWardenDlg() {
    if (CAppEnvironment* env = CAppEnvironment::Instance()) {
        env->GetMainLog().Write("InboxWarden shutting down...");
    }
    // The engine waits for its worker, which may still post calls to this
    // window; they are dropped with it, and none may wait for this thread.
    m_closing = true;
    m_engine.reset();
}

bool CInboxWardenDlg::StartEngine(bool readOnly) {
    CAppEnvironment* env = CAppEnvironment::Instance();
    m_view = env ? env->GetSettings().GetInt("StartupView", "General", 0) : 0;
    if (m_view < 0 || m_view > 3) {
        m_view = 0;
    }
    m_engine = std::make_unique<CInboxWardenEngine>();
    m_engine->SetReadOnly(readOnly);
    if (!m_engine->Initialize(this)) {
        if (m_interactive) {
            QMessageBox::critical(this, tr("Initialization error"),
                                  tr("There was an error initializing the InboxWarden engine. "
                                     "\nPlease contact technical support."));
        }
        m_engine.reset();
        return false;
    }
    if (CFilterLists::Instance().GetCount(FL_Friends) == 0) {
        if (m_interactive) {
            QMessageBox::warning(
                this, QStringLiteral("InboxWarden"),
                tr("Warning: Your Friends list is empty.\nBecause InboxWarden rejects most emails "
                   "whose sender does not appear in your Friends list, most email will be "
                   "rejected.\nInboxWarden will run in read-only mode until you go to the "
                   "Settings window and add entries in your Friends list."));
        }
        m_engine->SetReadOnly(true);
    }
    if (env) {
        CSettings& settings = env->GetSettings();
        m_engine->SetAutoScan(settings.GetBool("AutoScan", "General", false));
    }
    SetView(m_view);
    setWindowTitle(QStringLiteral("InboxWarden ") + ShortVersion());
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_tray = new QSystemTrayIcon(windowIcon(), this);
        m_tray->setToolTip(QStringLiteral("InboxWarden"));
        m_tray->show();
    }
    m_timer->start(300);
    return true;
}

void CInboxWardenDlg::SetStatusText(int line, const QString& text) {
    if (line >= 1 && line <= 2) {
        m_status[line - 1]->setText(text);
    }
}

QString CInboxWardenDlg::StatusText(int line) const {
    return (line >= 1 && line <= 2) ? m_status[line - 1]->text() : QString();
}

int CInboxWardenDlg::ItemCount() const {
    return m_list->topLevelItemCount();
}

void CInboxWardenDlg::SetView(int view) {
    if (view < 0 || view > 3) {
        return;
    }
    m_view = view;
    for (int i = 0; i < 4; ++i) {
        m_viewButtons[i]->setChecked(i == view);
    }
    if (m_engine) {
        // Seeing these lists today allows today's automatic cleanup.
        if (view == 1) {
            m_engine->SetQuarantinedVisitDay(CInboxWardenEngine::Today());
        } else if (view == 2) {
            m_engine->SetDeletedVisitDay(CInboxWardenEngine::Today());
        }
    }
    Refill();
}

void CInboxWardenDlg::Refill() {
    m_list->setSortingEnabled(false);
    m_list->clear();
    if (m_engine) {
        uint32_t mask = kEmailViews[m_view].mask;
        for (const auto& entry : m_engine->GetHistory().Snapshot()) {
            const CEmailData& email = entry.record;
            if (!(email.m_status & mask)) {
                continue;
            }
            auto* item = new QTreeWidgetItem(m_list);
            item->setText(0, FromLocal(email.m_sender));
            item->setText(1, FromLocal(email.m_subject));
            item->setText(2, FromLocal(email.m_headerTimestamp.empty()
                                           ? CTimeText(static_cast<time_t>(email.m_myTimestamp))
                                           : email.m_headerTimestamp));
            item->setText(3, FromLocal(email.m_account));
            item->setText(4, FromLocal(email.GetStatusText()));
            item->setText(5, FromLocal(email.m_reasonDetails));
        }
    }
    m_list->setSortingEnabled(true);
    SetStatusText(1, tr("Viewing %1 emails").arg(ItemCount()));
}

void CInboxWardenDlg::OnScanCommand() {
    if (!m_engine) {
        return;
    }
    if (!m_scanning) {
        SetStatusText(1, tr("Scanning Mail Servers..."));
        m_engine->RequestScan();
    } else {
        SetStatusText(1, tr("Aborting current Scan..."));
        m_engine->AbortScan();
    }
}

void CInboxWardenDlg::OnStatus(int levels, const std::string& text) {
    QString shown = FromLocal(text);
    // The log's continuation mark and leading line breaks are no display text.
    if (shown.startsWith(QLatin1Char('.'))) {
        shown.remove(0, 1);
    }
    while (shown.startsWith(QLatin1Char('\n'))) {
        shown.remove(0, 1);
    }
    OnGuiThread(this, [this, levels, shown] {
        if (levels & SL_Line1) {
            SetStatusText(1, shown);
        }
        if (levels & SL_Line2) {
            SetStatusText(2, shown);
        }
        if (levels & SL_PendingWarning) {
            m_pendingWarning = shown;
        }
    });
}

void CInboxWardenDlg::OnProgressRange(int line, int maximum) {
    OnGuiThread(this, [this, line, maximum] {
        QProgressBar* bar = m_progress[line == PL_Accounts ? 1 : 0];
        bar->setRange(0, maximum > 0 ? maximum : 1);
        bar->setValue(0);
        bar->setVisible(maximum > 0);
    });
}

void CInboxWardenDlg::OnProgress(int line, int position) {
    OnGuiThread(this, [this, line, position] {
        QProgressBar* bar = m_progress[line == PL_Accounts ? 1 : 0];
        bar->setValue(position);
        // No bar once the position reaches the range.
        bar->setVisible(position < bar->maximum());
    });
}

void CInboxWardenDlg::OnScanStarted() {
    OnGuiThread(this, [this] {
        m_scanning = true;
        SetStatusText(2, tr("Scanning..."));
        setWindowTitle(QStringLiteral("InboxWarden - Scanning..."));
        m_scanButton->setText(tr("Stop"));
    });
}

void CInboxWardenDlg::OnScanDone(int newLeftOnServer, int newMessages) {
    OnGuiThread(this, [this, newLeftOnServer, newMessages] {
        m_scanning = false;
        Refill();
        SetStatusText(1, tr("%1 new Friendly emails, %2 new emails, viewing %3")
                             .arg(newLeftOnServer)
                             .arg(newMessages)
                             .arg(ItemCount()));
        m_lastScan->setText(QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss")));
        SetStatusText(2, tr("Idle"));
        setWindowTitle(QStringLiteral("InboxWarden ") + ShortVersion());
        m_scanButton->setText(tr("Scan"));
        for (auto* bar : m_progress) {
            bar->setVisible(false);
        }
    });
}

void CInboxWardenDlg::OnHistoryChanged() {
    OnGuiThread(this, [this] { Refill(); });
}

void CInboxWardenDlg::OnNewMail(int notificationType, const std::string& text) {
    QString shown = FromLocal(text);
    if (notificationType == 1) {
        OnGuiThread(this, [] { QApplication::beep(); });
        return;
    }
    if (notificationType == 2 && m_interactive) {
        // The scan waits until the user has closed the box.
        RunOnGuiAndWait(
            [shown] { QMessageBox::information(nullptr, tr("Somebody cares!"), shown); });
    }
}

void CInboxWardenDlg::OnDatabaseError(const std::string& caption, const std::string& text) {
    QString title = FromLocal(caption);
    QString shown = FromLocal(text);
    OnGuiThread(this, [this, title, shown] {
        if (m_interactive) {
            QMessageBox::critical(this, title, shown);
        }
    });
}

void CInboxWardenDlg::OnCloseProgram() {
    OnGuiThread(this, [this] { accept(); });
}

bool CInboxWardenDlg::OnOpenWithDesktop(const std::string& target) {
    QUrl url = QUrl::fromUserInput(FromLocal(target), QString(), QUrl::AssumeLocalFile);
    auto opened = std::make_shared<std::atomic<bool>>(false);
    bool ran = RunOnGuiAndWait([url, opened] { *opened = QDesktopServices::openUrl(url); });
    return ran && *opened;
}

bool CInboxWardenDlg::RunOnGuiAndWait(const std::function<void()>& call) {
    if (QThread::currentThread() == thread()) {
        call();
        return true;
    }
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    QMetaObject::invokeMethod(
        this,
        [call, done] {
            call();
            done->set_value();
        },
        Qt::QueuedConnection);
    while (finished.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        if (m_closing) {
            return false;
        }
    }
    return true;
}

void CInboxWardenDlg::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && m_engine) {
        CAppEnvironment* env = CAppEnvironment::Instance();
        if (env) {
            CSettings& settings = env->GetSettings();
            bool dontScanInFront = settings.GetBool("DontScanWhileInForeground", "General", false);
            m_engine->SetAutoScan(isActiveWindow() && dontScanInFront
                                      ? false
                                      : settings.GetBool("AutoScan", "General", false));
        }
    }
}

void CInboxWardenDlg::OnTimer() {
    if (!m_pendingWarning.isEmpty()) {
        ShowPendingWarning();
    }
}

void CInboxWardenDlg::ShowPendingWarning() {
    QString text = m_pendingWarning;
    m_pendingWarning.clear();
    if (m_interactive) {
        QMessageBox::warning(this, tr("Warning"), text);
    }
}
