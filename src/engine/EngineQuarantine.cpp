// CInboxWardenEngine: quarantine files and restoring mail to the user's mailbox.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "engine/CInboxWardenEngine.h"
#include "engine/IEngineOwner.h"
#include "mail/CMailContent.h"
#include "mail/CPOP3.h"
#include "support/CAppEnvironment.h"
#include "support/FileWrite.h"

namespace {

// Account names may hold "/" and so nest folders.
bool EnsureFolder(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return std::filesystem::is_directory(path, error);
}

// The message as it was sent: the raw fetch is dot-stuffed and ends with the
// terminator line, neither of which belongs in the saved copy.
std::string MessageFromRawFetch(std::string raw) {
    if (raw.size() >= 5 && raw.compare(raw.size() - 5, 5, "\r\n.\r\n") == 0) {
        raw.resize(raw.size() - 3);
    } else if (raw == ".\r\n") {
        raw.clear();
    }
    CMailContent::UnstuffDots(raw);
    return raw;
}

bool ReadWholeFile(const std::string& path, std::string& content) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        content.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return n == 0;
}

const char* kRestoreNotice =
    "Due to a problem with InboxWarden's settings, your computer or your SMTP (outgoing) mail "
    "server, \nInboxWarden was unable to restore previous email(s) from a sender who just "
    "subscribed.\nThese emails are not lost, and have been saved in InboxWarden's Quarantine "
    "folder as files.\nThese files are named after the sender, %0.\nLook for them in the Windows "
    "folder InboxWarden has just open for you.\nWe are sorry for the inconvenience. Click OK to "
    "continue.";

}  // namespace

std::string CInboxWardenEngine::GetQuarantineFolder(const std::string& account) const {
    std::string name = account;
    MakeSafeName(name, true);
    return DataFolder() + "/Quarantine/" + name;
}

bool CInboxWardenEngine::SaveToQuarantine(CEmailData* email) {
    CLogFile& log = MainLog();
    std::string root = DataFolder() + "/Quarantine/";
    if (!EnsureFolder(root)) {
        IW_LOG_AT(log, "CreateDirectory failed for %s", root.c_str());
    }
    std::string folder = GetQuarantineFolder(email->m_account);
    if (!EnsureFolder(folder)) {
        IW_LOG_AT(log, "CreateDirectory failed for %s", folder.c_str());
    }
    std::string base = email->m_sender + "_" + email->m_subject;
    MakeSafeName(base, false);
    if (base.size() > 100) {
        base.resize(100);
    }
    // A new file never replaces another record's: names in use are passed over.
    std::string path;
    int fd = -1;
    for (int n = 0; n < 1000; ++n) {
        path = folder + "/" + base + "_" + std::to_string(n) + ".eml";
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        IW_LOG_AT(log, "======> Error: Could not create valid filename from %s_%s : %s]",
                  email->m_sender.c_str(), email->m_subject.c_str(), path.c_str());
        return false;
    }
    std::string content;
    bool exact = false;
    if (email->m_serverId != 0) {
        std::string raw;
        if (!m_pop3 || !NumbersHold() || !m_pop3->GetMessage(email->m_serverId, raw)) {
            close(fd);
            unlink(path.c_str());
            std::string error = m_pop3 ? m_pop3->GetErrorText() : "no POP3 connection";
            std::string host = m_pop3 ? m_pop3->GetHost() : "";
            IW_LOG_AT(log, "======> GetMessage returned FALSE (%s) for message %d on %s from %s",
                      error.c_str(), email->m_serverId, host.c_str(), email->m_account.c_str());
            SetStatus("Error (%s) getting message %d on %s from %s", error.c_str(),
                      email->m_serverId, host.c_str(), email->m_account.c_str());
            return false;
        }
        content = MessageFromRawFetch(std::move(raw));
        exact = true;
    } else {
        content = "\r\nFrom: " + email->m_sender + "\r\nDate: " + email->m_headerTimestamp +
                  "\r\nSubject: " + email->m_subject + "\r\n\r\n" + email->m_text;
    }
    // The copy must be whole on disk before the message may leave the server.
    bool written = WriteAll(fd, content.data(), content.size()) && fsync(fd) == 0;
    if (close(fd) != 0) {
        written = false;
    }
    if (!written) {
        int error = errno;
        unlink(path.c_str());
        IW_LOG_AT(log, "======> Error: Could not write %s: %s", path.c_str(), strerror(error));
        return false;
    }
    if (exact) {
        m_exactCopies[path] = m_pop3->GetSessionNumber();
    }
    email->m_emailFilename = path;
    email->MarkDirty();
    log.Write("Quarantined %s/%s from %s to %s", email->m_sender.c_str(), email->m_subject.c_str(),
              email->m_account.c_str(), path.c_str());
    return true;
}

