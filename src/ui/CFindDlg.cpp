#include "ui/CFindDlg.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

CFindDlg::CFindDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("findDialog"));
    setWindowTitle(tr("Find emails"));
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(tr("Select emails containing these words in the Sender or Subject:"));
    m_text = new QLineEdit;
    m_text->setObjectName(QStringLiteral("findText"));
    m_text->setMaxLength(1000);
    label->setBuddy(m_text);
    layout->addWidget(label);
    layout->addWidget(m_text);
    auto* buttons = new QDialogButtonBox;
    QPushButton* find = buttons->addButton(tr("&Find"), QDialogButtonBox::AcceptRole);
    find->setObjectName(QStringLiteral("findButton"));
    find->setDefault(true);
    buttons->addButton(QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

QString CFindDlg::Text() const {
    return m_text->text();
}

void CFindDlg::SetText(const QString& text) {
    m_text->setText(text);
}
