#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

enum EmailStatus : uint32_t {
    ES_Unknown = 0,
    ES_OnServer = 1,
    ES_Quarantined = 2,
    ES_Deleted = 4,
    ES_Delivered = 8,
};

// One entry of the view table: a record belongs to a view when its status
// shares a bit with the mask.
struct EmailView {
    const char* text;
    uint32_t mask;
};
constexpr EmailView kEmailViews[] = {
    {"On Server", 1},
    {"Quarantined", 2},
    {"Deleted", 4},
    {"All", 65535},
};
constexpr int kEmailViewCount = 4;

// Label field selectors for GetLabel.
enum EmailLabelField : unsigned {
    EL_Account = 1,
    EL_Sender = 2,
    EL_Subject = 4,
    EL_All = 7,
};

// The record kept for every fetched message.
class CEmailData {
public:
    CEmailData(std::string account, uint32_t receivedTime, std::string sender, std::string subject,
               uint32_t bodyChecksum, std::string text, std::string headerTimestamp, uint32_t size,
               uint32_t status, uint32_t reason, std::string reasonDetails,
               std::string emailFilename, int32_t serverId);

    void MarkDirty() { m_dirty = true; }
    std::string GetStatusText() const;
    static std::string StatusText(uint32_t status);
    std::string GetDisplayTime() const;
    // Equal when both are the same message: fields compare in the form the
    // database keeps them (cut to their column sizes), so a record loaded
    // after a restart still equals the message fetched from the server.
    bool IsSameEmail(const CEmailData& other) const;
    // A field as the database keeps it.
    static std::string_view StoredForm(const std::string& text, size_t limit) {
        return std::string_view(text).substr(0, limit);
    }
    std::string_view StoredAccount() const { return StoredForm(m_account, kAccountLimit); }
    std::string_view StoredSender() const { return StoredForm(m_sender, kSenderLimit); }
    std::string_view StoredSubject() const { return StoredForm(m_subject, kSubjectLimit); }
    std::string_view StoredHeaderTimestamp() const {
        return StoredForm(m_headerTimestamp, kHeaderTimestampLimit);
    }

    // Sizes of the text columns of the EmailData table.
    static constexpr size_t kAccountLimit = 50;
    static constexpr size_t kSenderLimit = 100;
    static constexpr size_t kSubjectLimit = 100;
    static constexpr size_t kHeaderTimestampLimit = 50;
    std::string GetLabel(unsigned fieldMask = EL_All, const std::string& separator = "/") const;
    // The diagnostic text; with a title it is headed by it. Showing it in a
    // "Database Error" box is the caller's business (through the engine's owner).
    std::string Dump(const char* title = nullptr) const;

    int32_t m_id = -1;
    std::string m_account;
    std::string m_sender;
    std::string m_subject;
    std::string m_text;
    std::string m_headerTimestamp;
    std::string m_reasonDetails;
    std::string m_emailFilename;
    uint32_t m_status = ES_Unknown;
    uint32_t m_reason = 0;
    uint32_t m_myTimestamp = 0;
    uint32_t m_size = 0;
    uint32_t m_todo = 0;
    int32_t m_restoreFailures = 0;
    int32_t m_serverId = 0;
    bool m_dirty = true;
    bool m_duplicate = false;
    // What the fetched header says of the message (MailKind of CMailContent);
    // known only while the message is new, not stored.
    int m_mailKind = 0;
    // The fetched header, for the sender check; kept only while the message
    // is new (emptied once it is filtered), never stored.
    std::string m_header;
    // The subject began with the remote-command tag and the right password
    // (masked since); known only while the message is new, not stored.
    bool m_command = false;
    // The Message-ID of the fetched header; known only while new, not stored.
    std::string m_messageId;
    uint32_t m_bodyChecksum = 0;
};

// ctime text of a time, without its line end.
std::string CTimeText(time_t when);