bool CInboxWardenEngine::EnsureSavedCopy(CEmailData* email) {
    // Works on a copy, as the filter decision does, so that the interface
    // thread is not held up by the transfer.
    CEmailData copy = [&] {
        auto lock = m_history.Lock();
        return *email;
    }();
    std::error_code error;
    if (!copy.m_emailFilename.empty() &&
        std::filesystem::is_regular_file(copy.m_emailFilename, error)) {
        switch (CheckSavedCopy(copy)) {
            case CC_Exact:
                return true;
            case CC_NotThisMessage:
                return false;
            case CC_Inexact:
                // Made again beside the old one, which stays as it is.
                copy.m_emailFilename.clear();
                break;
        }
    }
    if (!SaveToQuarantine(&copy)) {
        MainLog().Write("Not deleting %s/%s: no copy of it could be saved", copy.m_sender.c_str(),
                        copy.m_subject.c_str());
        return false;
    }
    auto lock = m_history.Lock();
    email->m_emailFilename = copy.m_emailFilename;
    email->MarkDirty();
    return true;
}

CInboxWardenEngine::CopyCheck CInboxWardenEngine::CheckSavedCopy(const CEmailData& email) {
    auto made = m_exactCopies.find(email.m_emailFilename);
    if (made != m_exactCopies.end() && m_pop3 && made->second == m_pop3->GetSessionNumber()) {
        return CC_Exact;
    }
    // Made in an earlier session, by an earlier run, or rebuilt from the
    // record: only the server's message itself tells whether it is whole.
    CLogFile& log = MainLog();
    std::string raw;
    if (email.m_serverId <= 0 || !m_pop3 || !NumbersHold() ||
        !m_pop3->GetMessage(email.m_serverId, raw)) {
        log.Write("Not deleting %s/%s: its saved copy could not be compared with the server's",
                  email.m_sender.c_str(), email.m_subject.c_str());
        return CC_NotThisMessage;
    }
    std::string server = MessageFromRawFetch(std::move(raw));
    std::string saved;
    if (ReadWholeFile(email.m_emailFilename, saved) && saved == server) {
        m_exactCopies[email.m_emailFilename] = m_pop3->GetSessionNumber();
        return CC_Exact;
    }
    // The copy is not the server's bytes. If the message at the number is
    // this record's, a new copy can be made; if not, nothing is done by it.
    CMailContent message;
    size_t blank = server.find("\r\n\r\n");
    message.m_header = server.substr(0, blank);
    message.ParseHeader();
    CEmailData fetched("", 0, message.m_from, MaskCommandPassword(message.m_subject, std::string()),
                       0, "", message.m_dateText, 0, ES_Unknown, 0, "", "", 0);
    if (fetched.StoredSender() != email.StoredSender() ||
        fetched.StoredHeaderTimestamp() != email.StoredHeaderTimestamp() ||
        (fetched.StoredSubject() != email.StoredSubject() &&
         MaskCommandPassword(email.m_subject, std::string()) != fetched.m_subject)) {
        log.Write("Not deleting %s/%s: message %d on the server is another one",
                  email.m_sender.c_str(), email.m_subject.c_str(), email.m_serverId);
        return CC_NotThisMessage;
    }
    log.Write("The saved copy %s of %s/%s differs from the server's message: saving it again",
              email.m_emailFilename.c_str(), email.m_sender.c_str(), email.m_subject.c_str());
    return CC_Inexact;
}

