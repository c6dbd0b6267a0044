// CInboxWardenEngine: challenges and the other mail the program sends.
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "engine/CInboxWardenEngine.h"
#include "engine/ProductInfo.h"
#include "mail/CMailContent.h"
#include "mail/CSMTP.h"
#include "support/CAppEnvironment.h"

std::string CInboxWardenEngine::InternalChallengeBody() {
    return std::string(
               "\r\nHi,\r\n    Your previous email to %0 has been wrongly assumed to be unwanted "
               "unsolicited email and has been quarantined. Your email is important to me. To fix "
               "that all you need to do now is reply to this email ") +
           "\"as is\"" +
           " by clicking on the Reply and Send buttons in your email program.  Your email will be "
           "delivered to me and you will be added to my list of friends so all future emails will "
           "go through without delay.\r\n\r\n    If you want to know what happened and learn more "
           "about InboxWarden, go to %1\r\n\r\nHave a great day!\r\n\r\nBy InboxWarden, %0's "
           "anti-spam filter";
}

std::string CInboxWardenEngine::MailFooter() {
    return "\n\n" + std::string(22, '-') +
           "\nTake back control of your inbox!  Get your copy of InboxWarden at:\n" +
           kProductStoreAddress + "\n";
}

bool CInboxWardenEngine::SendChallenge(CEmailData* email) {
    std::string fileName = email->m_account + "_Challenge.txt";
    CSettings& settings = Settings();
    std::string from = settings.GetString("emailAddress", email->m_account, "");
    std::string name = settings.GetString("Name", email->m_account, "");
    if (name.empty()) {
        // The settings dialog keeps the user's name in "General".
        name = settings.GetString("Name", "General", "");
    }
    StringList values{name, kProductWebAddress};
    std::string body;
    if (access(fileName.c_str(), F_OK) != 0) {
        IW_LOG_AT(MainLog(), "Can't find challenge file, using internal message");
        body = FillPlaceholders(InternalChallengeBody(), values);
    } else {
        IW_LOG_AT(MainLog(), "Using challenge file %s", fileName.c_str());
        std::ifstream file(fileName, std::ios::binary);
        if (file.is_open()) {
            std::ostringstream text;
            text << file.rdbuf();
            // Read as text: CRLF line ends become line feeds.
            std::string content = text.str();
            std::string lines;
            lines.reserve(content.size());
            for (size_t i = 0; i < content.size(); ++i) {
                if (!(content[i] == '\r' && i + 1 < content.size() && content[i + 1] == '\n')) {
                    lines += content[i];
                }
            }
            body = FillPlaceholders(lines, values);
        }
    }
    // The stranger's subject is cut before the tag, which must reach him.
    std::string subject =
        "RE: " + CMailContent::HeaderValue(email->m_subject, CMailContent::kMaxSubject) + " " +
        m_challengeKey.TagFor(email->m_sender);
    return SendEmail(email->m_account, from, email->m_sender, subject, body);
}

bool CInboxWardenEngine::SendEmail(const std::string& account, const std::string& from,
                                   const std::string& to, const std::string& subject,
                                   const std::string& body) {
    CLogFile& log = MainLog();
    IW_LOG_AT(log, "About to send \"%s\", from %s to %s. Account: %s", subject.c_str(),
              from.c_str(), to.c_str(), account.c_str());
    std::string toAddress = to;
    ExtractAddress(toAddress);
    std::string fromAddress = from;
    ExtractAddress(fromAddress);
    IW_LOG_AT(log, "About to send to [%s], real address: [%s]", to.c_str(), toAddress.c_str());
    if (!IsEmailAddress(toAddress)) {
        log.Write("Cannot proceed with SendEmail: Invalid email address: %s", toAddress.c_str());
        return false;
    }
    if (!m_smtp) {
        log.Write("Cannot proceed with SendEmail: no SMTP server for %s", account.c_str());
        return false;
    }
    CMailContent message;
    message.m_from = fromAddress;
    message.AddRecipient(toAddress, "");
    message.m_subject = subject;
    // Challenges, confirmations and ping replies are answers made by a
    // machine: other filters and responders must not answer them in turn.
    message.m_extraHeaderLines = "Auto-Submitted: auto-replied\r\n";
    message.m_body = body + MailFooter();
    ToCrLf(message.m_body);
    if (!m_smtp->Connect()) {
        IW_LOG_AT(log, "======> Error: m_pSmtp->Connect() to %s returned %s",
                  m_smtp->GetHost().c_str(), m_smtp->GetErrorText().c_str());
        return false;
    }
    IW_LOG_AT(log, "Connected to %s, Sending...", m_smtp->GetHost().c_str());
    if (!m_readOnly && !m_smtp->SendMessage(message)) {
        IW_LOG_AT(log, "======> Error: m_pSmtp->SendMessage() to %s returned %s",
                  m_smtp->GetHost().c_str(), m_smtp->GetErrorText().c_str());
        m_smtp->Disconnect();
        return false;
    }
    IW_LOG_AT(log, "SendMessage returned, disconnecting...");
    // The server took the message with its reply to the data; a failed QUIT
    // after that must not make the caller send it again.
    if (!m_smtp->Disconnect()) {
        IW_LOG_AT(log, "======> Error: m_pSmtp->Disconnect() to %s returned %s",
                  m_smtp->GetHost().c_str(), m_smtp->GetErrorText().c_str());
    }
    return true;
}

bool CInboxWardenEngine::SendRawEmail(const std::string& account, CMailContent& message) {
    CLogFile& log = MainLog();
    std::string address = Settings().GetString("emailAddress", account, "");
    IW_LOG_AT(log, "About to send \"%s\", from %s to %s.", message.m_subject.c_str(),
              message.m_from.c_str(), address.c_str());
    if (!m_smtp) {
        log.Write("Cannot proceed with SendRawEmail: no SMTP server for %s", account.c_str());
        return false;
    }
    if (!m_smtp->Connect()) {
        IW_LOG_AT(log, "======> Error: m_pSmtp->Connect() to %s returned %s",
                  m_smtp->GetHost().c_str(), m_smtp->GetErrorText().c_str());
        return false;
    }
    if (!m_readOnly && !m_smtp->SendMessage(message)) {
        IW_LOG_AT(log, "======> Error: m_pSmtp->SendMessage() to %s returned %s",
                  m_smtp->GetHost().c_str(), m_smtp->GetErrorText().c_str());
        m_smtp->Disconnect();
        return false;
    }
    // The server took the message with its reply to the data; a failed QUIT
    // after that must not make the caller send it again.
    if (!m_smtp->Disconnect()) {
        IW_LOG_AT(log, "======> Error: m_pSmtp->Disconnect() to %s returned %s",
                  m_smtp->GetHost().c_str(), m_smtp->GetErrorText().c_str());
    }
    return true;
}
