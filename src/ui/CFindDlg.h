#pragma once

#include <QDialog>

class QLineEdit;

// Asks for the words to look for in the list's senders and subjects.
class CFindDlg : public QDialog {
    Q_OBJECT

public:
    explicit CFindDlg(QWidget* parent = nullptr);
    QString Text() const;
    void SetText(const QString& text);

private:
    QLineEdit* m_text;
};
