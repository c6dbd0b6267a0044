// CInboxWardenEngine: the decision about one newly fetched message.
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstdio>

#include "engine/CInboxWardenEngine.h"
#include "history/CCommandLog.h"
#include "history/CInboxWardenDb.h"
#include "lists/CFilterLists.h"
#include "mail/CMailContent.h"
#include "secrets/CPasswordAccess.h"
#include "support/CAppEnvironment.h"

namespace {

// Messages above this many bytes are left on the server untouched.
constexpr uint32_t kMaxFilteredSize = 100000;
// The tenth consecutive message with the same sender and subject is a loop.
constexpr int32_t kLoopLimit = 10;

bool Contains(const std::string& text, const std::string& part) {
    return !part.empty() && text.find(part) != std::string::npos;
}

// The pending tasks as the result line shows them, in their fixed order.
std::string TodoText(uint32_t todo, bool duplicate) {
    std::string text;
    if (todo == 0) {
        text += "Leave on Server.";
    }
    if (duplicate) {
        text += "Not challenged (Duplicate)";
    }
    static const struct {
        uint32_t bit;
        const char* text;
    } kTexts[] = {
        {Challenge, "Challenge, "},         {DeleteFromServer, "DeleteFromServer, "},
        {RestoreSender, "RestoreSender, "}, {WelcomeSender, "WelcomeSender, "},
        {RestoreEmail, "RestoreEmail, "},   {Instruction, "Instruction to InboxWarden, "},
    };
    for (const auto& entry : kTexts) {
        if (todo & entry.bit) {
            text += entry.text;
        }
    }
    return text;
}

}  // namespace

bool CInboxWardenEngine::AlreadyChallenged(const std::string& address) {
    bool ok = false;
    uint32_t now = static_cast<uint32_t>(time(nullptr));
    uint32_t since = now > kChallengeQuietSeconds ? now - kChallengeQuietSeconds : 0;
    bool challenged = m_challengeLog.ChallengedSince(address, since, &ok);
    if (!ok) {
        MainLog().Write("Cannot tell whether %s was challenged today", address.c_str());
    }
    return challenged;
}

std::string CInboxWardenEngine::ChallengeGuardReason(const CEmailData& email) {
    if (!Settings().GetBool("GuardChallenges", "General", true)) {
        return std::string();
    }
    if (email.m_mailKind == CMailContent::MK_List) {
        return "Not challenged (mailing list)";
    }
    if (email.m_mailKind == CMailContent::MK_Automatic) {
        return "Not challenged (automatic mail)";
    }
    // Bounces come from the null sender or from the mail system itself.
    std::string address = LowerBareAddress(email.m_sender);
    std::string local = address.substr(0, address.find('@'));
    if (address.empty() || local == "mailer-daemon" || local == "postmaster") {
        return "Not challenged (automatic mail)";
    }
    if (AlreadyChallenged(address)) {
        return "Not challenged (already challenged today)";
    }
    return std::string();
}

std::string CInboxWardenEngine::MaskCommandPassword(const std::string& subject,
                                                    const std::string& password, bool* matched) {
    static const std::string kTag = "[iw:";
    if (matched) {
        *matched = false;
    }
    std::string lower = subject;
    ToLower(lower);
    // A command only counts at the start, but a forwarded one carries the
    // password as well.
    size_t at = lower.find(kTag);
    if (at == std::string::npos) {
        return subject;
    }
    size_t from = at + kTag.size();
    size_t end;
    std::string lowerPassword = password;
    ToLower(lowerPassword);
    if (!password.empty() && lower.compare(from, lowerPassword.size(), lowerPassword) == 0) {
        end = from + password.size();
        if (matched) {
            *matched = at == 0;
        }
    } else {
        // A wrong or mistyped password may be most of the right one.
        end = std::min(lower.find_first_of(" ]", from), lower.size());
    }
    lower.assign(lower.size(), '\0');
    lowerPassword.assign(lowerPassword.size(), '\0');
    if (end == from) {
        return subject;
    }
    return subject.substr(0, from) + "***" + subject.substr(end);
}

