#include "ui/CListsPage.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTabBar>
#include <QVBoxLayout>
#include <cstdio>
#include <memory>

#include "lists/CFilterLists.h"
#include "support/CAppEnvironment.h"
#include "support/SettingsTable.h"
#include "support/StringUtils.h"
#include "ui/CCheckMessageBox.h"
#include "ui/CImportContactsDlg.h"
#include "ui/CInputBox.h"
#include "ui/PageWidgets.h"
#include "ui/UiText.h"

namespace {

std::string ListName(int listId) {
    const FilterListInfo* info = CFilterLists::GetInfo(listId);
    return info ? info->name : "";
}

std::string FilterKey(int listId) {
    return kFilterForPrefix + ListName(listId);
}

std::string JustDeleteKey(int listId) {
    return kJustDeletePrefix + ListName(listId);
}

}  // namespace

CListsPage::CListsPage(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("listsPage"));
    m_tabs = new QTabBar(this);
    m_tabs->setObjectName(QStringLiteral("listTabs"));
    for (int id = 0; id < FL_Count; ++id) {
        m_tabs->addTab(FromStd(ListName(id)));
    }
    m_entries = new QListWidget(this);
    m_entries->setObjectName(QStringLiteral("entries"));
    m_entries->setSelectionMode(QAbstractItemView::SingleSelection);
    m_description = new QLabel(this);
    m_description->setObjectName(QStringLiteral("description"));
    m_description->setWordWrap(true);
    m_description->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_description->setFrameShape(QFrame::StyledPanel);
    m_description->setMargin(6);
    m_dontFilter = new QCheckBox(QStringLiteral("Do &not filter email based on this list"), this);
    m_dontFilter->setObjectName(QStringLiteral("dontFilter"));
    m_justDelete = new QCheckBox(QStringLiteral("&Just delete anything matching this list"), this);
    m_justDelete->setObjectName(QStringLiteral("justDelete"));
    m_new = PageButton(QStringLiteral("Ne&w..."), "newButton", this);
    m_edit = PageButton(QStringLiteral("&Edit..."), "editButton", this);
    m_delete = PageButton(QStringLiteral("&Delete"), "deleteButton", this);
    m_import = PageButton(QStringLiteral("&Import..."), "importButton", this);
    m_export = PageButton(QStringLiteral("E&xport"), "exportButton", this);
    m_blacklist = PageButton(QStringLiteral("&Blacklist"), "blacklistButton", this);
    m_delete->setShortcut(QKeySequence::Delete);

    auto* buttons = new QVBoxLayout;
    for (QPushButton* button : {m_new, m_edit, m_delete, m_import, m_export, m_blacklist}) {
        buttons->addWidget(button);
    }
    buttons->addStretch(1);

    auto* body = new QGridLayout;
    body->addWidget(m_entries, 0, 0);
    body->addLayout(buttons, 0, 1);
    body->addWidget(m_description, 1, 0, 1, 2);
    body->addWidget(m_dontFilter, 2, 0, 1, 2);
    body->addWidget(m_justDelete, 3, 0, 1, 2);
    body->setRowStretch(0, 1);
    body->setColumnStretch(0, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs);
    layout->addLayout(body, 1);

    setTabOrder(m_tabs, m_entries);
    setTabOrder(m_entries, m_new);
    setTabOrder(m_new, m_edit);
    setTabOrder(m_edit, m_delete);
    setTabOrder(m_delete, m_import);
    setTabOrder(m_import, m_export);
    setTabOrder(m_export, m_blacklist);
    setTabOrder(m_blacklist, m_dontFilter);
    setTabOrder(m_dontFilter, m_justDelete);

    connect(m_tabs, &QTabBar::currentChanged, this, &CListsPage::Redisplay);
    connect(m_new, &QPushButton::clicked, this, &CListsPage::OnNew);
    connect(m_edit, &QPushButton::clicked, this, &CListsPage::OnEdit);
    connect(m_delete, &QPushButton::clicked, this, &CListsPage::OnDelete);
    connect(m_import, &QPushButton::clicked, this, &CListsPage::OnImport);
    connect(m_export, &QPushButton::clicked, this, &CListsPage::OnExport);
    connect(m_blacklist, &QPushButton::clicked, this, &CListsPage::OnBlacklist);
    connect(m_entries, &QListWidget::itemDoubleClicked, this, &CListsPage::OnEdit);
    connect(m_dontFilter, &QCheckBox::clicked, this, &CListsPage::OnDontFilter);
    connect(m_justDelete, &QCheckBox::clicked, this, &CListsPage::OnJustDelete);
    Redisplay();
}

int CListsPage::CurrentList() const {
    return m_tabs->currentIndex();
}

void CListsPage::ShowList(int listId) {
    if (listId >= 0 && listId < FL_Count) {
        m_tabs->setCurrentIndex(listId);
    }
}

QString CListsPage::ExportFileName(int listId) {
    std::string folder = CAppEnvironment::Instance()->GetDataFolder();
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    return FromStd(StringPrintf("%s/Exported%s.lst", folder.c_str(), ListName(listId).c_str()));
}

