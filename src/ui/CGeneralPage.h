#pragma once

#include <QWidget>

class CInboxWardenEngine;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// Settings page "General": scanning, history age, logging, challenges and
// the autostart entry, the manual history cleanup, and where the passwords
// are kept (with a move between keyring and settings file).
class CGeneralPage : public QWidget {
    Q_OBJECT

public:
    CGeneralPage(CInboxWardenEngine* engine, QWidget* parent = nullptr);

    void Load();
    void Save();

public slots:
    void OnCleanupHistory();
    void OnMovePasswords();

private:
    void UpdateInterval();
    void ShowPasswordStore();

    CInboxWardenEngine* m_engine;
    QCheckBox* m_autoScan = nullptr;
    QLineEdit* m_interval = nullptr;
    QRadioButton* m_minutes = nullptr;
    QRadioButton* m_seconds = nullptr;
    QCheckBox* m_startWithWindows = nullptr;
    QLabel* m_passwordStore = nullptr;
    QPushButton* m_movePasswords = nullptr;
};
