#include "ui/CInboxWardenDlg.h"
#include "ui/CDesktopNotifier.h"
#include "ui/CFindFriendsDlg.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMetaObject>
#include <QRegularExpression>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QThread>
#include <QTime>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <future>
#include <unordered_set>

#include "engine/CInboxWardenEngine.h"
#include "history/CEmailHistory.h"
#include "lists/CFilterLists.h"
#include "signin/CAccessTokens.h"
#include "support/CAppEnvironment.h"
#include "support/StringUtils.h"
#include "ui/CAboutDlg.h"
#include "ui/CCheckMessageBox.h"
#include "ui/CFindDlg.h"
#include "ui/CHistoryModel.h"
#include "ui/CIconPainter.h"
#include "ui/CNewMailTones.h"
#include "ui/CPropertiesDlg.h"
#include "ui/CStatusLine.h"
#include "ui/UiText.h"
#include "update/CUpdateCheck.h"

namespace {

// Shared by every window of the process, like the sort order.
std::atomic<int> g_animationStep{0};

constexpr const char* kViewNames[4] = {"viewOnServer", "viewQuarantined", "viewDeleted", "viewAll"};

// Runs the call on the window's thread: at once there, queued from another.
template <typename F>
void OnGuiThread(QObject* window, F&& call) {
    if (QThread::currentThread() == window->thread()) {
        call();
    } else {
        QMetaObject::invokeMethod(window, std::forward<F>(call), Qt::QueuedConnection);
    }
}

CSettings* Settings() {
    CAppEnvironment* env = CAppEnvironment::Instance();
    return env ? &env->GetSettings() : nullptr;
}

void LogLine(const std::string& text) {
    if (CAppEnvironment* env = CAppEnvironment::Instance()) {
        env->GetMainLog().Write("%s", text.c_str());
    }
}

QString NormalTitle() {
    return QStringLiteral("InboxWarden ") + FromStd(CUpdateCheck::ShortVersion());
}

}  // namespace

CInboxWardenDlg::CInboxWardenDlg(QWidget* parent)
    : QDialog(parent), m_tones(std::make_unique<CNewMailTones>()) {
    setWindowTitle(QStringLiteral("InboxWarden"));
    setObjectName(QStringLiteral("mainWindow"));
    setWindowIcon(CIconPainter::TrayIcon(0));
    setSizeGripEnabled(true);
    m_notifier = new CDesktopNotifier(this);
    connect(m_notifier, &CDesktopNotifier::ActionInvoked, this, [this](const QString& key) {
        if (key == QStringLiteral("review")) {
            showNormal();
            raise();
            activateWindow();
            SetView(1);
        }
    });
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    m_desktopOpen = [](const QString& path) {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    };

    BuildActions();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 0, 4, 4);
    layout->setSpacing(3);
    BuildMenus();
    auto* bar = new QToolBar(this);
    BuildToolBar(bar);
    layout->addWidget(bar);

    m_model = new CHistoryModel(this);
    m_list = new QTableView(this);
    m_list->setObjectName(QStringLiteral("historyList"));
    m_list->setModel(m_model);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setWordWrap(false);
    m_list->setShowGrid(false);
    m_list->setIconSize(QSize(16, 16));
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    m_list->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->verticalHeader()->hide();
    // Fixed row heights: the view never asks every row for its size.
    m_list->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_list->verticalHeader()->setDefaultSectionSize(std::max(18, fontMetrics().height() + 4));
    QHeaderView* header = m_list->horizontalHeader();
    header->setSectionsMovable(true);
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    header->setStretchLastSection(false);
    header->setHighlightSections(false);
    header->setSortIndicator(CHistoryModel::SortColumn(), CHistoryModel::SortAscending()
                                                              ? Qt::AscendingOrder
                                                              : Qt::DescendingOrder);
    connect(header, &QHeaderView::sectionClicked, this, &CInboxWardenDlg::SortBy);
    connect(m_list, &QTableView::doubleClicked, this, [this] { OnOpen(); });
    connect(m_list, &QTableView::customContextMenuRequested, this,
            &CInboxWardenDlg::ShowContextMenu);
    m_list->viewport()->installEventFilter(this);
    m_list->setToolTip(tr("The history of fetched emails in the chosen view"));
    layout->addWidget(m_list, 1);

    m_status[0] = new CStatusLine(
        CStatusLine::SS_AppendPercent | CStatusLine::SS_ShowProgress | CStatusLine::SS_HideWhenFull,
        this);
    m_status[1] =
        new CStatusLine(CStatusLine::SS_ShowProgress | CStatusLine::SS_HideWhenFull, this);
    for (int i = 0; i < 2; ++i) {
        m_status[i]->setObjectName(QStringLiteral("statusLine%1").arg(i + 1));
        layout->addWidget(m_status[i]);
    }
    m_status[0]->SetText(tr("Thank you for using InboxWarden"));
    auto* lastRow = new QHBoxLayout;
    auto* lastLabel = new QLabel(tr("Last scan:"), this);
    lastLabel->setObjectName(QStringLiteral("lastScanLabel"));
    lastRow->addWidget(lastLabel);
    m_lastScan = new QLabel(QStringLiteral("--:--:--"), this);
    m_lastScan->setObjectName(QStringLiteral("lastScanTime"));
    lastRow->addWidget(m_lastScan);
    lastRow->addStretch();
    layout->addLayout(lastRow);

    m_timer = new QTimer(this);
    m_timer->setObjectName(QStringLiteral("animationTimer"));
    connect(m_timer, &QTimer::timeout, this, &CInboxWardenDlg::OnTimer);
    UpdateActions();
    resize(820, 480);
}

