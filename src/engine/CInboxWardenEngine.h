#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/CChallengeKey.h"
#include "engine/CConnectionSettings.h"
#include "history/CAuthServIds.h"
#include "history/CChallengeLog.h"
#include "history/CEmailData.h"
#include "history/CEmailHistory.h"
#include "support/CLogFile.h"
#include "support/StringUtils.h"

class CPOP3;
class CSMTP;
class CMailContent;
class CSettings;
class IEngineOwner;

// Pending-task bits of a record (stored in the database).
enum TodoBits : uint32_t {
    DeleteFromServer = 0x02,
    RestoreSender = 0x04,
    Challenge = 0x08,
    RestoreEmail = 0x20,
    WelcomeSender = 0x40,
    Instruction = 0x80,
    AddSenderToFriends = 0x100,
};

// Reason codes of a record's status (stored in the database).
enum ReasonCodes : uint32_t {
    ER_None = 0,
    ER_Friend = 0x2,
    ER_Undesirable = 0x4,
    ER_Good = 0x8,
    ER_BadSubject = 0x10,
    ER_Looping = 0x20,
    ER_Registration = 0x40,
    ER_UnknownSender = 0x100,
    ER_User = 0x200,
    ER_AutoSender = 0x400,
    ER_TooBig = 0x800,
    ER_UserMailBounced = 0x1000,
    ER_Instruction = 0x8000,
};

// The filtering engine: owns the history and a worker thread that scans the
// accounts on request or on the interval. It reports only through its owner.
class CInboxWardenEngine {
public:
    CInboxWardenEngine();
    // Asks a running scan to abort and waits for the worker thread, so that
    // nothing runs on a destroyed engine.
    ~CInboxWardenEngine();
    CInboxWardenEngine(const CInboxWardenEngine&) = delete;
    CInboxWardenEngine& operator=(const CInboxWardenEngine&) = delete;

    // The one engine of the process, or nullptr.
    static CInboxWardenEngine* Instance();

    // Opens the traffic log, reads the settings, loads the history and starts
    // the worker thread. False when the history could not be loaded.
    bool Initialize(IEngineOwner* owner);
    void ReadSettings(bool initial);

    void RequestScan();
    void AbortScan() { m_abortRequested = true; }
    void SetAutoScan(bool on) { m_autoScan = on; }
    bool GetAutoScan() const { return m_autoScan; }
    bool IsScanning() const { return m_scanning; }
    void SetReadOnly(bool on) { m_readOnly = on; }
    // Read-only because the Friends list is empty: it ends by itself once
    // the list has an entry (see EndReadOnlyIfFriends).
    void SetReadOnlyUntilFriends() {
        m_readOnly = true;
        m_readOnlyUntilFriends = true;
    }
    // Ends the read-only mode of SetReadOnlyUntilFriends when the Friends
    // list has an entry, with a status line; true when it ended now. Either
    // thread may ask.
    bool EndReadOnlyIfFriends();
    bool IsReadOnly() const { return m_readOnly; }
    int GetInterval() const { return m_interval; }
    // The installation's single tag of old; it recognises no reply any more.
    const std::string& GetChallengeTag() const { return m_challengeTag; }
    // The tag of the challenge to this sender's address: only a reply from
    // that address carrying it registers.
    std::string GetChallengeTag(const std::string& sender) const {
        return m_challengeKey.TagFor(sender);
    }
    CChallengeLog& GetChallengeLog() { return m_challengeLog; }
    CAuthServIds& GetAuthServIds() { return m_authServIds; }
    // The authserv-ids whose Authentication-Results the account's server
    // wrote: the account's `AuthServId` (several may be listed), else the one
    // learned from its mail; empty when verification is not available.
    std::vector<std::string> TrustedServIds(const std::string& account);
    // Scans started since the engine started (for owners that wait for one).
    unsigned GetScanCount() const { return m_scanCount; }
    // The clean-scan flag of the last scan: no message failed to fetch.
    bool WasCleanScan() const { return m_cleanScan; }
    // True when the last scan could not reach an account or fetch a message.
    bool LastScanHadErrors() const { return m_scanErrors; }

    // The main window's visits of the two lists (day numbers).
    void SetDeletedVisitDay(int day) { m_deletedVisitDay = day; }
    void SetQuarantinedVisitDay(int day) { m_quarantinedVisitDay = day; }

    CEmailHistory& GetHistory() { return m_history; }
    CLogFile& GetInetLog() { return m_inetLog; }

    // User commands; the next scan carries them out.
    void MarkForDeletion(CEmailData* email);
    void MarkForRestore(CEmailData* email);
    void RestoreAllFromSender(const std::string& sender, bool addToFriends);

