// CInboxWardenEngine: carrying out the pending tasks of an account's records,
// remote instructions included.
#include <cstdio>

#include "engine/CInboxWardenEngine.h"
#include "engine/IEngineOwner.h"
#include "history/CInboxWardenDb.h"
#include "lists/CFilterLists.h"
#include "mail/CPOP3.h"
#include "support/CAppEnvironment.h"

namespace {

const char* const kPingSubject = "I'm here!";
const char* const kPingBody = "Have a good day!\n\nInboxWarden";
const char* const kWelcomeSubject = "Your registration was successful";
const char* const kWelcomeBody =
    "Your registration to the InboxWarden database was successful,\nand your previous emails "
    "have been restored.\n\nHave a nice day.\n\n";

// A command's argument: from just after the word up to the first "]", or to
// the end of the subject when that bracket comes before the word.
std::string CommandArgument(const std::string& subject, size_t wordAt, size_t wordLength,
                            size_t bracket) {
    size_t start = wordAt + wordLength;
    if (bracket != std::string::npos && bracket >= start) {
        return subject.substr(start, bracket - start);
    }
    return subject.substr(start);
}

// The reason details keep the newest line first. A task retried on every
// scan would make them grow without end; the database keeps only their head
// anyway, so memory keeps no more than that, in whole lines where it can.
void PrependDetails(CEmailData* email, const std::string& text) {
    PrependWithSeparator(email->m_reasonDetails, text, "\n");
    constexpr size_t limit = CInboxWardenDb::kMemoLimit;
    if (email->m_reasonDetails.size() > limit) {
        size_t cut = email->m_reasonDetails.rfind('\n', limit);
        email->m_reasonDetails.resize(cut != std::string::npos && cut > 0 ? cut : limit);
    }
    email->MarkDirty();
}

}  // namespace

void CInboxWardenEngine::ProcessTasks(const std::string& account) {
    CLogFile& log = MainLog();
    log.Write("\nProcessing tasks for %s", account.c_str());
    for (int index = 0;; ++index) {
        if (m_abortRequested) {
            break;
        }
        CEmailData* email;
        {
            auto lock = m_history.Lock();
            if (index >= m_history.GetCount()) {
                break;
            }
            email = m_history.GetAt(index);
            if (!email || email->m_account != account ||
                (email->m_serverId == 0 && email->m_todo == 0)) {
                continue;
            }
        }
        if (ProcessRecordTasks(email)) {
            // The owner closes the program on its own thread; what was done
            // must be in the database before it does.
            m_history.SaveAll();
            if (m_owner) {
                m_owner->OnCloseProgram();
            }
        }
    }
    m_history.SaveAll();
}

