#include "history/CEmailData.h"

#include "support/StringUtils.h"

#include <cstdarg>
#include <cstdio>

namespace {
struct StatusEntry {
    uint32_t value;
    const char* text;
};
constexpr StatusEntry kStatusTable[] = {
    {ES_Unknown, "Unknown"}, {ES_OnServer, "On Server"},  {ES_Quarantined, "Quarantined"},
    {ES_Deleted, "Deleted"}, {ES_Delivered, "Delivered"}, {65535, nullptr},
};

}  // namespace

std::string CTimeText(time_t when) {
    struct tm local {};
    localtime_r(&when, &local);
    char text[64];
    if (!asctime_r(&local, text)) {
        return "???";
    }
    std::string result = text;
    if (!result.empty() && result.back() == '\n') {
        result.pop_back();
    }
    return result;
}

CEmailData::CEmailData(std::string account, uint32_t receivedTime, std::string sender,
                       std::string subject, uint32_t bodyChecksum, std::string text,
                       std::string headerTimestamp, uint32_t size, uint32_t status, uint32_t reason,
                       std::string reasonDetails, std::string emailFilename, int32_t serverId)
    : m_account(std::move(account)),
      m_sender(std::move(sender)),
      m_subject(std::move(subject)),
      m_text(std::move(text)),
      m_headerTimestamp(std::move(headerTimestamp)),
      m_reasonDetails(std::move(reasonDetails)),
      m_emailFilename(std::move(emailFilename)),
      m_status(status),
      m_reason(reason),
      m_myTimestamp(receivedTime),
      m_size(size),
      m_serverId(serverId),
      m_bodyChecksum(bodyChecksum) {}

std::string CEmailData::StatusText(uint32_t status) {
    for (const auto& entry : kStatusTable) {
        if (!entry.text) {
            break;
        }
        if (entry.value == status) {
            return entry.text;
        }
    }
    return "???";
}

std::string CEmailData::GetStatusText() const {
    return StatusText(m_status);
}

std::string CEmailData::GetDisplayTime() const {
    if (!m_headerTimestamp.empty()) {
        return m_headerTimestamp;
    }
    return "*" + CTimeText(static_cast<time_t>(m_myTimestamp));
}

bool CEmailData::IsSameEmail(const CEmailData& other) const {
    return m_bodyChecksum == other.m_bodyChecksum && StoredAccount() == other.StoredAccount() &&
           StoredSender() == other.StoredSender() && StoredSubject() == other.StoredSubject() &&
           StoredHeaderTimestamp() == other.StoredHeaderTimestamp();
}

std::string CEmailData::GetLabel(unsigned fieldMask, const std::string& separator) const {
    std::string label;
    bool any = false;
    const std::string* fields[] = {&m_account, &m_sender, &m_subject};
    for (unsigned i = 0; i < 3; ++i) {
        if (fieldMask & (1u << i)) {
            label += *fields[i];
            label += separator;
            any = true;
        }
    }
    if (any) {
        label.erase(label.size() - separator.size());
    }
    return label;
}

std::string CEmailData::Dump(const char* title) const {
    std::string out;
    if (title) {
        out = StringPrintf("----------- %s -------------\n", title);
    }
    out += StringPrintf(
        "Account: %s\nSender: %s\nSubject: %s\nHeader Time: %s\nTime Received: %s\nSize: "
        "%d\nStatus: %s\nStatus Reason: %s\nReasonStr: %s\nFilename: %s\nID on Server: %d\nID in "
        "Database: %d\nTo do: %x\n",
        m_account.c_str(), m_sender.c_str(), m_subject.c_str(), m_headerTimestamp.c_str(),
        CTimeText(static_cast<time_t>(m_myTimestamp)).c_str(), static_cast<int>(m_size),
        GetStatusText().c_str(), "?", m_reasonDetails.c_str(), m_emailFilename.c_str(), m_serverId,
        m_id, m_todo);
    return out;
}
