#include "RecordingOwner.h"

void RecordingOwner::OnStatus(int levels, const std::string& text) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_statuses.emplace_back(levels, text);
}

void RecordingOwner::OnScanStarted() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_scanStarts;
    }
    m_changed.notify_all();
    if (onScanStarted) {
        onScanStarted();
    }
}

void RecordingOwner::OnScanDone(int newLeftOnServer, int newMessages) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_scans.push_back({newLeftOnServer, newMessages});
    }
    m_changed.notify_all();
}

void RecordingOwner::OnHistoryChanged() {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_historyChanges;
}

void RecordingOwner::OnNewMail(int notificationType, const std::string& text) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_newMail.emplace_back(notificationType, text);
}

void RecordingOwner::OnDatabaseError(const std::string& caption, const std::string& text) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_notices.push_back(caption + ": " + text);
}

void RecordingOwner::OnAccountFailed(const std::string& account, const std::string& reason) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_failedAccounts.push_back(account + ": " + reason);
}

void RecordingOwner::OnCloseProgram() {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_closeRequests;
}

bool RecordingOwner::OnOpenWithDesktop(const std::string& target) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_opened.push_back(target);
    return openResult;
}

bool RecordingOwner::WaitForScans(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, limit, [&] { return m_scans.size() >= count; });
}

bool RecordingOwner::WaitForScanStarts(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, limit, [&] { return m_scanStarts >= count; });
}

std::vector<std::string> RecordingOwner::Statuses(int levelMask) const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::string> out;
    for (const auto& [levels, text] : m_statuses) {
        if (levels & levelMask) {
            out.push_back(text);
        }
    }
    return out;
}

bool RecordingOwner::HasStatus(const std::string& text) const {
    for (const auto& s : Statuses()) {
        if (s == text) {
            return true;
        }
    }
    return false;
}

bool RecordingOwner::HasStatusContaining(const std::string& part) const {
    for (const auto& s : Statuses()) {
        if (s.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::vector<RecordingOwner::ScanResult> RecordingOwner::Scans() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_scans;
}

size_t RecordingOwner::ScanStarts() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_scanStarts;
}

int RecordingOwner::HistoryChanges() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_historyChanges;
}

std::vector<std::pair<int, std::string>> RecordingOwner::NewMail() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_newMail;
}

std::vector<std::string> RecordingOwner::Notices() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_notices;
}

std::vector<std::string> RecordingOwner::FailedAccounts() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_failedAccounts;
}

std::vector<std::string> RecordingOwner::Opened() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_opened;
}

int RecordingOwner::CloseRequests() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_closeRequests;
}
