#include "signin/CAccessTokens.h"

#include "signin/COAuthSettings.h"
#include "signin/CRefreshTokenStore.h"
#include "signin/CTokenClient.h"
#include "support/CSettings.h"

CAccessTokens& CAccessTokens::Instance() {
    static CAccessTokens tokens;
    return tokens;
}

bool CAccessTokens::IsExpired(const CSettings& settings, const std::string& account) {
    return settings.GetBool("OAuthSignInExpired", account, false);
}

void CAccessTokens::Put(const std::string& account, const std::string& token, long expiresIn) {
    std::lock_guard<std::mutex> guard(m_lock);
    Entry& entry = m_tokens[account];
    entry.token.assign(entry.token.size(), '\0');
    entry.token = token;
    // Renewed kMargin before the end, or halfway for a token that lives
    // shorter than twice that.
    long early = expiresIn / 2 < kMargin ? expiresIn / 2 : kMargin;
    entry.renewAt = time(nullptr) + expiresIn - early;
}

void CAccessTokens::Forget(const std::string& account) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_tokens.find(account);
    if (it != m_tokens.end()) {
        it->second.token.assign(it->second.token.size(), '\0');
        m_tokens.erase(it);
    }
}

bool CAccessTokens::CompleteSignIn(CSettings& settings, const std::string& profile,
                                   const std::string& account, const std::string& accessToken,
                                   const std::string& refreshToken, long expiresIn,
                                   std::string& error) {
    if (refreshToken.empty()) {
        error = "The sign-in server sent no refresh token (is offline access allowed?)";
        return false;
    }
    if (!CRefreshTokenStore::Save(settings, profile, account, refreshToken, error)) {
        return false;
    }
    settings.WriteBool("OAuthSignInExpired", false, account);
    settings.WriteString("OAuthSignedInAs", settings.GetString("PopLogin", account, ""), account);
    Put(account, accessToken, expiresIn);
    return true;
}

CAccessTokens::State CAccessTokens::Get(CSettings& settings, const std::string& profile,
                                        const std::string& account, std::string& token,
                                        std::string& error, const std::atomic<bool>* abort) {
    token.clear();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_tokens.find(account);
        if (it != m_tokens.end() && it->second.renewAt > time(nullptr)) {
            token = it->second.token;
            return State::Ok;
        }
    }
    if (IsExpired(settings, account)) {
        error = kExpiredText;
        return State::SignInExpired;
    }
    COAuthSettings oauth = COAuthSettings::Read(settings, account);
    std::string missing = oauth.Missing();
    if (!missing.empty()) {
        error = "OAuth2 sign-in not set up: " + missing;
        return State::NotSignedIn;
    }
    CTokenClient client(oauth);
    client.SetAbortFlag(abort);
    // A second try covers a rotation by the other thread or program between
    // our reading of the refresh token and the server's answer.
    std::string used;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string refresh;
        if (!CRefreshTokenStore::Load(settings, profile, account, refresh, error)) {
            return State::Failed;
        }
        if (refresh.empty()) {
            error = "Not signed in";
            return State::NotSignedIn;
        }
        if (attempt == 1 && refresh == used) {
            break;
        }
        CTokenClient::Tokens tokens;
        CTokenClient::Result result = client.Refresh(refresh, tokens);
        used.swap(refresh);
        refresh.assign(refresh.size(), '\0');
        if (result.Ok()) {
            if (!tokens.refreshToken.empty() && tokens.refreshToken != used &&
                !CRefreshTokenStore::Save(settings, profile, account, tokens.refreshToken, error)) {
                // The server may have retired the old token: say so now
                // rather than fail at the next refresh without a reason.
                error = "Cannot keep the renewed sign-in: " + error;
            }
            Put(account, tokens.accessToken, tokens.expiresIn);
            token = tokens.accessToken;
            tokens.accessToken.assign(tokens.accessToken.size(), '\0');
            return State::Ok;
        }
        error = result.error;
        if (result.outcome != CTokenClient::Outcome::Refused) {
            return State::Failed;
        }
    }
    used.assign(used.size(), '\0');
    Forget(account);
    settings.WriteBool("OAuthSignInExpired", true, account);
    error = std::string(kExpiredText) + " (" + error + ")";
    return State::SignInExpired;
}
