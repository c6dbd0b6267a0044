#include "engine/CInboxWardenEngine.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "engine/IEngineOwner.h"
#include "history/CInboxWardenDb.h"
#include "lists/CFilterLists.h"
#include "support/CAppEnvironment.h"
#include "support/Scramble.h"

namespace {
std::atomic<CInboxWardenEngine*> g_engine{nullptr};

// A log with no environment behind it (never opened) swallows what it is given.
CLogFile& NullLog() {
    static CLogFile log("", "");
    return log;
}
}  // namespace

CInboxWardenEngine::CInboxWardenEngine()
    : m_inetLog(
          CAppEnvironment::Instance() ? CAppEnvironment::Instance()->GetProgramFolder() : "",
          CAppEnvironment::Instance() ? CAppEnvironment::Instance()->GetAppName() : "InboxWarden") {
    g_engine = this;
}

CInboxWardenEngine::~CInboxWardenEngine() {
    m_abortRequested = true;
    {
        std::lock_guard<std::mutex> guard(m_wakeLock);
        m_stopRequested = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_owner) {
        CInboxWardenDb::Instance().SetNoticeCallback(nullptr);
    }
    CInboxWardenEngine* self = this;
    g_engine.compare_exchange_strong(self, nullptr);
}

CInboxWardenEngine* CInboxWardenEngine::Instance() {
    return g_engine;
}

CSettings& CInboxWardenEngine::Settings() const {
    return CAppEnvironment::Instance()->GetSettings();
}

CLogFile& CInboxWardenEngine::MainLog() const {
    CAppEnvironment* env = CAppEnvironment::Instance();
    return env ? env->GetMainLog() : NullLog();
}

std::string CInboxWardenEngine::DataFolder() const {
    CAppEnvironment* env = CAppEnvironment::Instance();
    std::string folder = env ? env->GetDataFolder() : std::string(".");
    // Paths below it add their own separator.
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    return folder;
}

bool CInboxWardenEngine::Initialize(IEngineOwner* owner) {
    m_inetLog.Open("Inet", CLogFile::LF_Enabled, 10);
    m_owner = owner;
    if (m_owner) {
        CInboxWardenDb::Instance().SetNoticeCallback(
            [this](const std::string& caption, const std::string& text) {
                m_owner->OnDatabaseError(caption, text);
            });
    }
    ReadSettings(true);
    if (m_history.LoadAll() == -1) {
        return false;
    }
    char tag[64];
    snprintf(tag, sizeof tag, "[InboxWardenChallenge:%x]", GetMachineNumber());
    m_challengeTag = tag;
    CChallengeKey::LoadResult key = m_challengeKey.Load(DataFolder(), &MainLog());
    if (key == CChallengeKey::LR_Replaced || key == CChallengeKey::LR_Temporary) {
        SetStatus("%s", key == CChallengeKey::LR_Replaced
                            ? "The challenge key was damaged and has been replaced"
                            : "The challenge key could not be kept: replies to this run's "
                              "challenges are recognised until the program ends");
    }
    m_thread = std::thread([this] { ScanThread(); });
    return true;
}

void CInboxWardenEngine::ReadSettings(bool initial) {
    CSettings& settings = Settings();
    int interval = settings.GetInt("Interval", "General", 15);
    bool inMinutes = settings.GetBool("IntervalInMinutes", "General", true);
    long long seconds = inMinutes ? static_cast<long long>(interval) * 60 : interval;
    if (seconds < 15) {
        seconds = 15;
    }
    // A week is far beyond any sensible interval, and keeps the wait's
    // step count within range.
    if (seconds > 7 * 24 * 3600) {
        seconds = 7 * 24 * 3600;
    }
    m_interval = static_cast<int>(seconds);
    bool logging = settings.GetBool("EnableLogging", "General", false);
    m_inetLog.SetEnabled(logging);
    MainLog().SetEnabled(logging);
    MainLog().Write("CInboxWardenEngine read its settings, interval: %d, in minutes: %d",
                    m_interval.load(), inMinutes ? 1 : 0);
    if (!initial) {
        m_autoScan = settings.GetBool("AutoScan", "General", false) &&
                     !settings.GetBool("DontScanWhileInForeground", "General", false);
        // The environment keeps the data folder; every path below it asks there.
        if (CAppEnvironment* env = CAppEnvironment::Instance()) {
            env->ReloadDataFolder();
        }
    }
}

