#pragma once

#include <QDialog>
#include <QString>
#include <functional>

#include "support/StringUtils.h"

class QPushButton;
class QRadioButton;
class QThread;

// "Import contact list": collects addresses from a text file or an address
// book (vCard, CSV) (or, where an address-book converter exists, the mail
// program's contacts) and adds them to one filter list. The adding runs on a thread of its own,
// since every new entry is written to the database.
class CImportContactsDlg : public QDialog {
    Q_OBJECT

public:
    CImportContactsDlg(int listId, QWidget* parent = nullptr);
    ~CImportContactsDlg() override;

    // Replaces the file-open box (tests); answers the path or an empty text.
    void SetFileChooser(std::function<QString(QWidget*)> chooser) {
        m_chooseFile = std::move(chooser);
    }
    // The number of entries the list gained, once the import ended.
    int AddedCount() const { return m_added; }
    bool IsBusy() const { return m_worker != nullptr; }

public slots:
    void OnProceed();
    void reject() override;

private:
    void UpdateButtons();
    // False when an address book could not be read (the user was told).
    bool Collect(StringList& addresses);
    void Finish();

    int m_listId;
    int m_added = 0;
    int m_skipped = 0;
    std::function<QString(QWidget*)> m_chooseFile;
    QRadioButton* m_fromFile = nullptr;
    QRadioButton* m_fromMailProgram = nullptr;
    QPushButton* m_proceed = nullptr;
    QPushButton* m_cancel = nullptr;
    QThread* m_worker = nullptr;
};