CInboxWardenDlg::~CInboxWardenDlg() {
    if (CAppEnvironment* env = CAppEnvironment::Instance()) {
        env->GetMainLog().Write("InboxWarden shutting down...");
    }
    if (m_tray) {
        m_tray->hide();
    }
    // The engine waits for its worker, which may still post calls to this
    // window; they are dropped with it, and none may wait for this thread.
    m_closing = true;
    m_engine.reset();
}

void CInboxWardenDlg::BuildActions() {
    auto make = [this](const QString& text, const char* name, auto slot) {
        auto* action = new QAction(text, this);
        action->setObjectName(QString::fromLatin1(name));
        connect(action, &QAction::triggered, this, slot);
        addAction(action);
        return action;
    };
    m_scanAction = make(tr("Scan && Filter now"), "actionScan", &CInboxWardenDlg::OnScanCommand);
    m_scanAction->setShortcut(QKeySequence(Qt::Key_F5));
    m_scanAction->setIconText(tr("Scan"));
    m_scanAction->setToolTip(tr("Scan all mail servers now and filter new emails (F5)"));
    m_deleteAction = make(tr("&Delete"), "actionDelete", &CInboxWardenDlg::OnDelete);
    m_deleteAction->setShortcut(QKeySequence::Delete);
    m_deleteAction->setToolTip(tr("Delete the selected emails from the server at the next scan"));
    m_viewGroup = new QActionGroup(this);
    for (int i = 0; i < 4; ++i) {
        m_viewActions[i] = new QAction(tr(kEmailViews[i].text), this);
        m_viewActions[i]->setObjectName(QString::fromLatin1(kViewNames[i]));
        m_viewActions[i]->setCheckable(true);
        m_viewActions[i]->setShortcut(QKeySequence(Qt::CTRL | static_cast<Qt::Key>(Qt::Key_1 + i)));
        m_viewActions[i]->setToolTip(tr("Show the %1 emails").arg(tr(kEmailViews[i].text)));
        m_viewGroup->addAction(m_viewActions[i]);
        connect(m_viewActions[i], &QAction::triggered, this, [this, i] { SetView(i); });
        addAction(m_viewActions[i]);
    }
    m_settingsAction = make(tr("&Settings..."), "actionSettings", &CInboxWardenDlg::OnSettings);
    m_settingsAction->setIconText(tr("Settings"));
    m_aboutAction = make(tr("&About..."), "actionAbout", &CInboxWardenDlg::OnAbout);
    m_aboutAction->setIconText(tr("About"));
    m_exitAction = make(tr("E&xit"), "actionExit", &CInboxWardenDlg::OnExit);
    m_exitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    m_openAction = make(tr("&Open..."), "actionOpen", &CInboxWardenDlg::OnOpen);
    m_openAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    m_propertiesAction =
        make(tr("&Properties..."), "actionProperties", &CInboxWardenDlg::OnProperties);
    m_propertiesAction->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Return));
    m_restoreAction =
        make(tr("&Restore to Server"), "actionRestore", &CInboxWardenDlg::OnRestoreToServer);
    m_restoreAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    m_friendsAction = make(tr("Add to &Friends list (and restore all his/her emails)"),
                           "actionAddToFriends", &CInboxWardenDlg::OnAddToFriends);
    m_friendsAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F));
    m_undesirablesAction = make(tr("Move to &Undesirables list (and delete all his/her emails)"),
                                "actionMoveToUndesirables", &CInboxWardenDlg::OnMoveToUndesirables);
    m_undesirablesAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_U));
    m_findAction = make(tr("&Find eMail..."), "actionFind", &CInboxWardenDlg::OnFind);
    m_findAction->setShortcut(QKeySequence::Find);
}