void CListsPage::Redisplay() {
    int id = CurrentList();
    if (id < 0 || id >= FL_Count) {
        return;
    }
    int row = m_entries->currentRow();
    int top = m_entries->verticalScrollBar()->value();
    m_entries->clear();
    for (const CFilterList::Entry& entry : CFilterLists::Instance().GetEntries(id)) {
        m_entries->addItem(FromStd(entry.words));
    }
    if (row >= m_entries->count()) {
        row = m_entries->count() - 1;
    }
    if (row >= 0) {
        m_entries->setCurrentRow(row);
    }
    m_entries->verticalScrollBar()->setValue(top);

    bool filtered = PageSettings().GetBool(FilterKey(id), "General", true);
    m_dontFilter->setChecked(!filtered);
    m_description->setText(FromStd(CFilterLists::GetInfo(id)->description));
    m_blacklist->setVisible(id == FL_Friends);
    m_justDelete->setVisible(id == FL_AutoSenders);
    if (id == FL_AutoSenders) {
        m_justDelete->setChecked(PageSettings().GetBool(JustDeleteKey(id), "General", false));
    }
    for (QWidget* control :
         std::initializer_list<QWidget*>{m_new, m_delete, m_entries, m_import, m_blacklist}) {
        control->setEnabled(filtered);
    }
}

QString CListsPage::SelectedEntry() const {
    QListWidgetItem* item = m_entries->currentItem();
    return item != nullptr && item->isSelected() ? item->text() : QString();
}

void CListsPage::OnDontFilter(bool checked) {
    PageSettings().WriteBool(FilterKey(CurrentList()), !checked, "General");
    Redisplay();
}

void CListsPage::OnJustDelete(bool checked) {
    PageSettings().WriteBool(JustDeleteKey(FL_AutoSenders), checked, "General");
}

void CListsPage::OnNew() {
    QString text;
    if (!CInputBox::GetText(this, QStringLiteral("New list entry(ies) "),
                            QStringLiteral("You can enter one, or many items separated by commas:"),
                            text)) {
        return;
    }
    StringList pieces;
    SplitList(ToStd(text), pieces);
    for (const std::string& piece : pieces) {
        CFilterLists::Instance().AddWord(piece, CurrentList());
    }
    Redisplay();
}

void CListsPage::OnEdit() {
    QString old = SelectedEntry();
    if (old.isEmpty()) {
        return;
    }
    QString text = old;
    if (!CInputBox::GetText(this, QStringLiteral("Edit list entry"),
                            QStringLiteral("New text for this entry:"), text)) {
        return;
    }
    CFilterLists::Instance().ReplaceWord(CurrentList(), ToStd(old), ToStd(text));
    Redisplay();
}

void CListsPage::OnDelete() {
    QString entry = SelectedEntry();
    if (entry.isEmpty() || !m_delete->isEnabled()) {
        return;
    }
    int answer = PromptOnce(
        this, "DontAskForDeleteListEntry", "Prompts",
        FromStd(FormatWith("Are you sure you want to delete entry \"%s\"?", ToStd(entry))),
        QStringLiteral("Delete entry?"),
        CCheckMessageBox::MB_YESNO | CCheckMessageBox::MB_ICONQUESTION);
    if (answer != CCheckMessageBox::IDNO) {
        CFilterLists::Instance().DeleteWord(ToStd(entry), CurrentList());
    }
    Redisplay();
}

void CListsPage::OnImport() {
    CImportContactsDlg dialog(CurrentList(), this);
    if (dialog.exec() == QDialog::Accepted) {
        Redisplay();
    }
}

void CListsPage::OnExport() {
    int id = CurrentList();
    QString name = ExportFileName(id);
    std::string path = ToStd(name);
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "w"), fclose);
    if (!file) {
        CheckMessageBox(this, FromStd(FormatWith("Error creating file \"%s\"", path)),
                        QStringLiteral("Error"), CCheckMessageBox::MB_ICONSTOP);
        return;
    }
    bool written = true;
    for (const CFilterList::Entry& entry : CFilterLists::Instance().GetEntries(id)) {
        written = fprintf(file.get(), "%s\n", entry.words.c_str()) >= 0 && written;
    }
    // A full disk shows only at the close.
    if (fclose(file.release()) != 0 || !written) {
        CheckMessageBox(this, FromStd(FormatWith("Error creating file \"%s\"", path)),
                        QStringLiteral("Error"), CCheckMessageBox::MB_ICONSTOP);
        return;
    }
    CheckMessageBox(
        this,
        FromStd(FormatWith("A file named \"%s\"\nhas been created in the InboxWarden data folder.",
                           path)),
        QStringLiteral("Success"), CCheckMessageBox::MB_OK);
}

void CListsPage::OnBlacklist() {
    QString entry = SelectedEntry();
    if (entry.isEmpty() || CurrentList() != FL_Friends || !m_blacklist->isEnabled()) {
        return;
    }
    CFilterLists::Instance().AddWord(ToStd(entry), FL_Undesirables);
    CFilterLists::Instance().DeleteWord(ToStd(entry), FL_Friends);
    Redisplay();
}
