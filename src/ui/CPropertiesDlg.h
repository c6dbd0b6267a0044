#pragma once

#include <QDialog>
#include <string>
#include <vector>

class CEmailData;
class QPlainTextEdit;

// The read-only details of one history record and the raw text of its
// quarantine file.
class CPropertiesDlg : public QDialog {
    Q_OBJECT

public:
    // servIds: the authserv-ids the account's server writes (none known: empty).
    CPropertiesDlg(const CEmailData& record, QWidget* parent = nullptr,
                   const std::vector<std::string>& servIds = {});
    // What the account's own server found about the sender of the message
    // whose text (header first) is given: the trusted results, and whether
    // they verify the sender's domain.
    static std::string VerificationText(const std::string& messageText, const std::string& sender,
                                        const std::vector<std::string>& servIds);
    // The file's text for display, line ends as CRLF; a file above maxBytes
    // shows its beginning and a note saying so.
    static std::string RawText(const std::string& fileName, size_t maxBytes = kMaxRawBytes);
    static constexpr size_t kMaxRawBytes = 4 * 1024 * 1024;
    QString ShownRawText() const;

private:
    QPlainTextEdit* m_raw;
};
