// CInboxWardenEngine: whether a challenge may go to a sender whose address
// may be forged. A challenge to a forged From lands in a stranger's mailbox,
// and enough of them get the user's SMTP account blocklisted.
#include <algorithm>

#include "engine/CInboxWardenEngine.h"
#include "mail/CAuthResults.h"
#include "support/CSettings.h"

namespace {

// "noreply", "no-reply", "do_not.reply", ... : separators and case ignored,
// and a "+tag" after the local part.
bool IsNoReplyAddress(const std::string& address) {
    std::string local = address.substr(0, address.find('@'));
    local = local.substr(0, local.find('+'));
    local.erase(std::remove_if(local.begin(), local.end(),
                               [](char c) { return c == '-' || c == '_' || c == '.'; }),
                local.end());
    ToLower(local);
    return local == "noreply" || local == "donotreply";
}

}  // namespace

std::vector<std::string> CInboxWardenEngine::TrustedServIds(const std::string& account) {
    std::string set = Settings().GetString("AuthServId", account, "");
    StringList ids;
    SplitBySet(", \t", set, ids);
    std::vector<std::string> result;
    for (std::string id : ids) {
        ToLower(id);
        if (!id.empty()) {
            result.push_back(id);
        }
    }
    if (result.empty()) {
        CAuthServIds::Entry entry = m_authServIds.Get(account);
        if (entry.state == CAuthServIds::AS_Learned) {
            result.push_back(entry.servId);
        }
    }
    return result;
}

void CInboxWardenEngine::NoteAuthServId(const CEmailData& email) {
    std::string id;
    bool found = CAuthResults::TopServId(email.m_header, id);
    if (!m_authServIds.Observe(email.m_account, found, id)) {
        MainLog().Write("Could not note the server id of %s", email.m_account.c_str());
    }
}

std::string CInboxWardenEngine::VerificationGuardReason(const CEmailData& email) {
    const std::string address = LowerBareAddress(email.m_sender);
    if (IsNoReplyAddress(address)) {
        return "Not challenged (no-reply address)";
    }
    if (!Settings().GetBool("ChallengeVerified", "General", true)) {
        return std::string();
    }
    // A server that writes no results leaves the decision as it always was.
    std::vector<std::string> ids = TrustedServIds(email.m_account);
    if (ids.empty()) {
        return std::string();
    }
    auto results = CAuthResults::Trusted(email.m_header, ids);
    size_t at = address.rfind('@');
    if (at != std::string::npos && CAuthResults::Verifies(results, address.substr(at + 1))) {
        return std::string();
    }
    return "Not challenged (sender not verified: " + CAuthResults::Summary(results) + ")";
}