void CInboxWardenEngine::ScanThread() {
    while (true) {
        if (m_scanRequested || m_autoScan) {
            m_scanRequested = false;
            ScanServers();
        }
        long long steps = 2LL * m_interval;
        for (long long i = 0; i < steps; ++i) {
            if (m_scanRequested) {
                break;
            }
            if (m_stopRequested) {
                m_stopRequested = false;
                return;
            }
            WaitStep();
        }
        if (m_stopRequested) {
            m_stopRequested = false;
            return;
        }
    }
}

void CInboxWardenEngine::RequestScan() {
    {
        std::lock_guard<std::mutex> guard(m_wakeLock);
        m_scanRequested = true;
    }
    m_wake.notify_all();
}

void CInboxWardenEngine::WaitStep() {
    std::unique_lock<std::mutex> lock(m_wakeLock);
    m_wake.wait_for(lock, std::chrono::milliseconds(500),
                    [this] { return m_scanRequested || m_stopRequested; });
}

bool CInboxWardenEngine::WaitWhileBusy(const char* sourceFile, int line) {
    for (int i = 0; i < kBusyWaitSteps && m_busy; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (m_busy) {
        MainLog().WriteAt(sourceFile, line, "|: m_busy timed out.");
        m_busy = false;
        return false;
    }
    return true;
}

void CInboxWardenEngine::Notify(int levels, const std::string& text) {
    if (m_owner) {
        m_owner->OnStatus(levels, text);
    }
}

void CInboxWardenEngine::SetStatus(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = StringPrintfV(format, args);
    va_end(args);
    Notify(IEngineOwner::SL_Line1, text);
}

void CInboxWardenEngine::SetStatusLevel(int levels, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = StringPrintfV(format, args);
    va_end(args);
    Notify(levels, text);
}

bool CInboxWardenEngine::EndReadOnlyIfFriends() {
    if (!m_readOnlyUntilFriends || CFilterLists::Instance().GetCount(FL_Friends) == 0 ||
        !m_readOnlyUntilFriends.exchange(false)) {
        return false;
    }
    m_readOnly = false;
    MainLog().Write("The Friends list has entries: read-only mode ends");
    SetStatus("Read-only mode ended: your Friends list has entries");
    return true;
}

void CInboxWardenEngine::MarkForDeletion(CEmailData* email) {
    auto lock = m_history.Lock();
    email->m_todo |= DeleteFromServer;
    email->m_reason = ER_User;
    email->m_status = ES_Deleted;
    email->MarkDirty();
    m_history.NotifyChanged();
}

void CInboxWardenEngine::MarkForRestore(CEmailData* email) {
    auto lock = m_history.Lock();
    email->m_todo |= RestoreEmail;
    email->m_reason = ER_User;
    email->m_status = ES_OnServer;
    email->MarkDirty();
    m_history.NotifyChanged();
}

void CInboxWardenEngine::RestoreAllFromSender(const std::string& sender, bool addToFriends) {
    {
        auto lock = m_history.Lock();
        int count = m_history.GetCount();
        for (int i = 0; i < count; ++i) {
            CEmailData* email = m_history.GetAt(i);
            if (email && email->m_sender == sender) {
                MarkForRestore(email);
            }
        }
    }
    if (addToFriends) {
        CFilterLists::Instance().AddWord(sender, FL_Friends);
    }
}

int CInboxWardenEngine::Today() {
    return static_cast<int>(time(nullptr) / 86400);
}

std::string CInboxWardenEngine::FormatNow(bool shortForm) {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char text[64];
    strftime(text, sizeof text, shortForm ? "%b %d %H:%M" : "%b %d %y %H:%M", &local);
    return text;
}
