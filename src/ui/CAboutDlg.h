#pragma once

#include <QDialog>
#include <functional>

// The program's name, version and build, with a way to look for a newer one.
class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    CAboutDlg(std::function<void(QWidget*)> checkForUpdates, QWidget* parent = nullptr);
    static QString VersionText();  // "InboxWarden %1.%2 Build %3"
};
