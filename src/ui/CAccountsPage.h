#pragma once

#include <QString>
#include <QWidget>
#include <string>

#include "ui/CBrowserSignIn.h"
#include "ui/CCodeSignIn.h"
#include "ui/CServerTest.h"

class QCheckBox;
class QDialog;
class QLabel;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressDialog;
class QPushButton;

// Settings page "Mail Accounts": one POP3 account at a time, chosen in the
// drop-down, saved to its own section whenever another is shown; account
// management, the challenge text and the POP3 test.
class CAccountsPage : public QWidget {
    Q_OBJECT

public:
    // In wizard mode the account choice and the Filter box are fixed and a
    // new account is asked for when the page is first shown.
    CAccountsPage(bool wizard, QWidget* parent = nullptr);

    void Load();
    // Saves the shown account. False (after telling the user) when the two
    // passwords differ: the account is then saved with an empty password and
    // not filtered.
    bool SaveAccount();
    QString ShownAccount() const { return m_shown; }
    bool IsTesting() const { return m_test.IsRunning(); }

    // The challenge file of an account, by its relative name.
    static QString ChallengeFileName(const QString& account);
    // Whether senders of the account are verified, for the page's note: with
    // its set id, with a learned one, or not (its server writes no results).
    static QString VerificationNote(const std::string& account, const std::string& setId);

signals:
    // The buttons a wizard offers now: 1 Back alone, 3 Back and Next.
    void WizardButtons(int flags);

public slots:
    void OnNewAccount();
    void OnRemoveAccount();
    void OnEditChallenge();
    void OnDefaultChallenge();
    void OnTestPop3();
    void OnCancelTest();
    // Signs the shown OAuth2 account in through the system browser.
    void OnSignIn();
    // Signs the shown OAuth2 account in with a code entered on another device.
    void OnSignInWithCode();
    void OnCancelCodeSignIn();

private:
    void FillAccounts(const QString& select);
    void LoadAccount(const QString& account);
    void OnAccountChosen(int index);
    void OnPop3Done(bool connected, int count, const QString& error);
    void OnSignInDone(bool ok, const QString& text);
    // The sign-in method or the provider changed: which fields can be used,
    // and a provider's preset filled in.
    void OnAuthChosen();
    void OnProviderChosen();
    void ShowOAuthFields();
    // "Signed in as ADDRESS", "Sign-in expired" or "Not signed in" for an
    // OAuth2 account; hidden for a password one.
    void ShowSignIn(const std::string& section);

    bool m_wizard;
    QString m_shown;
    QComboBox* m_accounts = nullptr;
    QPushButton* m_new = nullptr;
    QPushButton* m_remove = nullptr;
    QCheckBox* m_filter = nullptr;
    QLineEdit* m_password = nullptr;
    QLineEdit* m_verify = nullptr;
    QLineEdit* m_port = nullptr;
    QLineEdit* m_servId = nullptr;
    QLabel* m_verification = nullptr;
    QComboBox* m_security = nullptr;
    QComboBox* m_auth = nullptr;
    QComboBox* m_provider = nullptr;
    QWidget* m_oauthGroup = nullptr;
    // Authorization, token and device addresses, then the scope.
    QLineEdit* m_endpoints[4] = {};
    QPushButton* m_testButton = nullptr;
    QPushButton* m_signInButton = nullptr;
    QLabel* m_signInStatus = nullptr;
    CBrowserSignIn m_signIn;
    QPushButton* m_codeButton = nullptr;
    // The address and the code, with Cancel, while a code sign-in runs.
    QDialog* m_codeBox = nullptr;
    QLabel* m_codeText = nullptr;
    CCodeSignIn m_codeSignIn;
    QProgressDialog* m_busy = nullptr;
    CServerTest m_test;
};