    // Status line 1.
    void SetStatus(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void SetStatusLevel(int levels, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Scan cycle.
    void ScanServers();
    // The record of a message just fetched with TOP, at number on the server.
    // The access tokens of the servers that log in with OAuth2; false, with
    // a status line, when one cannot be had (the account is then skipped).
    bool FetchTokens(const std::string& account, CConnectionSettings::Server& popServer,
                     CConnectionSettings::Server& smtpServer);
    static std::unique_ptr<CEmailData> NewFetchedRecord(const std::string& account,
                                                        const CMailContent& message, int number);
    int DownloadEmails(std::vector<std::unique_ptr<CEmailData>>& emails,
                       const std::string& account);
    enum FetchStep { FS_Fetched, FS_Reconnected, FS_Lost };
    // Fetches message number of total into emails. When it cannot be had,
    // the connection is made anew (total is then the server's new count) or
    // is lost.
    FetchStep FetchOne(int number, int& total, const std::string& account,
                       std::vector<std::unique_ptr<CEmailData>>& emails);
    // What the server's unique ids (UIDL) tell one account's scan.
    struct UidlScan {
        // Records recognised by their id, each with its lowest message number.
        std::unordered_map<CEmailData*, int32_t> known;
        // Per fetched record, in the fetched order: its id (empty when it has
        // none that may be kept) and its size on the server.
        std::vector<std::pair<std::string, uint32_t>> fetchedIds;
        // Filled by MatchWithHistory: per fetched record, every history record
        // equal to it (a new record is equal to itself).
        std::vector<std::vector<CEmailData*>> equal;
        // The account's stored ids that no longer hold: gone from the server,
        // or fetched again.
        std::vector<std::string> dropped;
    };
    // With uidl, the records in uidl->known count as found on the server at
    // their message number (a content match with a lower number wins, as it
    // would in a scan that fetched everything), and uidl->equal is filled.
    void MatchWithHistory(std::vector<std::unique_ptr<CEmailData>>& emails,
                          const std::string& account, int& newOnServer, int& newEmails,
                          UidlScan* uidl = nullptr);
    // Fetches only the messages whose unique id the account has not seen
    // (or whose size changed). False when the server has no usable UIDL or
    // LIST answer and nothing was fetched: the caller falls back on
    // DownloadEmails.
    bool DownloadByUidl(std::vector<std::unique_ptr<CEmailData>>& emails,
                        const std::string& account, UidlScan& uidl);
    // The next scan fetches every message and matches by content only, as a
    // server without UIDL gets (for diagnosis).
    void RequestFullScan() { m_fullScanOnce = true; }

    // Filter decision and tasks.
    void FilterNewEmail(CEmailData* email);
    // subject with the password of a remote command ("[iw:secret ping]")
    // shown as "[iw:*** ping]"; matched tells whether it was password.
    static std::string MaskCommandPassword(const std::string& subject, const std::string& password,
                                           bool* matched = nullptr);
    // Why a new command may not be obeyed (stale, or obeyed before), as the
    // reason details say it; empty when it may, and it is then noted as
    // obeyed.
    std::string CommandRefusal(const CEmailData& email);
    // Masks a new record's subject and notes in m_command whether it held
    // the password.
    void MaskCommand(CEmailData& email);
    void ProcessTasks(const std::string& account);

    // Quarantine and restore.
    bool SaveToQuarantine(CEmailData* email);
    bool RestoreEmailPrivate(CEmailData* email);
    int32_t RestoreEmailsFromSenderPrivate(const std::string& sender);
    // True when the record's quarantine copy is on disk, saving it now if
    // needed: a message may leave the server only when a copy of it is kept.
    bool EnsureSavedCopy(CEmailData* email);
    // Whether the record's saved copy holds exactly the bytes of its message
    // on the server (compared anew unless this session made it); when not,
    // whether the message at its number is still this record's.
    enum CopyCheck { CC_Exact, CC_Inexact, CC_NotThisMessage };
    CopyCheck CheckSavedCopy(const CEmailData& email);
    // The account's quarantine folder, ending without "/".
    std::string GetQuarantineFolder(const std::string& account) const;

    // Outgoing mail through the current SMTP client.
    bool SendChallenge(CEmailData* email);
    bool SendEmail(const std::string& account, const std::string& from, const std::string& to,
                   const std::string& subject, const std::string& body);
    bool SendRawEmail(const std::string& account, CMailContent& message);
    static std::string FormatNow(bool shortForm);
    static std::string InternalChallengeBody();
    static std::string MailFooter();

    // History cleanup.
    void SeeAboutCleaningUpHistory();
    void CleanupHistory(int minDay);
    static int Today();

    // The clients of the account being scanned; tests set them directly.
    void SetCurrentClients(CPOP3* pop3, CSMTP* smtp) {
        m_numbersSession = 0;
        m_exactCopies.clear();
        m_pop3 = pop3;
        m_smtp = smtp;
    }

    static constexpr int kBusyWaitSteps = 100;
    // Reconnects one account's fetch may make before the rest waits for the
    // next scan.
    static constexpr int kMaxReconnects = 3;
    // One challenge per address in this many seconds, with the guard on.
    static constexpr uint32_t kChallengeQuietSeconds = 24 * 3600;

private:
    void ScanThread();
    // The worker's half-second wait, cut short by a scan or stop request.
    void WaitStep();
    // The cleanup itself, for a caller that holds the busy flag.
    void CleanupHistoryBusy(int minDay);
    // The busy-flag wait: false when it timed out (the flag is then cleared).
    bool WaitWhileBusy(const char* sourceFile, int line);
    void Notify(int levels, const std::string& text);
    // Why the guard lets no challenge go to this new record's sender, as the
    // reason details say it; empty when one may go.
    std::string ChallengeGuardReason(const CEmailData& email);
    bool AlreadyChallenged(const std::string& address);
    // Why no challenge goes to this new record's sender because the address
    // may not be real (not verified by the account's server, or a no-reply
    // address); empty when one may go.
    std::string VerificationGuardReason(const CEmailData& email);
    // Counts the new record's header towards learning its server's id.
    void NoteAuthServId(const CEmailData& email);
    std::string DataFolder() const;
    CSettings& Settings() const;
    CLogFile& MainLog() const;
    // One record's pending tasks; true when they held a remote "shutdown".
    bool ProcessRecordTasks(CEmailData* email);
    // The remote commands in an instruction's subject; true when one of them
    // was carried out.
    bool ObeyInstruction(CEmailData* email, const std::string& lowerSender,
                         const std::string& lowerSubject, size_t bracket, bool& shutdown);

    // Fields in the order of the engine's description.
    std::atomic<int> m_interval{600};
    std::atomic<int> m_deletedVisitDay{0};
    std::atomic<int> m_quarantinedVisitDay{0};
    std::atomic<bool> m_busy{false};
    std::atomic<bool> m_scanRequested{false};
    std::atomic<bool> m_abortRequested{false};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_autoScan{false};
    std::atomic<bool> m_cleanScan{false};
    std::thread m_thread;
    std::mutex m_wakeLock;
    std::condition_variable m_wake;
    CEmailHistory m_history;
    IEngineOwner* m_owner = nullptr;
    CLogFile m_inetLog;
    std::string m_challengeTag;
    CChallengeKey m_challengeKey;
    CChallengeLog m_challengeLog{CInboxWardenDb::Instance()};
    CAuthServIds m_authServIds{CInboxWardenDb::Instance()};
    StringList m_newMailSenders;
    CPOP3* m_pop3 = nullptr;
    CSMTP* m_smtp = nullptr;

    // Loop detection.
    std::string m_loopKey;
    int32_t m_loopCount = 0;
    bool m_detailedLog = false;

    std::atomic<bool> m_readOnly{false};
    std::atomic<bool> m_readOnlyUntilFriends{false};
    std::atomic<bool> m_scanning{false};
    std::atomic<bool> m_scanErrors{false};
    std::atomic<unsigned> m_scanCount{0};
    int m_lastCheckDay = 0;
    // Records whose deletion the POP3 server accepted in this connection;
    // the deletions happen only if it also accepts QUIT.
    std::vector<CEmailData*> m_deletedThisSession;
    // The POP3 session whose message numbers the records hold; 0 when none
    // was pinned (a caller that sets the clients itself).
    unsigned m_numbersSession = 0;
    // Quarantine files written from the server's bytes, with the POP3
    // session they were fetched in.
    std::unordered_map<std::string, unsigned> m_exactCopies;

    // Ids learnt in this scan, written once the records have their ids.
    struct PendingUidls {
        std::string account;
        std::vector<std::string> dropped;
        std::vector<std::pair<std::pair<std::string, uint32_t>, CEmailData*>> added;
    };
    void NoteUidls(const std::string& account, UidlScan& uidl);
    // Gives the fetched records and the records known by id the numbers
    // their ids have in numberNow: none (0) for a fetched record, and no
    // entry in uidl.known, when the id is not there or numberNow is null.
    void Renumber(std::vector<std::unique_ptr<CEmailData>>& emails,
                  const std::unordered_map<CEmailData*, std::string>& knownUid, UidlScan& uidl,
                  const std::unordered_map<std::string, int>* numberNow);
    // True while the POP3 session is the one the records' numbers come
    // from (or no scan pinned one).
    bool NumbersHold() const;
    void SavePendingUidls();
    std::vector<PendingUidls> m_pendingUidls;
    std::atomic<bool> m_fullScanOnce{false};
};
