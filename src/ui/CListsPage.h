#pragma once

#include <QString>
#include <QWidget>

class QCheckBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTabBar;

// The five filter lists, one tab each: the entries, what the list is for,
// and the buttons that change it. Every change goes to the list store (and
// so to a running scan) at once; the two switches go to the settings file at
// once.
class CListsPage : public QWidget {
    Q_OBJECT

public:
    explicit CListsPage(QWidget* parent = nullptr);

    int CurrentList() const;
    void ShowList(int listId);
    // The export file of a list: "<data folder>/Exported<display name>.lst".
    static QString ExportFileName(int listId);

public slots:
    void OnNew();
    void OnEdit();
    void OnDelete();
    void OnImport();
    void OnExport();
    void OnBlacklist();
    void OnDontFilter(bool checked);
    void OnJustDelete(bool checked);
    // Reads the shown list and its switches afresh.
    void Redisplay();

private:
    QString SelectedEntry() const;

    QTabBar* m_tabs = nullptr;
    QListWidget* m_entries = nullptr;
    QLabel* m_description = nullptr;
    QCheckBox* m_dontFilter = nullptr;
    QCheckBox* m_justDelete = nullptr;
    QPushButton* m_new = nullptr;
    QPushButton* m_edit = nullptr;
    QPushButton* m_delete = nullptr;
    QPushButton* m_import = nullptr;
    QPushButton* m_export = nullptr;
    QPushButton* m_blacklist = nullptr;
};
