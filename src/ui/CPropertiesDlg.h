#pragma once

#include <QDialog>
#include <string>

class CEmailData;
class QPlainTextEdit;

// The read-only details of one history record and the raw text of its
// quarantine file.
class CPropertiesDlg : public QDialog {
    Q_OBJECT

public:
    CPropertiesDlg(const CEmailData& record, QWidget* parent = nullptr);
    // The file's text for display, line ends as CRLF; a file above maxBytes
    // shows its beginning and a note saying so.
    static std::string RawText(const std::string& fileName, size_t maxBytes = kMaxRawBytes);
    static constexpr size_t kMaxRawBytes = 4 * 1024 * 1024;
    QString ShownRawText() const;

private:
    QPlainTextEdit* m_raw;
};
