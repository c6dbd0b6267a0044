#include "ui/CInboxWardenDlg.h"

#include <QLabel>
#include <QVBoxLayout>

CInboxWardenDlg::CInboxWardenDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("InboxWarden"));
    setObjectName(QStringLiteral("mainWindow"));
    auto* layout = new QVBoxLayout(this);
    for (int i = 0; i < 2; ++i) {
        m_status[i] = new QLabel(this);
        m_status[i]->setObjectName(QStringLiteral("statusLine%1").arg(i + 1));
        layout->addWidget(m_status[i]);
    }
    resize(640, 400);
}

void CInboxWardenDlg::SetStatusText(int line, const QString& text) {
    if (line >= 1 && line <= 2) {
        m_status[line - 1]->setText(text);
    }
}

QString CInboxWardenDlg::StatusText(int line) const {
    return (line >= 1 && line <= 2) ? m_status[line - 1]->text() : QString();
}
