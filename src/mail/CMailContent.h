#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

// Ordered (address, name) pairs.
using CRecipientList = std::vector<std::pair<std::string, std::string>>;

// One mail message as text: filled from a fetched message, or built for
// sending. The engine copies it field by field.
class CMailContent {
public:
    CMailContent() = default;
    virtual ~CMailContent() = default;
    CMailContent(const CMailContent&) = default;
    CMailContent& operator=(const CMailContent&) = default;

    bool AddRecipient(const std::string& address, const std::string& name);
    // False when index is outside 0..count-1; the outputs are then untouched.
    bool GetRecipient(int index, std::string& address, std::string& name) const;
    int GetRecipientCount() const;
    // Splits a To or Cc value at ";" into (address, name) pairs and appends
    // them. False on a "<" without a ">" after it; pairs added before stay.
    bool AddRecipients(const std::string& text);

    // Fills from, recipients, date text, subject and MIME lines from m_header.
    bool ParseHeader();
    // Builds m_header for sending; false without recipients. Control
    // characters in the values become blanks and long fields are folded.
    bool FormatHeader();
    // text fit for one header value: every control character (CR and LF
    // above all) a blank, cut to at most maxLength bytes, never inside a
    // UTF-8 character or an encoded word.
    static std::string HeaderValue(const std::string& text, size_t maxLength);
    // The time a Date value ("Tue, 8 Dec 2026 13:41:15 +0100", the day name
    // and the seconds optional; zones as numbers, or UT, UTC or GMT) names;
    // false when it cannot be read.
    static bool ParseDate(const std::string& text, time_t& when);
    // How much of another message's subject goes into a subject we send.
    static constexpr size_t kMaxSubject = 200;

    // What the header says about who sent the message: a person, a mailing
    // list (List-Id, List-Unsubscribe or List-Post, Precedence bulk or list)
    // or a machine (Auto-Submitted other than "no", Precedence junk).
    enum MailKind { MK_Personal = 0, MK_List = 1, MK_Automatic = 2 };
    MailKind GetMailKind() const;

    // Dot transparency of the data phase: every line of the body that begins
    // with "." gets a second one, and the inverse.
    void StuffDots();
    void UnstuffDots();
    static void StuffDots(std::string& text);
    static void UnstuffDots(std::string& text);

    std::string m_from;
    std::string m_subject;
    std::string m_header;
    time_t m_composedAt = 0;
    std::string m_dateText;
    // The Message-ID value, as it stands.
    std::string m_messageId;
    std::string m_body;
    std::string m_mimeLines;
    int64_t m_contentHash = 0;
    int32_t m_bodyHash = 0;
    int32_t m_size = 0;
    CRecipientList m_recipients;
    // Who the message is delivered to (RCPT TO), when that differs from the
    // header's recipients: a restored message goes back to the user alone.
    // Empty means the header recipients.
    CRecipientList m_envelopeRecipients;
    // Header lines of an outgoing message after its Subject line, each
    // ending in "\r\n".
    std::string m_extraHeaderLines;
};

// Additive hashes over signed characters, in groups of 4 (8) characters
// each shifted by 8 bits per position; sums wrap.
int32_t HashText32(const std::string& text);
int64_t HashText64(const std::string& text);
