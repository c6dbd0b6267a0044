#pragma once

#include <string>

// What the engine asks of whoever owns it: the main window, the command-line
// scanner, or a test. Every call may come from the engine's worker thread; an
// owner with widgets must hand them over to its own thread.
class IEngineOwner {
public:
    // Status levels, as bits: line 1, line 2, and a warning kept until the
    // owner can show it to the user.
    enum StatusLevel : int {
        SL_Line1 = 1,
        SL_Line2 = 2,
        SL_PendingWarning = 4,
    };
    // Progress lines: 0 follows the messages of an account, 1 the accounts.
    enum ProgressLine : int {
        PL_Messages = 0,
        PL_Accounts = 1,
    };

    virtual ~IEngineOwner() = default;

    virtual void OnStatus(int levels, const std::string& text) = 0;
    virtual void OnProgressRange(int line, int maximum) = 0;
    virtual void OnProgress(int line, int position) = 0;
    virtual void OnScanStarted() = 0;
    virtual void OnScanDone(int newLeftOnServer, int newMessages) = 0;
    virtual void OnHistoryChanged() = 0;
    // notificationType 1: three tones; 2: a message box the scan waits for.
    virtual void OnNewMail(int notificationType, const std::string& text) = 0;
    // An error box captioned "Database Error" (or the caption given).
    virtual void OnDatabaseError(const std::string& caption, const std::string& text) = 0;
    // A remote "shutdown": close the program, on the owner's own thread.
    virtual void OnCloseProgram() = 0;
    // Hands a file, folder, address or command to the desktop's open
    // operation as one argument, never through a shell. False when it failed.
    virtual bool OnOpenWithDesktop(const std::string& target) = 0;
    // A new message was kept in quarantine (sender as in its header).
    virtual void OnQuarantined(const std::string& /*sender*/) {}
    // The scan of an account could not reach or log in to its server; reason
    // "Sign-in expired" when its OAuth2 sign-in was refused.
    virtual void OnAccountFailed(const std::string& /*account*/, const std::string& /*reason*/) {}
};
