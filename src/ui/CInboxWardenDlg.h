#pragma once

#include <QDialog>

class QLabel;

// The main window. It runs as the program's one modal dialog; the program
// ends when it closes.
class CInboxWardenDlg : public QDialog {
    Q_OBJECT

public:
    explicit CInboxWardenDlg(QWidget* parent = nullptr);

    // The two status lines under the history list.
    void SetStatusText(int line, const QString& text);
    QString StatusText(int line) const;

private:
    QLabel* m_status[2];
};
