#pragma once

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QString>
#include <QThread>
#include <QWidget>
#include <cstdlib>
#include <functional>
#include <string>

#include "support/CAppEnvironment.h"
#include "support/StringUtils.h"
#include "ui/CCheckMessageBox.h"
#include "ui/CSettingBinding.h"
#include "ui/UiText.h"

// Small pieces every settings page builds its controls from.

inline CSettings& PageSettings() {
    return CAppEnvironment::Instance()->GetSettings();
}

// A line edit, bound to the binding tables' row id unless id is 0.
inline QLineEdit* PageEdit(const char* name, int id, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    if (id != 0) {
        CSettingBinding::Bind(edit, id);
    }
    return edit;
}

// A line edit that hides what is typed, bound like PageEdit.
inline QLineEdit* PagePassword(const char* name, int id, QWidget* parent) {
    QLineEdit* edit = PageEdit(name, id, parent);
    edit->setEchoMode(QLineEdit::Password);
    return edit;
}

// A check box bound to the binding tables' row id.
inline QCheckBox* PageCheck(const QString& text, const char* name, int id, QWidget* parent) {
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(QString::fromLatin1(name));
    CSettingBinding::Bind(box, id);
    return box;
}

// A drop-down of items, its index bound to the binding tables' row id.
inline QComboBox* PageCombo(const char* name, int id, const QStringList& items, QWidget* parent) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(QString::fromLatin1(name));
    combo->addItems(items);
    CSettingBinding::Bind(combo, id);
    return combo;
}

// A push button that never becomes the dialog's default by taking the focus,
// so Enter keeps pressing OK.
inline QPushButton* PageButton(const QString& text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

// Runs job on a thread of its own while page's whole window waits with a busy
// cursor: nothing can close the window under the job, and the window still
// paints.
inline void RunWithWindowWaiting(QWidget* page, std::function<void()> job) {
    page->window()->setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QThread* worker = QThread::create(std::move(job));
    QEventLoop wait;
    QObject::connect(worker, &QThread::finished, &wait, &QEventLoop::quit);
    worker->start();
    wait.exec();
    worker->wait();
    delete worker;
    QApplication::restoreOverrideCursor();
    page->window()->setEnabled(true);
}

// The standard port of a mail protocol for a security setting, as
// CPOP3::StandardPort and CSMTP::StandardPort give it.
using StandardPortFn = unsigned (*)(int security);

// A server's port field: empty means the standard port of the security.
inline QLineEdit* PagePort(const char* name, QWidget* parent) {
    QLineEdit* port = PageEdit(name, 0, parent);
    port->setValidator(new QIntValidator(1, 65535, port));
    port->setMaximumWidth(80);
    port->setPlaceholderText(QStringLiteral("standard"));
    return port;
}

// The server name, then the port and the security on the same row.
inline QHBoxLayout* PageServerRow(QLineEdit* server, QLineEdit* port, QComboBox* security,
                                  QWidget* parent) {
    auto* row = new QHBoxLayout;
    row->addWidget(server, 1);
    auto* portLabel = new QLabel(QStringLiteral("P&ort:"), parent);
    portLabel->setBuddy(port);
    row->addWidget(portLabel);
    row->addWidget(port);
    row->addWidget(security);
    return row;
}

// The standard port shows as an empty field, so it follows the security; the
// caller has emptied the field.
inline void ShowPort(QLineEdit* port, const std::string& saved, int security,
                     StandardPortFn standard) {
    if (atoi(saved.c_str()) != static_cast<int>(standard(security))) {
        port->setText(FromStd(saved));
    }
}

// What the file gets: the field's port, else the standard one.
inline void SavePort(const char* key, const std::string& section, const QLineEdit* port,
                     int security, StandardPortFn standard) {
    int value = port->text().toInt();
    PageSettings().WriteInt(
        key, value > 0 && value <= 65535 ? value : static_cast<int>(standard(security)), section);
}

// The port a test connects to: the field's, else the standard one.
inline unsigned TestPort(const QLineEdit* port, int security, StandardPortFn standard) {
    unsigned value = static_cast<unsigned>(port->text().toInt());
    return value != 0 ? value : standard(security);
}

// kind: "POP3" or "SMTP".
inline void TellPasswordsDiffer(QWidget* page, const char* kind) {
    CheckMessageBox(page,
                    FromStd(FormatWith("The two %s passwords you entered are different.\nUntil "
                                       "they are corrected and match this account will be "
                                       "disabled.",
                                       kind)),
                    QStringLiteral("InboxWarden"), CCheckMessageBox::MB_ICONEXCLAMATION);
}

// The window-modal "testing" box of a server test; cancelling it calls
// onCancel of page. The caller shows it once the test has started.
template <class Page>
QProgressDialog* OpenTestProgress(Page* page, const QString& text, const QString& title,
                                  void (Page::*onCancel)()) {
    auto* busy = new QProgressDialog(text, QStringLiteral("Cancel"), 0, 0, page);
    busy->setObjectName(QStringLiteral("testProgress"));
    busy->setWindowTitle(title);
    busy->setWindowModality(Qt::WindowModal);
    busy->setMinimumDuration(0);
    QObject::connect(busy, &QProgressDialog::canceled, page, onCancel);
    return busy;
}

// Closes the test's box if it is open. After a finished test, pass the page as
// finishedFor: the box is cut from it first, so its closing cannot cancel.
inline void CloseTestProgress(QProgressDialog*& busy, QObject* finishedFor = nullptr) {
    if (busy == nullptr) {
        return;
    }
    if (finishedFor != nullptr) {
        busy->disconnect(finishedFor);
    }
    busy->deleteLater();
    busy = nullptr;
}

// A secure connection's failure (a certificate, say) names its reason.
inline QString SecureFailureReason(int security, const QString& error) {
    return security != 0 && !error.isEmpty() && error != QStringLiteral("OK")
               ? QStringLiteral("\n\n") + error
               : QString();
}

// A server test of an OAuth2 login that had no token to log in with.
inline void TellTokenFailed(QWidget* page, const QString& error, const QString& account) {
    CheckMessageBox(page,
                    QStringLiteral("InboxWarden has no OAuth2 sign-in to log in with for \"%1\":\n"
                                   "%2\n\nPress \"Sign in...\" on the Mail Accounts page for "
                                   "that account, then test again.")
                        .arg(account, error),
                    QStringLiteral("Error"), CCheckMessageBox::MB_ICONSTOP);
}