bool CInboxWardenEngine::RestoreEmailPrivate(CEmailData* email) {
    CLogFile& log = MainLog();
    if (email->m_emailFilename.empty()) {
        log.Write("Returning from RestoreEmailPrivate: !pEmail->GetEmailFilename().size()");
        return true;
    }
    struct stat info {};
    if (stat(email->m_emailFilename.c_str(), &info) == -1) {
        log.Write(
            "Returning from RestoreEmailPrivate: _stat( pEmail->GetEmailFilename().c_str(), &buf "
            ") == -1");
        return true;
    }
    std::string content;
    if (!ReadWholeFile(email->m_emailFilename, content)) {
        log.Write("Returning from RestoreEmailPrivate: could not read %s",
                  email->m_emailFilename.c_str());
        return false;
    }
    size_t separator = content.find("\r\n\r\n");
    if (separator == std::string::npos) {
        log.Write("Returning from RestoreEmailPrivate: could not find separator");
        return false;
    }
    // The copy goes back to the user alone: the stored To and Cc stay in its
    // header, but other recipients must not get the message a second time.
    std::string address = Settings().GetString("emailAddress", email->m_account, "");
    std::string bareAddress = address;
    ExtractAddress(bareAddress);
    if (!IsEmailAddress(bareAddress)) {
        log.Write("Cannot restore %s/%s: the account %s has no valid emailAddress",
                  email->m_sender.c_str(), email->m_subject.c_str(), email->m_account.c_str());
        return false;
    }
    CMailContent message;
    message.m_header = content.substr(0, separator);
    message.m_body = content.substr(separator + 4);
    message.ParseHeader();
    message.m_subject = CMailContent::HeaderValue(message.m_subject, CMailContent::kMaxSubject) +
                        "[InboxWardenRestored]";
    // A message that reached the user as a blind copy, or the short copy of
    // one that was gone from the server, names nobody: it is addressed to
    // the user, or it could not be sent back at all.
    if (message.GetRecipientCount() == 0) {
        message.AddRecipient(bareAddress, "");
    }
    message.FormatHeader();
    log.Write("UnQuarantining %s/%s from %s to %s", email->m_sender.c_str(),
              email->m_subject.c_str(), email->m_emailFilename.c_str(), email->m_account.c_str());
    ExtractAddress(message.m_from);
    message.m_envelopeRecipients = {{bareAddress, ""}};
    bool sent = SendRawEmail(email->m_account, message);
    if (!sent) {
        log.Write("Oh oh, SendEmail returned false");
        return false;
    }
    email->m_status = ES_OnServer;
    email->MarkDirty();
    return true;
}

int32_t CInboxWardenEngine::RestoreEmailsFromSenderPrivate(const std::string& sender) {
    CLogFile& log = MainLog();
    log.Write("in RestoreEmailsFromSenderPrivate for %s", sender.c_str());
    // The same person writes under several display names: his mail is found
    // by address.
    const std::string address = LowerBareAddress(sender);
    std::vector<CEmailData*> targets;
    {
        auto lock = m_history.Lock();
        for (int i = 0; i < m_history.GetCount(); ++i) {
            CEmailData* email = m_history.GetAt(i);
            if (email && email->m_status != ES_OnServer &&
                LowerBareAddress(email->m_sender) == address) {
                targets.push_back(email);
            }
        }
    }
    // Each restore sends mail and may ask the owner to open a folder; both
    // run without the history's lock, which the interface thread needs to
    // show the list. They work on a copy; the outcome is written back under
    // the lock.
    int32_t count = 0;
    bool failed = false;
    for (CEmailData* email : targets) {
        CEmailData copy = [&] {
            auto lock = m_history.Lock();
            if (m_history.IndexOf(email) < 0) {
                return CEmailData("", 0, "", "", 0, "", "", 0, ES_OnServer, 0, "", "", 0);
            }
            email->m_todo &= ~RestoreSender;
            email->MarkDirty();
            return *email;
        }();
        if (copy.m_status == ES_OnServer) {
            continue;  // removed meanwhile, or restored by another path
        }
        log.Write("Calling RestoreEmailPrivate for %s/%s", copy.m_sender.c_str(),
                  copy.m_subject.c_str());
        bool restored = RestoreEmailPrivate(&copy);
        bool giveUp = false;
        {
            auto lock = m_history.Lock();
            if (m_history.IndexOf(email) >= 0) {
                if (restored) {
                    email->m_status = copy.m_status;
                } else {
                    email->m_todo |= RestoreEmail;
                    ++email->m_restoreFailures;
                    if (email->m_restoreFailures > 10) {
                        email->m_todo = 0;
                        giveUp = true;
                    }
                }
                email->MarkDirty();
                m_history.NotifyChanged();
            }
        }
        if (!restored) {
            if (giveUp) {
                Notify(IEngineOwner::SL_PendingWarning, FillPlaceholders(kRestoreNotice, {sender}));
                if (m_owner) {
                    m_owner->OnOpenWithDesktop(GetQuarantineFolder(copy.m_account));
                }
            }
            failed = true;
            log.Write("RestoreEmailPrivate returned false for %s/%s", copy.m_sender.c_str(),
                      copy.m_subject.c_str());
        }
        ++count;
    }
    return failed ? 0 : count;
}