bool CInboxWardenEngine::ProcessRecordTasks(CEmailData* email) {
    CLogFile& log = MainLog();
    CSettings& settings = Settings();
    // A registration just before may have given Friends its first entry.
    EndReadOnlyIfFriends();
    // Only this thread changes a record's texts and server number; the
    // interface thread may add task bits, so bits are read and cleared under
    // the history's lock. Mail and server traffic run without it, so that the
    // interface is never held up by a slow server.
    auto lock = m_history.Lock();
    std::string lowerSender = email->m_sender;
    std::string lowerSubject = email->m_subject;
    ToLower(lowerSender);
    ToLower(lowerSubject);
    const std::string account = email->m_account;
    const std::string sender = email->m_sender;
    const std::string subject = email->m_subject;
    // Records stored before subjects were masked may still hold a password
    // (up to the first blank: the settings file is not read for every record).
    log.Write("Processing %d (todo %d): %s/%s ", email->m_serverId, static_cast<int>(email->m_todo),
              email->m_sender.c_str(), MaskCommandPassword(subject, std::string()).c_str());
    lock.unlock();

    auto has = [&](uint32_t bit) {
        auto guard = m_history.Lock();
        return (email->m_todo & bit) != 0;
    };
    auto clear = [&](uint32_t bit) {
        auto guard = m_history.Lock();
        email->m_todo &= ~bit;
        email->MarkDirty();
        m_history.NotifyChanged();
    };
    auto prepend = [&](const std::string& text) {
        auto guard = m_history.Lock();
        PrependDetails(email, text);
        m_history.NotifyChanged();
    };
    bool shutdown = false;

    if (has(Instruction)) {
        size_t bracket = lowerSubject.find(']');
        if (bracket == std::string::npos) {
            SetStatus("Error: Closing bracket not found for InboxWarden To Do");
        } else if (ObeyInstruction(email, lowerSender, lowerSubject, bracket, shutdown)) {
            clear(Instruction);
        }
    }

    if (has(AddSenderToFriends)) {
        std::string address = LowerBareAddress(sender);
        CFilterLists::Instance().AddWord(address, FL_Friends);
        clear(AddSenderToFriends);
        std::string text = FormatWith("Added new friend: %s", address);
        SetStatus("%s", text.c_str());
        prepend(text);
    }

    if (has(Challenge) && settings.GetBool("GuardChallenges", "General", true) &&
        AlreadyChallenged(LowerBareAddress(sender))) {
        // Another message of the same sender was challenged since this one
        // was filtered (in the same scan, most often).
        clear(Challenge);
        prepend("Not challenged (already challenged today)");
    }
    if (has(Challenge)) {
        SetStatus("Challenging %s", lowerSender.c_str());
        const bool readOnly = m_readOnly;
        bool sent = SendChallenge(email);
        if (sent) {
            clear(Challenge);
            // A challenge that never left must not hold back a real one.
            if (!readOnly && !m_challengeLog.Record(LowerBareAddress(sender),
                                                    static_cast<uint32_t>(time(nullptr)))) {
                log.Write("Could not note the challenge to %s", sender.c_str());
            }
        }
        std::string text = FormatWith(!sent      ? "Failed to send Challenge (%s)"
                                      : readOnly ? "Challenge not sent: read-only (%s)"
                                                 : "Challenge sent (%s)",
                                      FormatNow(true));
        SetStatus("%s", text.c_str());
        prepend(text);
    }

    if (has(DeleteFromServer)) {
        int32_t id;
        int32_t serverId;
        {
            auto guard = m_history.Lock();
            id = email->m_id;
            serverId = email->m_serverId;
        }
        // A new record (id -1) is saved at the end of this pass, before the
        // deletion takes effect at the end of the connection; id 0 is no key
        // the database ever gives, so such a record is not known to it.
        if (id == 0) {
            SetStatus("Warning: I was asked to Delete an unsaved email!!!");
        } else {
            if (serverId == 0) {
                log.Write("ERROR: Asked to delete email with ID 0 on the server!:\n");
                std::string dump;
                {
                    auto guard = m_history.Lock();
                    dump = email->Dump();
                }
                log.Write("%s", dump.c_str());
            }
            SetStatus("Deleting %s", lowerSubject.c_str());
            const bool readOnly = m_readOnly;
            bool deleted = readOnly;
            // No message has the number 0 (or below): asking the server to
            // delete it could only fail.
            if (!m_readOnly && serverId > 0 && m_pop3 && EnsureSavedCopy(email) && NumbersHold() &&
                m_pop3->DeleteMessage(serverId)) {
                deleted = true;
                m_deletedThisSession.push_back(email);
            }
            std::string text;
            if (deleted) {
                clear(DeleteFromServer);
                text = FormatWith(readOnly ? "Not deleted: read-only (%s)" : "Deleted (%s)",
                                  FormatNow(true));
            } else {
                char prefix[64];
                snprintf(prefix, sizeof prefix, "Failed to delete #%d ", serverId);
                text = prefix + FormatWith("(%s)", FormatNow(true));
            }
            prepend(text);
            SetStatus("%s", text.c_str());
        }
    }

    if (has(RestoreSender)) {
        int32_t restored = RestoreEmailsFromSenderPrivate(sender);
        std::string text = FormatWith(
            restored >= 1 ? "Restored Sender %s" : "Error restoring emails from %s", sender);
        clear(RestoreSender);
        SetStatus("%s", text.c_str());
    }

    if (has(WelcomeSender)) {
        if (!settings.GetBool("SendConfirmations", "General", false)) {
            clear(WelcomeSender);
        } else {
            std::string text = FormatWith("Welcomed Sender %s", sender);
            std::string address = settings.GetString("emailAddress", account, "");
            log.Write("Sending %s from %s to %s", kWelcomeBody, address.c_str(), sender.c_str());
            if (SendEmail(account, address, sender, kWelcomeSubject, kWelcomeBody)) {
                clear(WelcomeSender);
            }
            log.Write("%s", text.c_str());
        }
    }

    if (has(RestoreEmail)) {
        // The restore sends the stored copy by mail; it works on a copy of the
        // record and the status it sets is carried over under the lock.
        CEmailData copy = [&] {
            auto guard = m_history.Lock();
            return *email;
        }();
        bool restored = RestoreEmailPrivate(&copy);
        if (restored) {
            {
                auto guard = m_history.Lock();
                if (email->m_status != copy.m_status) {
                    email->m_status = copy.m_status;
                    email->MarkDirty();
                }
            }
            clear(RestoreEmail);
        }
        SetStatus(restored ? "Restored Email: %s" : "Restoring Email failed: %s",
                  copy.m_subject.c_str());
    }

    if (has(~0u)) {
        SetStatus("Warning: Expected m_todo to be 0 after todo loop for %s/%s.", sender.c_str(),
                  subject.c_str());
    }
    return shutdown;
}

bool CInboxWardenEngine::ObeyInstruction(CEmailData* email, const std::string& lowerSender,
                                         const std::string& lowerSubject, size_t bracket,
                                         bool& shutdown) {
    bool handled = false;
    if (lowerSubject.find("ping") != std::string::npos) {
        std::string address = Settings().GetString("emailAddress", email->m_account, "");
        if (SendEmail(email->m_account, address, email->m_sender, kPingSubject, kPingBody)) {
            SetStatus("Returned Ping to %s", lowerSender.c_str());
        } else {
            SetStatus("Error: Could not return Ping to %s", lowerSender.c_str());
        }
        // The instruction is not repeated for a failed reply: its other
        // commands (a "run:" above all) would be carried out again.
        handled = true;
    }
    if (lowerSubject.find("shutdown") != std::string::npos) {
        SetStatus("Shutting down InboxWarden...");
        shutdown = true;
        handled = true;
    }
    static const std::string kAddFriend = "addfriend:";
    size_t at = lowerSubject.find(kAddFriend);
    if (at != std::string::npos) {
        std::string word = CommandArgument(lowerSubject, at, kAddFriend.size(), bracket);
        CFilterLists::Instance().AddWord(word, FL_Friends);
        SetStatus("Added new friend: %s", word.c_str());
        handled = true;
    }
    static const std::string kRun = "run:";
    at = lowerSubject.find(kRun);
    if (at != std::string::npos) {
        std::string target = CommandArgument(lowerSubject, at, kRun.size(), bracket);
        // Handed over as one argument to the desktop's open operation, never
        // to a shell: no text in a subject can become a command line.
        bool opened = !target.empty() && m_owner && m_owner->OnOpenWithDesktop(target);
        if (!opened) {
            SetStatus("Error: Asked to run command but it failed: %s", target.c_str());
        }
        handled = true;
    }
    return handled;
}
