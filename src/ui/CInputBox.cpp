#include "ui/CInputBox.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

CInputBox::CInputBox(QWidget* parent, const QString& title, const QString& prompt,
                     const QString& text)
    : QDialog(parent) {
    setObjectName(QStringLiteral("inputBox"));
    setWindowTitle(title);
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(prompt, this);
    label->setObjectName(QStringLiteral("prompt"));
    label->setWordWrap(true);
    m_edit = new QLineEdit(text, this);
    m_edit->setObjectName(QStringLiteral("text"));
    m_edit->setMaxLength(32767);
    label->setBuddy(m_edit);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(label);
    layout->addWidget(m_edit);
    layout->addStretch(1);
    layout->addWidget(buttons);
    setMinimumWidth(380);
    m_edit->selectAll();
    m_edit->setFocus();
}

QString CInputBox::Text() const {
    return m_edit->text();
}

bool CInputBox::GetText(QWidget* parent, const QString& title, const QString& prompt,
                        QString& text) {
    CInputBox box(parent, title, prompt, text);
    if (box.exec() != QDialog::Accepted) {
        return false;
    }
    text = box.Text();
    return true;
}