void CInboxWardenDlg::BuildMenus() {
    auto* menuBar = new QMenuBar(this);
    layout()->setMenuBar(menuBar);
    QMenu* file = menuBar->addMenu(tr("&File"));
    // Clearing the deleted emails' history is done from the settings window.
    QAction* clear = file->addAction(tr("&Clear history for all deleted emails"));
    clear->setEnabled(false);
    file->addSeparator();
    file->addAction(m_exitAction);

    QMenu* email = menuBar->addMenu(tr("&Email"));
    for (QAction* action : {m_openAction, m_propertiesAction, m_restoreAction, m_friendsAction,
                            m_undesirablesAction, m_deleteAction}) {
        email->addAction(action);
    }
    QMenu* view = menuBar->addMenu(tr("&View"));
    for (QAction* action : m_viewActions) {
        view->addAction(action);
    }

    QMenu* tools = menuBar->addMenu(tr("&Tools"));
    tools->addAction(m_settingsAction);
    tools->addAction(m_scanAction);
    static const char* const kSortTexts[CHistoryModel::C_Count] = {
        "Sort by Sender",  "Sort by Subject", "Sort by Time received",
        "Sort by Account", "Sort by Status",  "Sort by Details"};
    // The menu lists them in this order.
    for (int column : {0, 1, 4, 3, 2, 5}) {
        QAction* sort = tools->addAction(tr(kSortTexts[column]));
        sort->setObjectName(QStringLiteral("actionSort%1").arg(column));
        connect(sort, &QAction::triggered, this, [this, column] { SortBy(column); });
    }
    tools->addAction(m_findAction);
    QAction* findFriends = tools->addAction(tr("Find fri&ends in my mailbox..."));
    findFriends->setObjectName(QStringLiteral("actionFindFriends"));
    connect(findFriends, &QAction::triggered, this, [this] {
        CFindFriendsDlg dialog(this);
        dialog.exec();
    });

    QMenu* help = menuBar->addMenu(tr("&Help"));
    QAction* contents = help->addAction(tr("&Contents..."));
    contents->setEnabled(false);
    help->addAction(m_aboutAction);
}

void CInboxWardenDlg::BuildToolBar(QToolBar* bar) {
    bar->setObjectName(QStringLiteral("toolBar"));
    bar->setMovable(false);
    bar->setIconSize(QSize(16, 16));
    bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    bar->addAction(m_scanAction);
    bar->addSeparator();
    bar->addAction(m_deleteAction);
    bar->addSeparator();
    for (QAction* action : m_viewActions) {
        bar->addAction(action);
    }
    bar->addSeparator();
    bar->addAction(m_settingsAction);
    bar->addAction(m_aboutAction);
    m_viewActions[0]->setIcon(QIcon(CIconPainter::ListImage(2)));
    m_viewActions[1]->setIcon(QIcon(CIconPainter::ListImage(4)));
    m_viewActions[2]->setIcon(QIcon(CIconPainter::ListImage(0)));
    m_viewActions[3]->setIcon(QIcon(CIconPainter::ListImage(8)));
}

void CInboxWardenDlg::BuildTray() {
    if (m_tray || !QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    m_trayMenu = new QMenu(this);
    m_trayMenu->addAction(tr("&About InboxWarden..."), this, &CInboxWardenDlg::OnAbout);
    m_trayMenu->addAction(tr("Help..."))->setEnabled(false);
    m_trayMenu->addAction(tr("Settings..."), this, &CInboxWardenDlg::OnSettings);
    m_trayMenu->addAction(tr("Exit"), this, &CInboxWardenDlg::OnExit);
    m_tray = new QSystemTrayIcon(CIconPainter::TrayIcon(0), this);
    m_tray->setToolTip(QStringLiteral("InboxWarden"));
    m_tray->setContextMenu(m_trayMenu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick) {
            showNormal();
            raise();
            activateWindow();
        }
    });
    m_tray->show();
}

void CInboxWardenDlg::UpdateActions() {
    m_scanAction->setText(m_scanning ? tr("Stop scanning") : tr("Scan && Filter now"));
    m_scanAction->setIconText(m_scanning ? tr("Stop") : tr("Scan"));
    m_scanAction->setIcon(
        CIconPainter::ToolIcon(m_scanning ? CIconPainter::T_Stop : CIconPainter::T_Scan, false));
    m_deleteAction->setIcon(CIconPainter::ToolIcon(CIconPainter::T_Delete, m_scanning));
    m_settingsAction->setIcon(CIconPainter::ToolIcon(CIconPainter::T_Settings, m_scanning));
    m_aboutAction->setIcon(CIconPainter::ToolIcon(CIconPainter::T_About, m_scanning));
    m_deleteAction->setEnabled(m_view == 0);
    for (int i = 0; i < 4; ++i) {
        m_viewActions[i]->setChecked(i == m_view);
    }
}