void CInboxWardenEngine::MaskCommand(CEmailData& email) {
    // The settings file is read only for the rare subject that needs it.
    if (MaskCommandPassword(email.m_subject, std::string()) == email.m_subject) {
        return;
    }
    std::string why;
    std::string password =
        CPasswordAccess(Settings()).Read(CPasswordAccess::Remote(), "", &why).value_or("");
    if (!why.empty()) {
        MainLog().Write("The remote commands password cannot be read: %s", why.c_str());
    }
    bool matched = false;
    std::string masked = MaskCommandPassword(email.m_subject, password, &matched);
    password.assign(password.size(), '\0');
    if (masked != email.m_subject) {
        auto lock = m_history.Lock();
        email.m_subject = masked;
        email.m_command = email.m_command || matched;
        email.MarkDirty();
    }
}

std::string CInboxWardenEngine::CommandRefusal(const CEmailData& email) {
    // Anyone who saw a command mail could send it again: each is obeyed
    // once, and only while it is fresh.
    constexpr time_t kMaxAge = 7 * 24 * 3600;
    constexpr time_t kMaxAhead = 24 * 3600;
    time_t sent = 0;
    time_t now = time(nullptr);
    if (!CMailContent::ParseDate(email.m_headerTimestamp, sent)) {
        return "its date cannot be read";
    }
    if (sent < now - kMaxAge) {
        return "dated more than 7 days back";
    }
    if (sent > now + kMaxAhead) {
        return "dated more than a day ahead";
    }
    std::string key;
    size_t first = email.m_messageId.find_first_not_of(" \t");
    size_t last = email.m_messageId.find_last_not_of(" \t");
    std::string messageId = first == std::string::npos
                                ? std::string()
                                : email.m_messageId.substr(first, last - first + 1);
    if (!messageId.empty()) {
        key = "id:" + messageId;
    } else {
        std::string fields = email.m_sender + "\n" + email.m_headerTimestamp + "\n" +
                             email.m_subject + "\n" + std::to_string(email.m_bodyChecksum);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (!EVP_Digest(fields.data(), fields.size(), digest, &length, EVP_sha256(), nullptr)) {
            return "no digest of it could be made";
        }
        key = "sha256:";
        char hex[3];
        for (unsigned int i = 0; i < length; ++i) {
            snprintf(hex, sizeof hex, "%02x", digest[i]);
            key += hex;
        }
    }
    CCommandLog commands(CInboxWardenDb::Instance());
    bool ok = false;
    if (commands.WasObeyed(key, &ok)) {
        return "obeyed before";
    }
    if (!ok || !commands.Record(key, static_cast<uint32_t>(now))) {
        return "the commands obeyed before cannot be read or noted";
    }
    return std::string();
}

