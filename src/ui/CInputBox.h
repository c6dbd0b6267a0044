#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;

// A small dialog with a title, a prompt, one line of text and OK/Cancel.
class CInputBox : public QDialog {
    Q_OBJECT

public:
    CInputBox(QWidget* parent, const QString& title, const QString& prompt,
              const QString& text = QString());

    QString Text() const;

    // True and the text on OK.
    static bool GetText(QWidget* parent, const QString& title, const QString& prompt,
                        QString& text);

private:
    QLineEdit* m_edit = nullptr;
};
