#include "ui/CPropertiesDlg.h"

#include <sys/stat.h>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <fstream>

#include "history/CEmailData.h"
#include "mail/CAuthResults.h"
#include "support/StringUtils.h"
#include "ui/CHistoryModel.h"
#include "ui/UiText.h"

CPropertiesDlg::CPropertiesDlg(const CEmailData& record, QWidget* parent,
                               const std::vector<std::string>& servIds)
    : QDialog(parent) {
    setObjectName(QStringLiteral("propertiesDialog"));
    setWindowTitle(tr("Properties"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    auto field = [form](const QString& label, const QString& name, const QString& value) {
        auto* edit = new QLineEdit(value);
        edit->setObjectName(name);
        edit->setReadOnly(true);
        edit->setCursorPosition(0);
        form->addRow(label, edit);
    };
    field(tr("eMail account:"), QStringLiteral("accountField"), FromStd(record.m_account));
    field(tr("Sender:"), QStringLiteral("senderField"), FromStd(record.m_sender));
    field(tr("Subject:"), QStringLiteral("subjectField"), FromStd(record.m_subject));
    field(tr("Time rec'vd by server:"), QStringLiteral("receivedField"),
          CHistoryModel::ReceivedText(record));
    field(tr("Status:"), QStringLiteral("statusField"), FromStd(record.GetStatusText()));
    field(tr("Reason for status:"), QStringLiteral("reasonField"), FromStd(record.m_reasonDetails));
    field(tr("Quarantine file name:"), QStringLiteral("fileNameField"),
          FromStd(record.m_emailFilename));
    const bool saved = !record.m_emailFilename.empty();
    std::string raw =
        saved ? RawText(record.m_emailFilename) : std::string("eMail has not been saved locally");
    field(tr("Sender verification:"), QStringLiteral("verificationField"),
          FromStd(saved ? VerificationText(raw, record.m_sender, servIds)
                        : std::string("Unknown (not saved locally)")));
    layout->addLayout(form);

    m_raw = new QPlainTextEdit;
    m_raw->setObjectName(QStringLiteral("rawText"));
    m_raw->setReadOnly(true);
    m_raw->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_raw->setFont(QFont(QStringLiteral("Monospace")));
    // The editor keeps a CR as a character of its own; the line breaks are the LFs.
    QString shown = FromStd(raw);
    shown.remove(QLatin1Char('\r'));
    m_raw->setPlainText(shown);
    form->addRow(tr("Raw text:"), m_raw);

    auto* buttons = new QDialogButtonBox;
    QPushButton* done = buttons->addButton(tr("&Done"), QDialogButtonBox::AcceptRole);
    done->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(640, 520);
}

std::string CPropertiesDlg::RawText(const std::string& fileName, size_t maxBytes) {
    struct stat info {};
    if (stat(fileName.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return "File not found";
    }
    std::ifstream in(fileName, std::ios::binary);
    if (!in) {
        return "File not found";
    }
    std::string text(maxBytes, '\0');
    in.read(text.data(), static_cast<std::streamsize>(maxBytes));
    text.resize(static_cast<size_t>(in.gcount()));
    bool cut = in.peek() != std::char_traits<char>::eof();
    // A stray NUL would end the text early in the editor.
    for (char& c : text) {
        if (c == '\0') {
            c = ' ';
        }
    }
    ToCrLf(text);
    if (cut) {
        text += StringPrintf("\r\n\r\n[... only the first %zu bytes are shown]", maxBytes);
    }
    return text;
}

std::string CPropertiesDlg::VerificationText(const std::string& messageText,
                                             const std::string& sender,
                                             const std::vector<std::string>& servIds) {
    if (servIds.empty()) {
        return "Not available (the account's server writes no Authentication-Results)";
    }
    bool found = false;
    auto results = CAuthResults::Trusted(messageText, servIds, &found);
    if (!found) {
        return "No results from the account's server";
    }
    std::string address = LowerBareAddress(sender);
    bool verified = CAuthResults::Verifies(results, address.substr(address.rfind('@') + 1));
    std::string text = verified ? "Verified: " : "Not verified: ";
    if (results.empty()) {
        text += "none";
    }
    for (size_t i = 0; i < results.size(); ++i) {
        const auto& r = results[i];
        text += (i ? "; " : "") + r.method + "=" + r.result;
        for (const auto& p : r.properties) {
            if (p.ptype == "header" || p.ptype == "smtp") {
                text += " " + p.ptype + "." + p.property + "=" + p.value;
            }
        }
    }
    return text;
}

QString CPropertiesDlg::ShownRawText() const {
    return m_raw->toPlainText();
}