bool CInboxWardenDlg::StartEngine(bool readOnly) {
    CSettings* settings = Settings();
    m_view = settings ? settings->GetInt("StartupView", "General", 0) : 0;
    if (m_view < 0 || m_view > 3) {
        m_view = 0;
    }
    m_engine = std::make_unique<CInboxWardenEngine>();
    m_engine->SetReadOnly(readOnly);
    if (!m_engine->Initialize(this)) {
        ShowMessage(QMessageBox::Critical, tr("Initialization error"),
                    tr("There was an error initializing the InboxWarden engine. \nPlease contact "
                       "technical support."));
        m_engine.reset();
        return false;
    }
    if (CFilterLists::Instance().GetCount(FL_Friends) == 0) {
        ShowMessage(QMessageBox::Warning, QStringLiteral("InboxWarden"),
                    tr("Warning: Your Friends list is empty.\nBecause InboxWarden rejects most "
                       "emails whose sender does not appear in your Friends list, most email will "
                       "be rejected.\nInboxWarden will run in read-only mode until you go to the "
                       "Settings window and add entries in your Friends list."));
        // Read-only asked on the command line stays; this one ends with
        // the first friend, however it is added.
        if (!readOnly) {
            m_engine->SetReadOnlyUntilFriends();
        }
    }
    if (settings) {
        m_engine->SetAutoScan(settings->GetBool("AutoScan", "General", false));
    }
    // The engine has just read its settings itself.
    ApplyListSettings();
    SetView(m_view);
    setWindowTitle(NormalTitle());
    BuildTray();
    m_timer->start(300);
    return true;
}

void CInboxWardenDlg::ShowAtStart() {
    CSettings* settings = Settings();
    if (settings && settings->GetBool("DontScanWhileInForeground", "General", false)) {
        // In the background from the start, so automatic scans may begin.
        setAttribute(Qt::WA_ShowWithoutActivating);
        showMinimized();
    } else {
        show();
    }
}

QAction* CInboxWardenDlg::Action(const QString& objectName) const {
    return findChild<QAction*>(objectName);
}

void CInboxWardenDlg::SetStatusText(int line, const QString& text) {
    if (line >= 1 && line <= 2) {
        m_status[line - 1]->SetText(text);
    }
}

QString CInboxWardenDlg::StatusText(int line) const {
    return (line >= 1 && line <= 2) ? m_status[line - 1]->Text() : QString();
}

CStatusLine* CInboxWardenDlg::StatusLine(int line) const {
    return (line >= 1 && line <= 2) ? m_status[line - 1] : nullptr;
}

QString CInboxWardenDlg::LastScanText() const {
    return m_lastScan->text();
}

int CInboxWardenDlg::ItemCount() const {
    return m_model->rowCount();
}

void CInboxWardenDlg::SetView(int view) {
    if (view < 0 || view > 3) {
        return;
    }
    if (view != m_view) {
        m_list->clearSelection();
    }
    m_view = view;
    if (m_engine) {
        // Seeing these lists today allows today's automatic cleanup.
        if (view == 1) {
            m_engine->SetQuarantinedVisitDay(CInboxWardenEngine::Today());
        } else if (view == 2) {
            m_engine->SetDeletedVisitDay(CInboxWardenEngine::Today());
        }
    }
    UpdateActions();
    m_lastRemainder = -1000;
    Refill();
}

void CInboxWardenDlg::Refill() {
    m_refillQueued = false;
    // The selection is kept by record, so it survives rows moving or going.
    std::vector<const CEmailData*> selected = SelectedKeys();
    const CHistoryModel::Row* current = m_model->RowAt(m_list->currentIndex().row());
    const CEmailData* currentKey = current ? current->key : nullptr;
    if (m_engine) {
        m_model->Fill(m_engine->GetHistory().Snapshot(), m_view);
    } else {
        m_model->Clear();
    }
    if (!selected.empty() || currentKey) {
        std::unordered_set<const CEmailData*> keys(selected.begin(), selected.end());
        QItemSelection selection;
        int first = -1;
        int rows = m_model->rowCount();
        int last = CHistoryModel::C_Count - 1;
        for (int row = 0; row <= rows; ++row) {
            const CHistoryModel::Row* entry = m_model->RowAt(row);
            bool in = entry && keys.count(entry->key) != 0;
            if (in && first < 0) {
                first = row;
            } else if (!in && first >= 0) {
                selection.select(m_model->index(first, 0), m_model->index(row - 1, last));
                first = -1;
            }
            if (entry && entry->key == currentKey) {
                m_list->selectionModel()->setCurrentIndex(m_model->index(row, 0),
                                                          QItemSelectionModel::NoUpdate);
            }
        }
        m_list->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    }
    LayoutColumns(false);
    SetStatusText(1, tr("Viewing %1 emails").arg(ItemCount()));
}

