#include "ui/CSettingBinding.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QValidator>
#include <QVariant>
#include <QWidget>
#include <cstdlib>

#include "secrets/CPasswordAccess.h"
#include "support/CAppEnvironment.h"
#include "support/CSettings.h"
#include "ui/UiText.h"

namespace {

constexpr const char* kBindingProperty = "iwBinding";
// Set on a password field whose password could not be read: saving it empty
// must not remove the password the keyring still holds.
constexpr const char* kUnreadProperty = "iwPasswordUnread";

void LogSettings(const char* format, const std::string& key, const std::string& why) {
    if (CAppEnvironment* env = CAppEnvironment::Instance()) {
        env->GetMainLog().Write(format, key.c_str(), why.c_str());
    }
}

// A password field goes through the one place that knows where passwords are.
void TransferPassword(CSettings& settings, const CPasswordAccess::Slot& slot,
                      const char* defaultText, QLineEdit* edit,
                      CSettingBinding::Direction direction) {
    CPasswordAccess passwords(settings);
    std::string why;
    if (direction == CSettingBinding::Load) {
        std::optional<std::string> password = passwords.Read(slot, defaultText, &why);
        edit->setProperty(kUnreadProperty, !password.has_value());
        edit->setText(FromStd(password.value_or("")));
        if (!password) {
            edit->setPlaceholderText(QStringLiteral("(in the keyring, which cannot be opened)"));
            LogSettings("Settings: %s cannot be read: %s", slot.iniKey, why);
        }
        return;
    }
    if (edit->property(kUnreadProperty).toBool() && edit->text().isEmpty()) {
        return;
    }
    if (!passwords.Write(slot, ToStd(edit->text()), &why)) {
        LogSettings("Settings: %s cannot be saved: %s", slot.iniKey, why);
    } else if (!why.empty()) {
        LogSettings("Settings: %s kept in the settings file: %s", slot.iniKey, why);
    }
}

// A number field left empty or out of its range keeps the stored value: an
// empty or 0 interval reads as "never set up", and empty days as 0 days,
// which would delete the whole history at the next cleanup.
bool Acceptable(QLineEdit* edit) {
    const QValidator* validator = edit->validator();
    if (validator == nullptr) {
        return true;
    }
    QString text = edit->text();
    int position = 0;
    return validator->validate(text, position) == QValidator::Acceptable;
}

}  // namespace

void CSettingBinding::Bind(QWidget* control, int controlId) {
    control->setProperty(kBindingProperty, controlId);
}

QWidget* CSettingBinding::FindControl(QWidget* page, int controlId) {
    for (QWidget* child : page->findChildren<QWidget*>()) {
        QVariant id = child->property(kBindingProperty);
        if (id.isValid() && id.toInt() == controlId) {
            return child;
        }
    }
    return nullptr;
}

void CSettingBinding::TransferSettings(CSettings& settings, const SettingBinding* table,
                                       QWidget* page, Direction direction,
                                       const std::string& account) {
    for (const SettingBinding* row = table; row->controlId != 0; ++row) {
        QWidget* control = FindControl(page, row->controlId);
        if (control == nullptr) {
            continue;
        }
        std::string section =
            (row->section == nullptr || *row->section == '\0') ? account : row->section;
        if (section.empty()) {
            continue;
        }
        std::optional<CPasswordAccess::Slot> password = CPasswordAccess::SlotOf(row->key, section);
        auto* edit = qobject_cast<QLineEdit*>(control);
        if (edit && password) {
            TransferPassword(settings, *password, row->defaultText, edit, direction);
        } else if (edit) {
            if (direction == Load) {
                std::string value = settings.GetString(row->key, section, row->defaultText);
                // An empty number reads as absent, so it shows as absent too.
                if (value.empty() && edit->validator() != nullptr) {
                    value = row->defaultText;
                }
                edit->setText(FromStd(value));
            } else if (Acceptable(edit)) {
                settings.WriteString(row->key, ToStd(edit->text()), section);
            }
        } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
            if (direction == Load) {
                bool fallback = std::string(row->defaultText) == "Yes";
                button->setChecked(settings.GetBool(row->key, section, fallback));
            } else {
                settings.WriteBool(row->key, button->isChecked(), section);
            }
        } else if (auto* combo = qobject_cast<QComboBox*>(control)) {
            if (direction == Load) {
                int index = settings.GetInt(row->key, section, atoi(row->defaultText));
                combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : 0);
            } else {
                settings.WriteInt(row->key, combo->currentIndex(), section);
            }
        }
    }
}