void CInboxWardenEngine::FilterNewEmail(CEmailData* email) {
    if (!email) {
        return;
    }
    CLogFile& log = MainLog();
    CSettings& settings = Settings();
    CFilterLists& lists = CFilterLists::Instance();
    // Before the subject reaches a log line, a file name or the database.
    MaskCommand(*email);
    const std::string label = email->GetLabel();
    SetStatus("%s: Filtering new email: %s", FormatNow(false).c_str(), label.c_str());

    // The save fetches the whole message from the server. It works on a copy
    // so that the interface thread, which reads the live record under the
    // history's lock, is not held up by the transfer; the one field the save
    // sets is copied back under the lock.
    CEmailData copy = [&] {
        auto lock = m_history.Lock();
        return *email;
    }();
    if (SaveToQuarantine(&copy)) {
        {
            auto lock = m_history.Lock();
            email->m_emailFilename = copy.m_emailFilename;
            email->MarkDirty();
        }
        log.Write("Saved (%s)", label.c_str());
    } else {
        SetStatus("Failed to save (%s)", label.c_str());
    }

    NoteAuthServId(copy);

    std::string message;
    {
        auto lock = m_history.Lock();
        std::string lowerSender = email->m_sender;
        std::string lowerSubject = email->m_subject;
        ToLower(lowerSender);
        ToLower(lowerSubject);

        auto report = [&](const std::string& text) {
            message = text;
            email->m_reasonDetails = text;
            email->MarkDirty();
            if (m_detailedLog) {
                log.Write("%s", text.c_str());
            }
        };
        auto decide = [&](uint32_t status, uint32_t reason) {
            email->m_status = status;
            email->m_reason = reason;
            email->MarkDirty();
        };
        auto addTodo = [&](uint32_t bits) {
            email->m_todo |= bits;
            email->MarkDirty();
        };
        auto clearTodo = [&]() {
            email->m_todo = 0;
            email->MarkDirty();
        };
        auto unknown = [&]() { return email->m_status == ES_Unknown; };
        auto filterFor = [&](const char* list) {
            return settings.GetBool(std::string("FilterFor") + list, "General", true);
        };
        std::string matched;

        if (Contains(lowerSubject, "[iw.log]")) {
            m_detailedLog = true;
        }
        if (!unknown()) {
            IW_LOG_AT(log, "======> Ooops? pEmail->m_status != ES_Unknown, rather %d",
                      static_cast<int>(email->m_status));
        }

        // Loops: an auto-responder answering itself sends the same message over
        // and over, across scans and accounts.
        std::string loopKey = email->m_sender + email->m_subject;
        if (loopKey == m_loopKey) {
            if (m_loopCount < INT32_MAX) {
                ++m_loopCount;
            }
            if (m_loopCount >= kLoopLimit) {
                decide(ES_Deleted, ER_Looping);
                addTodo(DeleteFromServer);
                report("Looping email");
            }
        } else {
            m_loopKey = std::move(loopKey);
            m_loopCount = 1;
        }

        if (unknown() && settings.GetBool("EnableRemoteCommands", "General", false)) {
            if (email->m_command) {
                decide(ES_OnServer, ER_Instruction);
                std::string refusal = CommandRefusal(*email);
                if (refusal.empty()) {
                    addTodo(Instruction);
                    report("Instruction to InboxWarden");
                    if (m_detailedLog) {
                        log.Write("%s: %s", "Instruction to InboxWarden", lowerSubject.c_str());
                    }
                } else {
                    report("Instruction not obeyed: " + refusal);
                    log.Write("Instruction from %s not obeyed: %s", email->m_sender.c_str(),
                              refusal.c_str());
                }
            }
        }

        // Large messages stay on the server whatever was decided so far; the
        // tasks already set (a loop's deletion, an instruction) still run.
        if (email->m_size > kMaxFilteredSize) {
            decide(ES_OnServer, ER_TooBig);
            char text[64];
            snprintf(text, sizeof text, "Too big for Spam (%d kb)",
                     static_cast<int>(email->m_size / 1024));
            report(text);
        }

        if (unknown() && Contains(lowerSubject, "[inboxwardenrestored]")) {
            decide(ES_OnServer, ER_Good);
            clearTodo();
            report("Restored by InboxWarden");
        }

        if (unknown() && filterFor("Undesirables") &&
            lists.FindWord(FL_Undesirables, lowerSender, matched, true)) {
            decide(ES_Deleted, ER_Undesirable);
            addTodo(DeleteFromServer);
            report(FormatWith("Undesirable sender (matched \"%s\")", matched));
        }

        if (unknown() && filterFor("Auto Senders") &&
            lists.FindWord(FL_AutoSenders, lowerSender, matched, true)) {
            // Auto-replies to a challenge come from other addresses than the
            // one challenged: any tag of the challenge form counts.
            if (CChallengeKey::HasWellFormedTag(email->m_text) ||
                CChallengeKey::HasWellFormedTag(email->m_subject)) {
                // An automatic answer to one of our challenges.
                decide(ES_Deleted, ER_AutoSender);
                addTodo(DeleteFromServer);
                report(FormatWith("From Auto sender (matched \"%s\")", matched));
            } else {
                // An automatic answer to the user's own mail.
                if (settings.GetBool("JustDeleteAllFromAuto Senders", "General", false)) {
                    decide(ES_Deleted, ER_UserMailBounced);
                    addTodo(DeleteFromServer);
                } else {
                    decide(ES_OnServer, ER_UserMailBounced);
                    clearTodo();
                }
                report("Auto Sender bounced a user email.");
            }
        }

        if (unknown() && filterFor("Friends")) {
            std::string address = settings.GetString("emailAddress", email->m_account, "");
            std::string text;
            // An account without its own address has nothing to recognise the
            // user's mail by: an empty address matches no sender.
            if (!address.empty() && CFilterLists::MatchWords(lowerSender, address, true)) {
                text = FormatWith("From me! (matched \"%s\")", address);
            } else if (lists.FindWord(FL_Friends, lowerSender, matched, true)) {
                text = FormatWith("From a friend (matched \"%s\")", matched);
            } else {
                message = FormatWith("[%s] not found in friends list", lowerSender);
            }
            if (!text.empty()) {
                decide(ES_OnServer, ER_Friend);
                clearTodo();
                report(text);
            }
        }

        if (unknown() && filterFor("Bad Subjects") &&
            lists.FindWord(FL_BadSubjects, lowerSubject, matched, true)) {
            decide(ES_Deleted, ER_BadSubject);
            addTodo(DeleteFromServer);
            report(FormatWith("Bad subject (matched \"%s\")", matched));
        }

        // A reply to one of our challenges carries the tag back in its
        // subject; the tag is made for the address the challenge went to, so
        // it registers that address and no other.
        if (unknown() && !LowerBareAddress(email->m_sender).empty() &&
            Contains(email->m_subject, m_challengeKey.TagFor(email->m_sender))) {
            // The bare address: it matches the sender under any display name.
            lists.AddWord(LowerBareAddress(email->m_sender), FL_Friends);
            decide(ES_OnServer, ER_Registration);
            addTodo(RestoreSender | WelcomeSender | AddSenderToFriends);
            report(FormatWith("Registration from %s", email->m_sender));
        }

        if (unknown() && (Contains(lowerSubject, "[bypassinboxwarden]") ||
                          Contains(lowerSubject, "your registration was successful"))) {
            decide(ES_OnServer, ER_Good);
            clearTodo();
            report(FormatWith("Matched \"%s\"", "[bypassinboxwarden]"));
        }

        if (unknown() && filterFor("Good Subjects") &&
            lists.FindWord(FL_GoodSubjects, lowerSubject, matched, true)) {
            decide(ES_OnServer, ER_Good);
            clearTodo();
            report(FormatWith("Good subject (matched \"%s\")", matched));
        }

        if (unknown()) {
            decide(ES_Quarantined, ER_UnknownSender);
            email->m_reasonDetails = "Unknown Sender";
            addTodo(DeleteFromServer);
            // Neither our own tagged mail nor an answer to a challenge is
            // challenged, and a sender is challenged once for one subject.
            if (settings.GetBool("SendChallenges", "General", true) && !email->m_duplicate &&
                !Contains(lowerSubject, "[inboxwarden")) {
                std::string address = lowerSender;
                ExtractAddress(address);
                std::string guard = ChallengeGuardReason(*email);
                if (guard.empty()) {
                    guard = VerificationGuardReason(*email);
                }
                if (!guard.empty()) {
                    report(guard);
                } else if (IsEmailAddress(address)) {
                    addTodo(Challenge);
                } else {
                    report(FormatWith("Invalid email address (%s), cannot challenge.", address));
                }
            }
        }
        // Only the decision reads it.
        std::string().swap(email->m_header);
        m_history.NotifyChanged();
    }

    if (!message.empty()) {
        SetStatus("%s", message.c_str());
    }
    uint32_t status;
    uint32_t reason;
    uint32_t todo;
    bool duplicate;
    std::string details;
    {
        auto lock = m_history.Lock();
        status = email->m_status;
        reason = email->m_reason;
        todo = email->m_todo;
        duplicate = email->m_duplicate;
        details = email->m_reasonDetails;
    }
    log.Write("   Result: status: %d, reason: %d (%s), To Do: %s", static_cast<int>(status),
              static_cast<int>(reason), details.c_str(), TodoText(todo, duplicate).c_str());
}
