#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/IEngineOwner.h"

// An engine owner that records every call, for tests. Safe to call from the
// worker thread while a test reads it.
class RecordingOwner : public IEngineOwner {
public:
    struct ScanResult {
        int newLeftOnServer;
        int newMessages;
    };

    void OnStatus(int levels, const std::string& text) override;
    void OnProgressRange(int, int) override {}
    void OnProgress(int, int) override {}
    void OnScanStarted() override;
    void OnScanDone(int newLeftOnServer, int newMessages) override;
    void OnHistoryChanged() override;
    void OnNewMail(int notificationType, const std::string& text) override;
    void OnDatabaseError(const std::string& caption, const std::string& text) override;
    void OnCloseProgram() override;
    bool OnOpenWithDesktop(const std::string& target) override;
    void OnAccountFailed(const std::string& account, const std::string& reason) override;

    // Waits until at least count scans are done; false on time-out.
    bool WaitForScans(size_t count, std::chrono::milliseconds limit);
    // Waits until at least count scans have started; false on time-out.
    bool WaitForScanStarts(size_t count, std::chrono::milliseconds limit);

    std::vector<std::string> Statuses(int levelMask = ~0) const;
    bool HasStatus(const std::string& text) const;
    bool HasStatusContaining(const std::string& part) const;
    std::vector<ScanResult> Scans() const;
    size_t ScanStarts() const;
    int HistoryChanges() const;
    std::vector<std::pair<int, std::string>> NewMail() const;
    std::vector<std::string> Notices() const;
    // "ACCOUNT: REASON" of each failed account.
    std::vector<std::string> FailedAccounts() const;
    std::vector<std::string> Opened() const;
    int CloseRequests() const;

    // What OnOpenWithDesktop answers; and a hook run inside OnScanStarted.
    bool openResult = true;
    std::function<void()> onScanStarted;

private:
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::pair<int, std::string>> m_statuses;
    std::vector<ScanResult> m_scans;
    size_t m_scanStarts = 0;
    int m_historyChanges = 0;
    std::vector<std::pair<int, std::string>> m_newMail;
    std::vector<std::string> m_notices;
    std::vector<std::string> m_failedAccounts;
    std::vector<std::string> m_opened;
    int m_closeRequests = 0;
};
