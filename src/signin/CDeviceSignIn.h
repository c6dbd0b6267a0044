#pragma once

#include <atomic>
#include <functional>
#include <string>

class CSettings;

// The device authorization grant (RFC 8628) for one account, for machines
// without a browser: shows the verification address and code through say,
// polls the token endpoint at the interval the server gives (slower when it
// asks), and keeps the sign-in. Bounded by the code's lifetime and the abort
// flag.
class CDeviceSignIn {
public:
    using Say = std::function<void(const std::string&)>;

    CDeviceSignIn(CSettings& settings, std::string profile, std::string account)
        : m_settings(settings), m_profile(std::move(profile)), m_account(std::move(account)) {}

    void SetAbortFlag(const std::atomic<bool>* abort) { m_abort = abort; }
    // Tests shorten the poll interval (milliseconds per second the server asks).
    void SetSecondLength(int milliseconds) { m_secondMs = milliseconds; }

    // True once the refresh token is stored; error says why not.
    bool Run(const Say& say, std::string& error);

private:
    // False when aborted.
    bool Sleep(int seconds) const;

    CSettings& m_settings;
    std::string m_profile;
    std::string m_account;
    const std::atomic<bool>* m_abort = nullptr;
    int m_secondMs = 1000;
};
