#include "ui/CCheckMessageBox.h"

#include <QAbstractButton>
#include <QCheckBox>

#include "support/CAppEnvironment.h"

namespace {

struct ButtonDef {
    QMessageBox::StandardButton button;
    int code;
};

}  // namespace

CCheckMessageBox::CCheckMessageBox(QWidget* parent, const QString& text, const QString& caption,
                                   unsigned style, const QString& checkText)
    : QMessageBox(parent) {
    setObjectName(QStringLiteral("checkMessageBox"));
    setWindowTitle(caption.isEmpty() ? QStringLiteral("Message") : caption);
    setText(text);
    switch (style & 0x0F) {
        case MB_OKCANCEL:
            setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            setDefaultButton(QMessageBox::Ok);
            break;
        case MB_YESNOCANCEL:
            setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            setDefaultButton(QMessageBox::Yes);
            break;
        case MB_YESNO:
            setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            setDefaultButton(QMessageBox::Yes);
            setEscapeButton(QMessageBox::No);
            break;
        default:
            setStandardButtons(QMessageBox::Ok);
            break;
    }
    switch (style & 0xF0) {
        case MB_ICONSTOP:
            setIcon(QMessageBox::Critical);
            break;
        case MB_ICONQUESTION:
            setIcon(QMessageBox::Question);
            break;
        case MB_ICONEXCLAMATION:
            setIcon(QMessageBox::Warning);
            break;
        case MB_ICONINFORMATION:
            setIcon(QMessageBox::Information);
            break;
        default:
            setIcon(QMessageBox::NoIcon);
            break;
    }
    if (!checkText.isEmpty()) {
        auto* box = new QCheckBox(checkText, this);
        box->setObjectName(QStringLiteral("dontAskAgain"));
        setCheckBox(box);
    }
}

int CCheckMessageBox::Run() {
    static const ButtonDef kCodes[] = {
        {QMessageBox::Ok, IDOK},
        {QMessageBox::Cancel, IDCANCEL},
        {QMessageBox::Yes, IDYES},
        {QMessageBox::No, IDNO},
    };
    exec();
    QMessageBox::StandardButton pressed = standardButton(clickedButton());
    for (const ButtonDef& def : kCodes) {
        if (def.button == pressed) {
            return def.code;
        }
    }
    // Closed through the title bar: the escape answer of the layout.
    return (standardButtons() & QMessageBox::Cancel) ? IDCANCEL
           : (standardButtons() & QMessageBox::No)   ? IDNO
                                                     : IDOK;
}

bool CCheckMessageBox::IsChecked() const {
    return checkBox() != nullptr && checkBox()->isChecked();
}

int CheckMessageBox(QWidget* parent, const QString& text, const QString& caption, unsigned style,
                    const QString& checkText, bool* checked) {
    CCheckMessageBox box(parent, text, caption, style, checkText);
    int code = box.Run();
    if (!checkText.isEmpty() && checked != nullptr) {
        *checked = box.IsChecked();
    }
    return code;
}

int PromptOnce(QWidget* parent, const char* key, const char* section, const QString& text,
               const QString& caption, unsigned style) {
    CSettings& settings = CAppEnvironment::Instance()->GetSettings();
    if (settings.GetBool(key, section, false)) {
        return CCheckMessageBox::IDYES;
    }
    bool silence = false;
    int code = CheckMessageBox(parent, text, caption, style,
                               QStringLiteral("Do not display this prompt again"), &silence);
    if (silence) {
        settings.WriteBool(key, true, section);
    }
    return code;
}