void CInboxWardenDlg::LayoutColumns(bool force) {
    QHeaderView* header = m_list->horizontalHeader();
    int width = m_list->viewport()->width();
    m_list->setColumnHidden(CHistoryModel::C_Account, false);
    if (m_model->rowCount() == 0) {
        for (int column = 0; column < CHistoryModel::C_Count; ++column) {
            header->resizeSection(column, width / CHistoryModel::C_Count);
        }
        m_lastRemainder = -1000;
        return;
    }
    QFontMetrics metrics(m_list->font());
    if (m_receivedWidth == 0) {
        m_receivedWidth = metrics.horizontalAdvance(QStringLiteral("Mon, Dec 33 2004 55:55:55  "));
    }
    const CHistoryModel::Extents& extents = m_model->GetExtents();
    auto widest = [&metrics](const QStringList& texts, const QString& title) {
        int most = metrics.horizontalAdvance(title) + 24;
        for (const QString& text : texts) {
            most = std::max(most, metrics.horizontalAdvance(text) + 12);
        }
        return most;
    };
    header->resizeSection(CHistoryModel::C_Received, m_receivedWidth);
    int account = m_showAccount ? widest(extents.accounts, tr("Account")) : 0;
    m_list->setColumnHidden(CHistoryModel::C_Account, account == 0);
    if (account > 0) {
        header->resizeSection(CHistoryModel::C_Account, account);
    }
    int status = widest(extents.statuses, tr("Status"));
    header->resizeSection(CHistoryModel::C_Status, status);
    int remainder = width - m_receivedWidth - account - status - 20;
    if (!force && std::abs(remainder - m_lastRemainder) <= 1) {
        return;
    }
    m_lastRemainder = remainder;
    auto widestOf = [&metrics](const std::vector<std::string>& texts) {
        int most = 0;
        for (const std::string& text : texts) {
            most = std::max(most, metrics.horizontalAdvance(FromStd(text)));
        }
        return most;
    };
    int share = static_cast<int>(std::lround(0.3 * remainder));
    // The sender column also carries the 16-pixel image.
    int from = std::min(share, widestOf(extents.longestSenders) + 20) + 30;
    int subject = std::min(share, widestOf(extents.longestSubjects)) + 15;
    header->resizeSection(CHistoryModel::C_From, std::max(from, 40));
    header->resizeSection(CHistoryModel::C_Subject, std::max(subject, 40));
    header->resizeSection(CHistoryModel::C_Details, std::max(subject, 40));
}

bool CInboxWardenDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_list->viewport() && event->type() == QEvent::Resize) {
        LayoutColumns(false);
    }
    return QDialog::eventFilter(watched, event);
}

void CInboxWardenDlg::SortBy(int column) {
    CHistoryModel::ChooseSortColumn(column);
    m_model->Sort();
    m_list->horizontalHeader()->setSortIndicator(
        CHistoryModel::SortColumn(),
        CHistoryModel::SortAscending() ? Qt::AscendingOrder : Qt::DescendingOrder);
}

std::vector<const CHistoryModel::Row*> CInboxWardenDlg::SelectedRows() const {
    const QModelIndexList selected = m_list->selectionModel()->selectedRows();
    std::vector<const CHistoryModel::Row*> rows;
    rows.reserve(static_cast<size_t>(selected.size()));
    for (const QModelIndex& index : selected) {
        rows.push_back(m_model->RowAt(index.row()));
    }
    return rows;
}

std::vector<const CEmailData*> CInboxWardenDlg::SelectedKeys() const {
    std::vector<const CEmailData*> keys;
    for (const CHistoryModel::Row* row : SelectedRows()) {
        if (row) {
            keys.push_back(row->key);
        }
    }
    return keys;
}

std::vector<std::string> CInboxWardenDlg::SelectedSenders() const {
    std::vector<std::string> senders;
    for (const CHistoryModel::Row* row : SelectedRows()) {
        if (row) {
            senders.push_back(row->record.m_sender);
        }
    }
    return senders;
}

void CInboxWardenDlg::ShowMessage(QMessageBox::Icon icon, const QString& caption,
                                  const QString& text) {
    m_lastMessage = text;
    if (m_interactive) {
        QMessageBox box(icon, caption, text, QMessageBox::Ok, this);
        box.exec();
    }
}

