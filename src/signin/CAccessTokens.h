#pragma once

#include <atomic>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <string>

class CSettings;

// The OAuth2 access tokens of the process, in memory only, one per account,
// refreshed shortly before they expire with the refresh token from
// CRefreshTokenStore (a rotated one replaces the stored one). A refresh the
// server refuses (invalid_grant) marks the account "Sign-in expired" in the
// settings (OAuthSignInExpired) until the next sign-in. Both threads use it;
// no lock is held across a network call.
class CAccessTokens {
public:
    enum class State { Ok, SignInExpired, NotSignedIn, Failed };

    static CAccessTokens& Instance();

    // A token with time left, refreshed when kMargin seconds (half its life
    // for a short-lived one) or less remain.
    // error says why when the state is not Ok.
    State Get(CSettings& settings, const std::string& profile, const std::string& account,
              std::string& token, std::string& error, const std::atomic<bool>* abort = nullptr);
    // Keeps a token just issued by a sign-in.
    void Put(const std::string& account, const std::string& token, long expiresIn);
    void Forget(const std::string& account);

    // After a sign-in: the refresh token stored, the expired mark removed,
    // the access token kept. False with error when the store failed.
    bool CompleteSignIn(CSettings& settings, const std::string& profile, const std::string& account,
                        const std::string& accessToken, const std::string& refreshToken,
                        long expiresIn, std::string& error);

    static bool IsExpired(const CSettings& settings, const std::string& account);
    static constexpr const char* kExpiredText = "Sign-in expired";
    // Seconds before its end at which a token is refreshed.
    static constexpr long kMargin = 120;

private:
    struct Entry {
        std::string token;
        time_t renewAt = 0;
    };
    std::mutex m_lock;
    std::map<std::string, Entry> m_tokens;
};
