#pragma once

#include <functional>
#include <string>

// What the update check needs from its window; tests drive it without one.
class IUpdateUi {
public:
    virtual ~IUpdateUi() = default;

    // Shows the text with OK and/or Cancel enabled and waits for one:
    // 1 for OK, 2 for Cancel.
    virtual int Ask(const std::string& text, bool okEnabled, bool cancelEnabled) = 0;
    // Shows a state that needs no answer; only Cancel may be offered.
    virtual void ShowBusy(const std::string& text, bool cancelEnabled) = 0;
    // Runs slow work (a transfer) so that the window stays responsive;
    // returns when the work is done.
    virtual void RunSlow(const std::function<void()>& work) = 0;
    // Download progress in tenths of a percent, 0 to 1000; called from the
    // thread that runs the slow work.
    virtual void OnProgress(int tenths) = 0;
    // The user pressed Cancel during the slow work; read from that thread.
    virtual bool IsCancelled() const = 0;
    // The check is over and its window may close.
    virtual void Close() = 0;
    // The installer was saved at this path.
    virtual void OnInstallerWritten(const std::string& path) = 0;
};