QMessageBox::StandardButton CInboxWardenDlg::AskOnce(const char* key, const QString& text,
                                                     const QString& caption) {
    CSettings* settings = Settings();
    if (settings && settings->GetBool(key, "Prompts", false)) {
        return QMessageBox::Yes;
    }
    m_lastMessage = text;
    if (!m_interactive) {
        return m_answer;
    }
    int answer = PromptOnce(this, key, "Prompts", text, caption,
                            CCheckMessageBox::MB_YESNO | CCheckMessageBox::MB_ICONQUESTION);
    return answer == CCheckMessageBox::IDYES ? QMessageBox::Yes : QMessageBox::No;
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

bool CInboxWardenDlg::MarkSelectedForDeletion(std::vector<std::string>& senders) {
    if (!m_engine || m_scanning || m_view != 0) {
        return false;
    }
    std::vector<const CEmailData*> keys = SelectedKeys();
    if (keys.empty()) {
        ShowMessage(QMessageBox::Information, QStringLiteral("InboxWarden"),
                    tr("Please select emails to be deleted.\nYou can select more than one by "
                       "holding the Ctrl key while clicking, \nor a range by clicking the second "
                       "email by holding the Shift key"));
        return false;
    }
    if (AskOnce("DontAskDeleteSelected",
                tr("You have selected emails for deletion.\nThese emails will be deleted from the "
                   "server the next time InboxWarden performs a scan. \nDo you want to continue?"),
                tr("Are you sure?")) != QMessageBox::Yes) {
        return false;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ForEachLiveRecord(keys, [&](CEmailData* email) {
        senders.push_back(email->m_sender);
        m_engine->MarkForDeletion(email);
    });
    Refill();
    QApplication::restoreOverrideCursor();
    return true;
}

void CInboxWardenDlg::OnDelete() {
    std::vector<std::string> senders;
    MarkSelectedForDeletion(senders);
}

void CInboxWardenDlg::OnMoveToUndesirables() {
    if (!m_engine || m_scanning) {
        return;
    }
    std::vector<std::string> senders;
    if (m_view == 0) {
        if (!MarkSelectedForDeletion(senders)) {
            return;
        }
    } else {
        senders = SelectedSenders();
    }
    RemoveDuplicates(senders);
    if (senders.empty()) {
        return;
    }
    std::string joined;
    JoinList(joined, senders, true);
    if (AskOnce("DontTellSenderAddedToUndesirables",
                tr("Are you sure you want to delete the selected emails and add to your "
                   "undesirable list:") +
                    FromStd(joined) + QStringLiteral("?"),
                tr("Are you sure?")) != QMessageBox::Yes) {
        return;
    }
    for (const std::string& sender : senders) {
        CFilterLists::Instance().AddWord(sender, FL_Undesirables);
    }
}

void CInboxWardenDlg::OnAddToFriends() {
    if (!m_engine) {
        return;
    }
    std::vector<std::string> senders = SelectedSenders();
    if (senders.empty()) {
        return;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    RemoveDuplicates(senders);
    for (const std::string& sender : senders) {
        m_engine->RestoreAllFromSender(sender, true);
    }
    Refill();
    QApplication::restoreOverrideCursor();
}

void CInboxWardenDlg::ForEachLiveRecord(const std::vector<const CEmailData*>& keys,
                                        const std::function<void(CEmailData*)>& action) {
    // The keys come from a snapshot: only records still in the history are
    // touched, under its lock.
    std::unordered_set<const CEmailData*> wanted(keys.begin(), keys.end());
    CEmailHistory& history = m_engine->GetHistory();
    auto lock = history.Lock();
    int count = history.GetCount();
    for (int i = 0; i < count; ++i) {
        CEmailData* email = history.GetAt(i);
        if (email && wanted.count(email)) {
            action(email);
        }
    }
}

void CInboxWardenDlg::OnRestoreToServer() {
    std::vector<const CEmailData*> keys = SelectedKeys();
    if (!m_engine || keys.empty()) {
        return;
    }
    ForEachLiveRecord(keys, [&](CEmailData* email) { m_engine->MarkForRestore(email); });
    Refill();
}

void CInboxWardenDlg::OnOpen() {
    if (!m_engine) {
        return;
    }
    // Copied first: a message box below lets a refill replace the rows.
    std::vector<std::pair<const CEmailData*, std::string>> chosen;
    for (const CHistoryModel::Row* row : SelectedRows()) {
        chosen.emplace_back(row ? row->key : nullptr,
                            row ? row->record.m_emailFilename : std::string());
    }
    for (const auto& [key, fileName] : chosen) {
        if (!key || m_engine->GetHistory().IndexOf(key) < 0) {
            ShowMessage(QMessageBox::Critical, tr("Error!"),
                        tr("Could not retrieve email information!"));
        } else if (fileName.empty()) {
            ShowMessage(QMessageBox::Warning, tr("Ooops"),
                        tr("This email has not been saved locally."));
        } else if (!m_desktopOpen || !m_desktopOpen(FromStd(fileName))) {
            LogLine("The desktop could not open " + fileName);
        }
    }
}

void CInboxWardenDlg::OnProperties() {
    std::vector<CEmailData> records;
    for (const CHistoryModel::Row* row : SelectedRows()) {
        if (row) {
            records.push_back(row->record);
        }
    }
    // One after another; the rows may be refilled while a box is open.
    for (const CEmailData& record : records) {
        CPropertiesDlg dialog(
            record, this,
            m_engine ? m_engine->TrustedServIds(record.m_account) : std::vector<std::string>());
        m_lastMessage = dialog.ShownRawText();
        if (m_interactive) {
            dialog.exec();
        }
    }
}

int CInboxWardenDlg::FindAndSelect(const QString& text) {
    QItemSelectionModel* selection = m_list->selectionModel();
    int rows = m_model->rowCount();
    int last = CHistoryModel::C_Count - 1;
    if (text.isEmpty()) {
        if (rows > 0) {
            selection->select(QItemSelection(m_model->index(0, 0), m_model->index(rows - 1, last)),
                              QItemSelectionModel::Select);
        }
        return rows;
    }
    std::string needle = ToStd(text);
    QItemSelection found;
    int matched = 0;
    int lastRow = -1;
    for (int row = 0; row < rows; ++row) {
        const CEmailData& record = m_model->RowAt(row)->record;
        if (CFilterLists::MatchWords(record.m_sender, needle, false) ||
            CFilterLists::MatchWords(record.m_subject, needle, false)) {
            found.select(m_model->index(row, 0), m_model->index(row, last));
            ++matched;
            lastRow = row;
        }
    }
    if (matched == 0) {
        ShowMessage(QMessageBox::Information, tr("Not found"), tr("Word(s) not found"));
        return 0;
    }
    selection->select(found, QItemSelectionModel::Select);
    m_list->scrollTo(m_model->index(lastRow, 0));
    return matched;
}

void CInboxWardenDlg::OnFind() {
    CFindDlg dialog(this);
    if (dialog.exec() == QDialog::Accepted) {
        FindAndSelect(dialog.Text());
    }
}

void CInboxWardenDlg::OnSettings() {
    if (m_settingsHandler) {
        m_settingsHandler(this);
    } else {
        ShowMessage(QMessageBox::Information, tr("Settings"),
                    tr("The settings window is not available in this build."));
    }
    // Whatever the dialog's result: it may have saved before being cancelled.
    ApplySettings();
}

void CInboxWardenDlg::ApplySettings() {
    ApplyListSettings();
    if (m_engine) {
        m_engine->ReadSettings(false);
    }
}

void CInboxWardenDlg::ApplyListSettings() {
    CSettings* settings = Settings();
    if (!settings) {
        return;
    }
    m_list->setShowGrid(settings->GetBool("ShowGridLines", "General", false));
    StringList accounts;
    SplitList(settings->GetString("AccountsList", "General", ""), accounts);
    int enabled = 0;
    for (const std::string& account : accounts) {
        if (!account.empty() && settings->GetBool("Filter", account, false)) {
            ++enabled;
        }
    }
    m_showAccount = enabled >= 2;
    LayoutColumns(true);
}

void CInboxWardenDlg::OnAbout() {
    CAboutDlg dialog(m_checkForUpdates, this);
    if (m_interactive) {
        dialog.exec();
    }
}

void CInboxWardenDlg::OnExit() {
    if (AskOnce("DontAskIfSureExit", tr("Are you sure you want to exit?"), tr("Success")) ==
        QMessageBox::Yes) {
        m_exitConfirmed = true;
        done(QDialog::Accepted);
    }
}

void CInboxWardenDlg::reject() {
    // Escape and the window's close button ask like the Exit command.
    if (m_exitConfirmed) {
        QDialog::reject();
    } else {
        OnExit();
    }
}

void CInboxWardenDlg::ShowContextMenu(const QPoint& pos) {
    QModelIndex index = m_list->indexAt(pos);
    if (!index.isValid()) {
        index = m_list->currentIndex();
    }
    const CHistoryModel::Row* row = m_model->RowAt(index.row());
    if (!row) {
        return;
    }
    if (!m_list->selectionModel()->isRowSelected(index.row(), QModelIndex())) {
        m_list->selectionModel()->select(
            index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("historyMenu"));
    switch (row->record.m_status) {
        case ES_OnServer:
            menu.addActions({m_openAction, m_propertiesAction, m_undesirablesAction});
            break;
        case ES_Quarantined:
            menu.addActions({m_openAction, m_propertiesAction, m_restoreAction, m_friendsAction,
                             m_undesirablesAction});
            break;
        case ES_Deleted:
        case ES_Delivered:
            menu.addActions({m_openAction, m_propertiesAction, m_restoreAction});
            break;
        default:
            return;
    }
    menu.exec(m_list->viewport()->mapToGlobal(m_list->visualRect(index).center()));
}

void CInboxWardenDlg::OnStatus(int levels, const std::string& text) {
    QString shown = FromStd(text);
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
        CStatusLine* status = m_status[line == PL_Accounts ? 1 : 0];
        status->SetRange(maximum);
        status->SetPosition(0);
    });
}

void CInboxWardenDlg::OnProgress(int line, int position) {
    OnGuiThread(this, [this, line, position] {
        m_status[line == PL_Accounts ? 1 : 0]->SetPosition(position);
    });
}

void CInboxWardenDlg::OnScanStarted() {
    OnGuiThread(this, [this] {
        m_scanning = true;
        m_quarantinedThisScan = 0;
        SetStatusText(2, tr("Scanning..."));
        setWindowTitle(QStringLiteral("InboxWarden - Scanning..."));
        UpdateActions();
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
        // The locale's own time with seconds, without the zone its long
        // format adds.
        QLocale locale;
        QString format = locale.timeFormat(QLocale::LongFormat);
        format.remove(QRegularExpression(QStringLiteral("\\s*t+\\s*$")));
        m_lastScan->setText(locale.toString(QTime::currentTime(), format));
        SetStatusText(2, tr("Idle"));
        setWindowTitle(NormalTitle());
        if (m_quarantinedThisScan > 0 && m_interactive) {
            m_notifier->Notify(
                tr("New mail in quarantine"),
                tr("%n new message(s) kept in quarantine", nullptr, m_quarantinedThisScan),
                {QStringLiteral("review"), tr("Review")});
        }
        m_quarantinedThisScan = 0;
        for (CStatusLine* line : m_status) {
            line->SetRange(0);
        }
        UpdateActions();
        // Waking a mail program (ClickEMailProgramAfterScan) has nothing to
        // talk to on this platform.
        m_trayFrame = 0;
        if (m_tray) {
            m_tray->setIcon(CIconPainter::TrayIcon(0));
        }
    });
}

void CInboxWardenDlg::OnHistoryChanged() {
    // Many notices in a row cost one refill.
    if (!m_refillQueued.exchange(true)) {
        QMetaObject::invokeMethod(
            this, [this] { Refill(); }, Qt::QueuedConnection);
    }
}

void CInboxWardenDlg::OnNewMail(int notificationType, const std::string& text) {
    QString shown = FromStd(text);
    if (notificationType == 1) {
        OnGuiThread(this, [this, shown] {
            m_lastAnnouncement = shown;
            if (m_interactive) {
                m_tones->Play();
            }
            if (m_tray && QSystemTrayIcon::supportsMessages()) {
                m_tray->showMessage(QStringLiteral("InboxWarden"), shown,
                                    QSystemTrayIcon::Information, 10000);
            } else if (m_interactive) {
                // No tray to show a balloon (GNOME): the desktop's own notices.
                m_notifier->Notify(QStringLiteral("InboxWarden"), shown);
            }
        });
        return;
    }
    if (notificationType == 2) {
        // The scan waits until the user has closed the box.
        RunOnGuiAndWait([this, shown] {
            m_lastAnnouncement = shown;
            if (m_interactive) {
                QMessageBox::information(nullptr, tr("Somebody cares!"), shown);
            }
        });
    }
}

void CInboxWardenDlg::OnQuarantined(const std::string&) {
    OnGuiThread(this, [this] { ++m_quarantinedThisScan; });
}

void CInboxWardenDlg::OnAccountFailed(const std::string& account, const std::string& reason) {
    QString name = FromStd(account);
    QString why = FromStd(reason);
    bool expired = reason == CAccessTokens::kExpiredText;
    OnGuiThread(this, [this, name, why, expired] {
        if (!m_interactive) {
            return;
        }
        if (!expired) {
            m_notifier->Notify(tr("Scan of %1 failed").arg(name), why);
        } else if (!m_expiredNoticed.contains(name)) {
            // Every scan skips the account until the user signs in again:
            // one notice says it, one per scan would nag.
            m_expiredNoticed.insert(name);
            m_notifier->Notify(tr("Sign-in expired for %1").arg(name),
                               tr("Sign in again in Settings, Mail Accounts."));
        }
    });
}

void CInboxWardenDlg::OnDatabaseError(const std::string& caption, const std::string& text) {
    QString title = FromStd(caption);
    QString shown = FromStd(text);
    OnGuiThread(this, [this, title, shown] { ShowMessage(QMessageBox::Critical, title, shown); });
}

void CInboxWardenDlg::OnCloseProgram() {
    OnGuiThread(this, [this] {
        m_exitConfirmed = true;
        done(QDialog::Accepted);
    });
}

bool CInboxWardenDlg::OnOpenWithDesktop(const std::string& target) {
    QUrl url = QUrl::fromUserInput(FromStd(target), QString(), QUrl::AssumeLocalFile);
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
        if (CSettings* settings = Settings()) {
            bool dontScanInFront = settings->GetBool("DontScanWhileInForeground", "General", false);
            m_engine->SetAutoScan(isActiveWindow() && dontScanInFront
                                      ? false
                                      : settings->GetBool("AutoScan", "General", false));
        }
    }
}

void CInboxWardenDlg::OnTimer() {
    if (m_engine) {
        m_engine->EndReadOnlyIfFriends();
    }
    // Three busy images, always in the same order.
    int frame = m_scanning ? g_animationStep.fetch_add(1) % 3 + 1 : 0;
    // The tray shows m_trayFrame already; setting the same icon again would
    // only make the tray host redraw it every tick while idle.
    if (frame != m_trayFrame) {
        m_trayFrame = frame;
        if (m_tray) {
            m_tray->setIcon(CIconPainter::TrayIcon(frame));
        }
    }
    if (!m_pendingWarning.isEmpty()) {
        QString text = m_pendingWarning;
        m_pendingWarning.clear();
        ShowMessage(QMessageBox::Warning, tr("Warning"), text);
    }
}
