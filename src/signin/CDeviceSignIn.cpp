#include "signin/CDeviceSignIn.h"

#include <chrono>
#include <thread>

#include "signin/CAccessTokens.h"
#include "signin/COAuthSettings.h"
#include "signin/CTokenClient.h"

bool CDeviceSignIn::Sleep(int seconds) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(seconds * m_secondMs);
    while (std::chrono::steady_clock::now() < end) {
        if (m_abort && m_abort->load()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(100, m_secondMs)));
    }
    return !(m_abort && m_abort->load());
}

bool CDeviceSignIn::Run(const Say& say, std::string& error) {
    COAuthSettings oauth = COAuthSettings::Read(m_settings, m_account);
    std::string missing = oauth.Missing();
    if (!missing.empty()) {
        error = "OAuth2 sign-in not set up for " + m_account + ": " + missing;
        return false;
    }
    CTokenClient client(oauth);
    client.SetAbortFlag(m_abort);
    CTokenClient::DeviceCode code;
    CTokenClient::Result result = client.StartDevice(code);
    if (!result.Ok()) {
        error = result.error;
        return false;
    }
    say("To sign in " + m_account + ", open " + code.verificationUri + " and enter the code " +
        code.userCode);
    int interval = code.interval;
    // The code's lifetime bounds the polls, whatever the server answers.
    auto end = std::chrono::steady_clock::now() +
               std::chrono::milliseconds(static_cast<long long>(code.expiresIn) * m_secondMs);
    while (std::chrono::steady_clock::now() < end) {
        if (!Sleep(interval)) {
            error = "Sign-in cancelled";
            return false;
        }
        CTokenClient::Tokens tokens;
        result = client.PollDevice(code, tokens);
        switch (result.outcome) {
            case CTokenClient::Outcome::Ok:
                if (!CAccessTokens::Instance().CompleteSignIn(
                        m_settings, m_profile, m_account, tokens.accessToken, tokens.refreshToken,
                        tokens.expiresIn, error)) {
                    return false;
                }
                say("Signed in as " + oauth.user);
                return true;
            case CTokenClient::Outcome::Pending:
                break;
            case CTokenClient::Outcome::SlowDown:
                // RFC 8628 3.5: five seconds more from now on.
                interval = std::min(interval + 5, 120);
                break;
            default:
                error = result.error;
                return false;
        }
    }
    error = "The sign-in code ran out before the sign-in was completed";
    return false;
}
