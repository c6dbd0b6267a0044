#pragma once

#include <QLineEdit>
#include <QPushButton>
#include <QString>

#include "support/CAppEnvironment.h"
#include "ui/CSettingBinding.h"

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

// A push button that never becomes the dialog's default by taking the focus,
// so Enter keeps pressing OK.
inline QPushButton* PageButton(const QString& text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}
