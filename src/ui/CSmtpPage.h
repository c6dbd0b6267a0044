#pragma once

#include <QWidget>

#include "ui/CServerTest.h"

class QComboBox;
class QLineEdit;
class QProgressDialog;
class QPushButton;

// Settings page "SMTP Server": the outgoing server, its login for SMTP
// authentication, the user's name, and the SMTP test.
class CSmtpPage : public QWidget {
    Q_OBJECT

public:
    explicit CSmtpPage(QWidget* parent = nullptr);

    void Load();
    // False (after telling the user, with the password emptied) when the two
    // passwords differ; the page may then not be left.
    bool Save();
    bool IsTesting() const { return m_test.IsRunning(); }

public slots:
    void OnTestSmtp();
    void OnCancelTest();

protected:
    // Accounts may have been added or removed on the accounts page.
    void showEvent(QShowEvent* event) override;

private:
    void OnSmtpDone(int stage, const QString& error);
    // Fills the OAuth2 account drop-down, keeping select chosen.
    void FillOAuthAccounts(const QString& select);
    void ShowAuthFields();

    QLineEdit* m_server = nullptr;
    QLineEdit* m_port = nullptr;
    QComboBox* m_security = nullptr;
    QComboBox* m_auth = nullptr;
    QComboBox* m_oauthAccount = nullptr;
    QLineEdit* m_password = nullptr;
    QLineEdit* m_verify = nullptr;
    QPushButton* m_testButton = nullptr;
    QProgressDialog* m_busy = nullptr;
    CServerTest m_test;
};
