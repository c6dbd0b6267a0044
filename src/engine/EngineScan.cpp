// CInboxWardenEngine: one pass over every account.
#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "engine/CConnectionSettings.h"
#include "engine/CInboxWardenEngine.h"
#include "engine/IEngineOwner.h"
#include "mail/CMailContent.h"
#include "mail/CPOP3.h"
#include "mail/CSMTP.h"
#include "signin/CAccessTokens.h"
#include "support/CAppEnvironment.h"

namespace {

// Hashes of the fields that make two records equal (IsSameEmail) and of
// sender and subject, made without copying the texts: the history may hold
// 100,000 records and is walked once per account. Equal hashes are only
// candidates; the fields themselves decide.
size_t Mix(size_t seed, size_t value) {
    return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

size_t HashText(std::string_view text) {
    return std::hash<std::string_view>()(text);
}

// Fields are hashed and compared in their stored form: a record loaded from
// the database holds them cut to their column sizes.
size_t SenderSubjectHash(const CEmailData& email) {
    return Mix(HashText(email.StoredSender()), HashText(email.StoredSubject()));
}

size_t SameEmailHash(const CEmailData& email) {
    size_t h = Mix(SenderSubjectHash(email), HashText(email.StoredAccount()));
    h = Mix(h, HashText(email.StoredHeaderTimestamp()));
    return Mix(h, email.m_bodyChecksum);
}

bool SameSenderSubject(const CEmailData& a, const CEmailData& b) {
    return a.StoredSender() == b.StoredSender() && a.StoredSubject() == b.StoredSubject();
}

// The sender check reads no further than this into a header.
constexpr size_t kMaxKeptHeader = 256 * 1024;

}  // namespace

void CInboxWardenEngine::ScanServers() {
    m_abortRequested = false;
    m_cleanScan = true;
    const bool fullScan = m_fullScanOnce.exchange(false);
    m_pendingUidls.clear();
    m_scanErrors = false;
    if (!WaitWhileBusy(__FILE__, __LINE__)) {
        return;
    }
    // A cleanup started from the settings dialog must not remove records
    // while the scan holds them.
    m_busy = true;
    m_scanning = true;
    ++m_scanCount;
    CLogFile& log = MainLog();
    log.Write("\n|: ScanServers starts.");
    EndReadOnlyIfFriends();
    if (m_owner) {
        m_owner->OnScanStarted();
    }
    CSettings& settings = Settings();
    StringList accounts;
    SplitList(settings.GetString("AccountsList", "General", ""), accounts);
    m_newMailSenders.clear();
    int newOnServer = 0;
    int newEmails = 0;
    if (m_owner) {
        m_owner->OnProgressRange(IEngineOwner::PL_Accounts, static_cast<int>(accounts.size()));
    }
    for (size_t index = 0; index < accounts.size() && !m_abortRequested; ++index) {
        const std::string& account = accounts[index];
        if (m_owner) {
            m_owner->OnProgress(IEngineOwner::PL_Accounts, static_cast<int>(index));
        }
        if (!settings.GetBool("Filter", account, false)) {
            log.Write("Scanning for %s is disabled", account.c_str());
            continue;
        }
        // Read at every scan, so a changed server or security applies at once.
        CConnectionSettings::Server popServer = CConnectionSettings::ReadPop(settings, account);
        CConnectionSettings::Server smtpServer = CConnectionSettings::ReadSmtp(settings);
        // A keyring that cannot give a password skips the account untouched.
        const std::string& passwordError =
            popServer.passwordError.empty() ? smtpServer.passwordError : popServer.passwordError;
        if (!passwordError.empty()) {
            SetStatus("Error: The passwords of %s cannot be read: %s", account.c_str(),
                      passwordError.c_str());
            m_scanErrors = true;
            continue;
        }
        if (popServer.host.empty() || popServer.login.empty() ||
            (popServer.password.empty() && !popServer.oauth) || smtpServer.host.empty()) {
            SetStatus("Error: Account information invalid for %s", account.c_str());
            m_scanErrors = true;
            if (m_owner) {
                m_owner->OnAccountFailed(account, "Account information invalid");
            }
            continue;
        }
        // Tokens first: an account whose sign-in expired is skipped, the
        // others go on, and nothing of it in the history changes.
        if (!FetchTokens(account, popServer, smtpServer)) {
            m_scanErrors = true;
            continue;
        }
        SetStatus(".\nConnecting to %s...", popServer.host.c_str());
        CPOP3 pop3(popServer.host, popServer.port);
        CConnectionSettings::Apply(popServer, pop3);
        popServer.password.assign(popServer.password.size(), '\0');
        popServer.bearerToken.assign(popServer.bearerToken.size(), '\0');
        pop3.SetErrorLog(&log);
        pop3.SetTrafficLog(&m_inetLog);
        // An abort ends a wait for a server at once, not at its time-out.
        pop3.GetSocket().SetAbortFlag(&m_abortRequested);
        bool connected = pop3.Connect();
        // The server may end an access token before its time (revoked, or a
        // clock ahead of ours): one fresh token, one more try.
        if (!connected && popServer.oauth &&
            pop3.GetErrorText().rfind("OAuth2 login refused", 0) == 0) {
            CAccessTokens::Instance().Forget(popServer.oauthAccount);
            CConnectionSettings::Server none;
            if (!FetchTokens(account, popServer, none)) {
                m_scanErrors = true;
                continue;
            }
            log.Write("The OAuth2 login was refused; trying once more with a renewed token");
            pop3.SetBearerToken(popServer.bearerToken);
            popServer.bearerToken.assign(popServer.bearerToken.size(), '\0');
            connected = pop3.Connect();
        }
        if (!connected) {
            IW_LOG_AT(log, "======> Could not connect to %s as %s: %s", pop3.GetHost().c_str(),
                      popServer.login.c_str(), pop3.GetErrorText().c_str());
            SetStatus("Error: Could not connect to %s: %s", pop3.GetHost().c_str(),
                      pop3.GetErrorText().c_str());
            m_scanErrors = true;
            if (m_owner && !m_abortRequested) {
                m_owner->OnAccountFailed(account, pop3.GetErrorText());
            }
            continue;
        }
        CSMTP smtp(smtpServer.host, smtpServer.port);
        CConnectionSettings::Apply(smtpServer, smtp);
        smtpServer.password.assign(smtpServer.password.size(), '\0');
        smtpServer.bearerToken.assign(smtpServer.bearerToken.size(), '\0');
        smtp.SetErrorLog(&log);
        smtp.SetTrafficLog(&m_inetLog);
        smtp.GetSocket().SetAbortFlag(&m_abortRequested);
        SetCurrentClients(&pop3, &smtp);
        m_deletedThisSession.clear();

        std::vector<std::unique_ptr<CEmailData>> emails;
        SetStatus("Getting emails from %s...", account.c_str());
        UidlScan uidl;
        const bool byUidl = !fullScan && DownloadByUidl(emails, account, uidl);
        if (!byUidl) {
            DownloadEmails(emails, account);
        }
        // Whatever acts by number from here on needs this very session.
        m_numbersSession = pop3.GetSessionNumber();
        if (!m_abortRequested) {
            log.Write("%s", "");
            SetStatus("Filtering emails from %s...", account.c_str());
            MatchWithHistory(emails, account, newOnServer, newEmails, byUidl ? &uidl : nullptr);
            if (byUidl) {
                NoteUidls(account, uidl);
            }
            ProcessTasks(account);
        }
        SetCurrentClients(nullptr, nullptr);
        // Deletions take effect only when the server accepts QUIT. If it does
        // not, the messages are still there and must be deleted next time.
        if (!pop3.Disconnect() && !m_deletedThisSession.empty()) {
            log.Write("QUIT failed on %s (%s): %d deletions will be tried again",
                      pop3.GetHost().c_str(), pop3.GetErrorText().c_str(),
                      static_cast<int>(m_deletedThisSession.size()));
            auto lock = m_history.Lock();
            for (CEmailData* email : m_deletedThisSession) {
                if (m_history.IndexOf(email) >= 0) {
                    email->m_todo |= DeleteFromServer;
                    email->MarkDirty();
                }
            }
            m_scanErrors = true;
        }
        m_deletedThisSession.clear();
    }
    if (m_owner) {
        m_owner->OnProgress(IEngineOwner::PL_Accounts, static_cast<int>(accounts.size()));
    }
    if (newOnServer > 0 && !m_abortRequested) {
        StringList senders = m_newMailSenders;
        RemoveDuplicates(senders);
        std::string text = "You've got mail from ";
        JoinList(text, senders, true);
        int type = settings.GetInt("NotificationType", "General", 2147483647);
        if ((type == 1 || type == 2) && m_owner) {
            m_owner->OnNewMail(type, text);
        }
    }
    if (!m_abortRequested) {
        m_history.SaveAll();
        // After the save, when the new records have their ids.
        SavePendingUidls();
        SeeAboutCleaningUpHistory();
    }
    m_pendingUidls.clear();
    if (!m_cleanScan) {
        m_scanErrors = true;
    }
    m_scanning = false;
    if (m_owner) {
        m_owner->OnScanDone(newOnServer, newEmails);
    }
    log.Write("|: ScanServers done.\n");
    m_busy = false;
}

bool CInboxWardenEngine::NumbersHold() const {
    if (m_numbersSession == 0 || (m_pop3 && m_pop3->GetSessionNumber() == m_numbersSession)) {
        return true;
    }
    MainLog().Write("The connection to %s was made anew: message numbers wait for the next scan",
                    m_pop3 ? m_pop3->GetHost().c_str() : "");
    return false;
}

bool CInboxWardenEngine::FetchTokens(const std::string& account,
                                     CConnectionSettings::Server& popServer,
                                     CConnectionSettings::Server& smtpServer) {
    CSettings& settings = Settings();
    for (CConnectionSettings::Server* server : {&popServer, &smtpServer}) {
        if (!server->oauth) {
            continue;
        }
        std::string error;
        int state = CConnectionSettings::FetchToken(settings, *server, error, &m_abortRequested);
        if (state == 0) {
            continue;
        }
        const char* what = server == &popServer ? account.c_str() : "the SMTP server";
        if (state == static_cast<int>(CAccessTokens::State::SignInExpired)) {
            SetStatus("Error: %s for %s: sign in again", CAccessTokens::kExpiredText, what);
            // The window tells the user: this one does not mend itself.
            if (m_owner) {
                m_owner->OnAccountFailed(server->oauthAccount, CAccessTokens::kExpiredText);
            }
        } else {
            SetStatus("Error: No OAuth2 access for %s: %s", what, error.c_str());
        }
        return false;
    }
    return true;
}

std::unique_ptr<CEmailData> CInboxWardenEngine::NewFetchedRecord(const std::string& account,
                                                                 const CMailContent& message,
                                                                 int number) {
    auto email = std::make_unique<CEmailData>(
        account, static_cast<uint32_t>(time(nullptr)), message.m_from, message.m_subject,
        static_cast<uint32_t>(message.m_bodyHash), message.m_body, message.m_dateText,
        static_cast<uint32_t>(message.m_size), ES_Unknown, 0, "", "", number);
    // Only the challenge guard reads this; it is never stored.
    email->m_mailKind = message.GetMailKind();
    email->m_header = message.m_header.substr(0, kMaxKeptHeader);
    email->m_messageId = message.m_messageId;
    return email;
}

int CInboxWardenEngine::DownloadEmails(std::vector<std::unique_ptr<CEmailData>>& emails,
                                       const std::string& account) {
    CLogFile& log = MainLog();
    int n = m_pop3->GetNumMessages();
    if (m_owner) {
        m_owner->OnProgressRange(IEngineOwner::PL_Messages, n);
    }
    if (n < 0) {
        // The mailbox could not be counted: nothing of it may count as
        // collected by the user's mail program.
        m_cleanScan = false;
        SetStatus("Error (%s) getting message %d/%d on %s from %s", m_pop3->GetErrorText().c_str(),
                  0, n, m_pop3->GetHost().c_str(), account.c_str());
        return 0;
    }
    // Numbers hold within one session only. After a reconnect the records
    // fetched before are found again by content from the first message on,
    // as the next scan would find them; the ones not found keep no number
    // and wait for that scan.
    unsigned session = m_pop3->GetSessionNumber();
    std::vector<CEmailData*> stale;
    int reconnects = 0;
    for (int i = 1; i <= n; ++i) {
        if (m_abortRequested) {
            return 0;
        }
        FetchStep step = FetchOne(i, n, account, emails);
        if (step == FS_Lost) {
            return i;
        }
        if (m_pop3->GetSessionNumber() != session) {
            session = m_pop3->GetSessionNumber();
            if (++reconnects > kMaxReconnects) {
                log.Write("Reconnected %d times to %s: the rest waits for the next scan",
                          reconnects - 1, m_pop3->GetHost().c_str());
                return i;
            }
            stale.clear();
            for (auto& email : emails) {
                email->m_serverId = 0;
                stale.push_back(email.get());
            }
            i = 0;
            continue;
        }
        if (step == FS_Fetched && !stale.empty()) {
            CEmailData* fetched = emails.back().get();
            auto same = std::find_if(stale.begin(), stale.end(), [&](CEmailData* record) {
                return record->IsSameEmail(*fetched);
            });
            if (same != stale.end()) {
                (*same)->m_serverId = fetched->m_serverId;
                stale.erase(same);
                emails.pop_back();
            }
        }
    }
    if (m_owner) {
        m_owner->OnProgress(IEngineOwner::PL_Messages, n);
    }
    return n;
}

CInboxWardenEngine::FetchStep CInboxWardenEngine::FetchOne(
    int number, int& total, const std::string& account,
    std::vector<std::unique_ptr<CEmailData>>& emails) {
    CLogFile& log = MainLog();
    if (m_owner) {
        m_owner->OnProgress(IEngineOwner::PL_Messages, number);
    }
    SetStatus(".Getting email %d/%d from %s...", number, total, account.c_str());
    CMailContent message;
    if (m_pop3->GetMessage(number, message, 500)) {
        auto email = NewFetchedRecord(account, message, number);
        // Masked before the record is logged, compared or stored.
        MaskCommand(*email);
        log.Write("Downloading %s", email->GetLabel().c_str());
        emails.push_back(std::move(email));
        return FS_Fetched;
    }
    m_cleanScan = false;
    SetStatus("Error (%s) getting message %d/%d on %s from %s", m_pop3->GetErrorText().c_str(),
              number, total, m_pop3->GetHost().c_str(), account.c_str());
    m_pop3->Disconnect();
    if (!m_pop3->Connect()) {
        log.Write("Could not Disconnect and Reconnect... Aborting");
        return FS_Lost;
    }
    total = m_pop3->GetNumMessages();
    return FS_Reconnected;
}

void CInboxWardenEngine::MatchWithHistory(std::vector<std::unique_ptr<CEmailData>>& emails,
                                          const std::string& account, int& newOnServer,
                                          int& newEmails, UidlScan* uidl) {
    CLogFile& log = MainLog();
    // Indexes of the fetched records stand in for the walks over the whole
    // history for each of them: one pass over the history answers, for every
    // fetched record, whether an equal record exists and whether one with the
    // same sender and subject does.
    const size_t count = emails.size();
    std::unordered_multimap<size_t, size_t> bySame;
    std::unordered_multimap<size_t, size_t> byPair;
    bySame.reserve(count);
    byPair.reserve(count);
    std::vector<size_t> sameHash(count);
    std::vector<size_t> pairHash(count);
    for (size_t i = 0; i < count; ++i) {
        pairHash[i] = SenderSubjectHash(*emails[i]);
        sameHash[i] = SameEmailHash(*emails[i]);
        bySame.emplace(sameHash[i], i);
        byPair.emplace(pairHash[i], i);
    }
    std::vector<char> known(count, 0);
    if (uidl) {
        uidl->equal.assign(count, {});
    }
    // Every fetched record equal to record, or with its sender and subject.
    auto markEqual = [&](CEmailData& record, size_t hash) {
        auto range = bySame.equal_range(hash);
        for (auto it = range.first; it != range.second; ++it) {
            if (emails[it->second] && record.IsSameEmail(*emails[it->second])) {
                known[it->second] = 1;
                if (uidl) {
                    uidl->equal[it->second].push_back(&record);
                }
            }
        }
    };
    auto markDuplicates = [&](const CEmailData& record, size_t hash) {
        auto range = byPair.equal_range(hash);
        for (auto it = range.first; it != range.second; ++it) {
            if (emails[it->second] && SameSenderSubject(record, *emails[it->second])) {
                emails[it->second]->m_duplicate = true;
            }
        }
    };
    const bool logging = log.IsEnabled();
    {
        auto lock = m_history.Lock();
        int historyCount = m_history.GetCount();
        for (int i = 0; i < historyCount; ++i) {
            CEmailData* record = m_history.GetAt(i);
            if (!record) {
                continue;
            }
            markDuplicates(*record, SenderSubjectHash(*record));
            size_t hash = SameEmailHash(*record);
            markEqual(*record, hash);
            if (record->m_account != account) {
                continue;
            }
            record->m_serverId = 0;
            // The first equal fetched record, in fetched order.
            CEmailData* found = nullptr;
            size_t foundIndex = count;
            auto range = bySame.equal_range(hash);
            for (auto it = range.first; it != range.second; ++it) {
                if (it->second < foundIndex && record->IsSameEmail(*emails[it->second])) {
                    foundIndex = it->second;
                    found = emails[it->second].get();
                }
            }
            // A record known by its unique id is on the server at that number,
            // unless an equal message was fetched at a lower one.
            if (uidl) {
                auto byId = uidl->known.find(record);
                if (byId != uidl->known.end() && (!found || byId->second < found->m_serverId)) {
                    record->m_serverId = byId->second;
                    continue;
                }
            }
            if (found) {
                record->m_serverId = found->m_serverId;
                if (logging) {
                    log.Write("Emails found equal, cloning ID on server: %s\n%s",
                              found->Dump("just found:").c_str(), record->Dump("current:").c_str());
                }
            } else if (m_cleanScan && record->m_status == ES_OnServer) {
                record->m_status = ES_Delivered;
                record->MarkDirty();
                log.Write("Could not find email, setting as Delivered:\n%s",
                          record->Dump().c_str());
            }
        }
    }
    bool changed = false;
    for (size_t i = 0; i < count; ++i) {
        if (m_abortRequested) {
            break;
        }
        if (known[i]) {
            continue;
        }
        CEmailData* email = emails[i].release();
        if (uidl) {
            uidl->equal[i].push_back(email);
        }
        // Later fetched records now find this one in the history.
        markEqual(*email, sameHash[i]);
        markDuplicates(*email, pairHash[i]);
        m_history.Add(email);
        FilterNewEmail(email);
        if (email->m_status == ES_OnServer) {
            m_newMailSenders.push_back(email->m_sender);
            ++newOnServer;
        } else if (email->m_status == ES_Quarantined && m_owner) {
            m_owner->OnQuarantined(email->m_sender);
        }
        ++newEmails;
        changed = true;
    }
    if (changed && m_owner) {
        m_owner->OnHistoryChanged();
    }
}
