#include "ui/CImportContactsDlg.h"

#include <QApplication>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <QVBoxLayout>

#include "lists/AddressBookImport.h"
#include "lists/CFilterLists.h"
#include "lists/ContactImport.h"
#include "ui/CCheckMessageBox.h"
#include "ui/UiText.h"

CImportContactsDlg::CImportContactsDlg(int listId, QWidget* parent)
    : QDialog(parent), m_listId(listId) {
    setObjectName(QStringLiteral("importContactsDlg"));
    setWindowTitle(QStringLiteral("Import contact list"));
    m_chooseFile = [](QWidget* owner) {
        return QFileDialog::getOpenFileName(
            owner, QStringLiteral("Find the file with the contacts you want to import"), QString(),
            QStringLiteral("Text files and address books (*.txt *.lst *.vcf *.VCF *.csv *.CSV);;"
                           "Text files (.txt,.lst) (*.txt *.lst);;"
                           "Address books (.vcf,.csv) (*.vcf *.VCF *.csv *.CSV)"));
    };

    auto* group = new QGroupBox(QStringLiteral("Import from (Please select one):"), this);
    m_fromFile = new QRadioButton(
        QStringLiteral("My own &text file (comma-separated or one address per line), or an "
                       "address book (vCard .vcf, CSV export)"),
        group);
    m_fromFile->setObjectName(QStringLiteral("fromTextFile"));
    m_fromMailProgram = new QRadioButton(QStringLiteral("My default &email application"), group);
    m_fromMailProgram->setObjectName(QStringLiteral("fromMailProgram"));
    auto* groupLayout = new QVBoxLayout(group);
    groupLayout->addWidget(m_fromFile);
    groupLayout->addWidget(m_fromMailProgram);

    m_proceed = new QPushButton(QStringLiteral("&Proceed"), this);
    m_proceed->setObjectName(QStringLiteral("proceedButton"));
    m_proceed->setDefault(true);
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("cancelButton"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_proceed);
    buttons->addWidget(m_cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addStretch(1);
    layout->addLayout(buttons);

    connect(m_fromFile, &QRadioButton::toggled, this, &CImportContactsDlg::UpdateButtons);
    connect(m_fromMailProgram, &QRadioButton::toggled, this, &CImportContactsDlg::UpdateButtons);
    connect(m_proceed, &QPushButton::clicked, this, &CImportContactsDlg::OnProceed);
    connect(m_cancel, &QPushButton::clicked, this, &CImportContactsDlg::reject);

    if (m_listId != FL_Friends) {
        m_fromMailProgram->setEnabled(false);
        m_fromFile->setChecked(true);
    }
    UpdateButtons();
}

CImportContactsDlg::~CImportContactsDlg() {
    if (m_worker != nullptr) {
        m_worker->wait();
        delete m_worker;
    }
}

void CImportContactsDlg::UpdateButtons() {
    bool chosen = m_fromFile->isChecked() || m_fromMailProgram->isChecked();
    m_proceed->setEnabled(chosen && m_worker == nullptr);
}

void CImportContactsDlg::reject() {
    // The adding cannot be half undone; let it end.
    if (m_worker == nullptr) {
        QDialog::reject();
    }
}

bool CImportContactsDlg::Collect(StringList& addresses) {
    if (m_fromMailProgram->isChecked()) {
        CheckMessageBox(this, QStringLiteral("Could not load the Address Converter component."),
                        QStringLiteral("Error"), CCheckMessageBox::MB_ICONSTOP);
        return true;
    }
    QString path = m_chooseFile(this);
    if (path.isEmpty()) {
        return true;
    }
    std::string file = ToStd(path);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (!IsAddressBookFile(file)) {
        ReadAddressFile(file, addresses);
        QApplication::restoreOverrideCursor();
        return true;
    }
    AddressBookResult book;
    bool read = ReadAddressBook(file, book);
    QApplication::restoreOverrideCursor();
    if (!read) {
        // Half a file would leave the user guessing which contacts came in.
        QString where =
            book.errorLine > 0 ? QString::asprintf(", line %zu", book.errorLine) : QString();
        CheckMessageBox(this,
                        QStringLiteral("Could not read %1%2: %3.\nNothing was added.")
                            .arg(path, where, QString::fromStdString(book.error)),
                        QStringLiteral("Import failed"), CCheckMessageBox::MB_ICONSTOP);
        return false;
    }
    m_skipped = book.skipped;
    addresses = std::move(book.addresses);
    return true;
}

void CImportContactsDlg::OnProceed() {
    if (m_worker != nullptr || !m_proceed->isEnabled()) {
        return;
    }
    StringList addresses;
    if (!Collect(addresses)) {
        return;
    }
    m_proceed->setEnabled(false);
    m_cancel->setEnabled(false);
    m_fromFile->setEnabled(false);
    m_fromMailProgram->setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    int listId = m_listId;
    m_worker = QThread::create([this, listId, addresses = std::move(addresses)]() {
        m_added = AddAddressesToList(CFilterLists::Instance(), listId, addresses);
    });
    connect(m_worker, &QThread::finished, this, &CImportContactsDlg::Finish, Qt::QueuedConnection);
    m_worker->start();
}

void CImportContactsDlg::Finish() {
    m_worker->wait();
    delete m_worker;
    m_worker = nullptr;
    QApplication::restoreOverrideCursor();
    QString text = QString::asprintf(
        "%d new contacts email addresses were added to your Friends list", m_added);
    if (m_skipped > 0) {
        text +=
            QString::asprintf("\n%d contacts without an email address were skipped.", m_skipped);
    }
    CheckMessageBox(this, text, QStringLiteral("Import successful"),
                    CCheckMessageBox::MB_ICONINFORMATION);
    accept();
}
