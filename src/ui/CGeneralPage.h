#pragma once

#include <QWidget>

class CInboxWardenEngine;
class QCheckBox;
class QLineEdit;
class QRadioButton;

// Settings page "General": scanning, history age, logging, challenges and
// the autostart entry, and the manual history cleanup.
class CGeneralPage : public QWidget {
    Q_OBJECT

public:
    CGeneralPage(CInboxWardenEngine* engine, QWidget* parent = nullptr);

    void Load();
    void Save();

public slots:
    void OnCleanupHistory();

private:
    void UpdateInterval();

    CInboxWardenEngine* m_engine;
    QCheckBox* m_autoScan = nullptr;
    QLineEdit* m_interval = nullptr;
    QRadioButton* m_minutes = nullptr;
    QRadioButton* m_seconds = nullptr;
    QCheckBox* m_startWithWindows = nullptr;
};
