#include "ui/CAboutDlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/CIconPainter.h"
#include "ui/UiText.h"
#include "update/CUpdateCheck.h"

CAboutDlg::CAboutDlg(std::function<void(QWidget*)> checkForUpdates, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(tr("About InboxWarden"));
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    auto* icon = new QLabel;
    icon->setPixmap(CIconPainter::TrayIcon(0).pixmap(32, 32));
    top->addWidget(icon, 0, Qt::AlignTop);
    auto* text = new QLabel(VersionText() + QStringLiteral("\n\n") +
                            tr("Keeps unwanted mail out of your POP3 mailboxes: strangers are "
                               "asked to confirm before their mail reaches you."));
    text->setObjectName(QStringLiteral("aboutText"));
    text->setWordWrap(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    top->addWidget(text, 1);
    layout->addLayout(top);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    QPushButton* check = buttons->addButton(tr("&Check for updates"), QDialogButtonBox::ActionRole);
    check->setObjectName(QStringLiteral("checkForUpdatesButton"));
    connect(check, &QPushButton::clicked, this, [this, check, checkForUpdates] {
        if (checkForUpdates) {
            // The check runs event loops of its own: a second click there
            // would start a second check inside the first.
            check->setEnabled(false);
            QPointer<QPushButton> alive(check);
            checkForUpdates(this);
            if (alive) {
                alive->setEnabled(true);
            }
        } else {
            QMessageBox::information(this, tr("Check for updates"),
                                     tr("Checking for updates is not available in this build."));
        }
    });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
    setMinimumWidth(360);
}

QString CAboutDlg::VersionText() {
    return QStringLiteral("InboxWarden ") + FromStd(CUpdateCheck::LongVersion());
}
