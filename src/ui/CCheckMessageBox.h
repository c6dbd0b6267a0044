#pragma once

#include <QMessageBox>
#include <QString>

// A question box with an optional "do not ask again" check box. The style
// word works as a standard message-box style: its low four bits choose the
// buttons (0 OK, 1 OK/Cancel, 3 Yes/No/Cancel, 4 Yes/No), bits 4..7 the icon
// (16 stop, 32 question, 48 exclamation, 64 information); the answer is a
// standard button code.
class CCheckMessageBox : public QMessageBox {
    Q_OBJECT

public:
    enum Code { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };
    enum Style : unsigned {
        MB_OK = 0,
        MB_OKCANCEL = 1,
        MB_YESNOCANCEL = 3,
        MB_YESNO = 4,
        MB_ICONSTOP = 16,
        MB_ICONQUESTION = 32,
        MB_ICONEXCLAMATION = 48,
        MB_ICONINFORMATION = 64,
    };

    CCheckMessageBox(QWidget* parent, const QString& text, const QString& caption, unsigned style,
                     const QString& checkText);

    // Runs the box; the answer's code.
    int Run();
    bool IsChecked() const;
};

// Shows the box; when checkText is not empty, *checked receives the check
// box's state at the press of a button.
int CheckMessageBox(QWidget* parent, const QString& text, const QString& caption, unsigned style,
                    const QString& checkText = QString(), bool* checked = nullptr);

// A question the user may silence: once the key in the section reads Yes it
// answers Yes without showing anything; ticking the check box stores Yes.
int PromptOnce(QWidget* parent, const char* key, const char* section, const QString& text,
               const QString& caption, unsigned style);
