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
#include "support/StringUtils.h"
#include "ui/CHistoryModel.h"
#include "ui/UiText.h"

CPropertiesDlg::CPropertiesDlg(const CEmailData& record, QWidget* parent) : QDialog(parent) {
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
    layout->addLayout(form);

    m_raw = new QPlainTextEdit;
    m_raw->setObjectName(QStringLiteral("rawText"));
    m_raw->setReadOnly(true);
    m_raw->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_raw->setFont(QFont(QStringLiteral("Monospace")));
    std::string raw = record.m_emailFilename.empty()
                          ? std::string("eMail has not been saved locally")
                          : RawText(record.m_emailFilename);
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

QString CPropertiesDlg::ShownRawText() const {
    return m_raw->toPlainText();
}
