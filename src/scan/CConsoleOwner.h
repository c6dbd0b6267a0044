#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "engine/IEngineOwner.h"

// The command-line scanner's owner of the engine: status lines, progress and
// the new-mail announcement go to the terminal.
class CConsoleOwner : public IEngineOwner {
public:
    explicit CConsoleOwner(FILE* out = stdout, FILE* err = stderr) : m_out(out), m_err(err) {}

    void OnStatus(int levels, const std::string& text) override;
    void OnProgressRange(int line, int maximum) override;
    void OnProgress(int line, int position) override;
    void OnScanStarted() override;
    void OnScanDone(int newLeftOnServer, int newMessages) override;
    void OnHistoryChanged() override {}
    void OnNewMail(int notificationType, const std::string& text) override;
    void OnDatabaseError(const std::string& caption, const std::string& text) override;
    void OnCloseProgram() override;
    bool OnOpenWithDesktop(const std::string& target) override;

    // The signal sent to this process when a scan ends or the program is
    // asked to close, so that a thread waiting for signals wakes at once.
    void SetWakeSignal(int signal) { m_wakeSignal = signal; }

    unsigned ScansDone() const { return m_scansDone; }
    bool CloseRequested() const { return m_closeRequested; }

    // The status text as a terminal line: the log's continuation marks and
    // line breaks at its start do not belong on a terminal.
    static std::string TerminalLine(const std::string& text);

private:
    FILE* m_out;
    FILE* m_err;
    std::mutex m_lock;
    int m_accounts = 0;
    std::atomic<unsigned> m_scansDone{0};
    std::atomic<bool> m_closeRequested{false};
    std::atomic<int> m_wakeSignal{0};

    void Wake();
};
