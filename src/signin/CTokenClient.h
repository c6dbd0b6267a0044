#pragma once

#include <atomic>
#include <map>
#include <string>

#include "signin/COAuthSettings.h"

// Talks to an OAuth2 authorization server over HTTPS (certificates verified,
// TlsCaFile trusted besides the system's): the device authorization grant
// (RFC 8628), the authorization code grant with PKCE, and refreshes. Error
// texts carry the server's error code and description, never a token.
class CTokenClient {
public:
    enum class Outcome {
        Ok,
        // Device flow: the user has not finished yet; poll again.
        Pending,
        // Device flow: poll again, five seconds slower.
        SlowDown,
        // invalid_grant: the refresh token or code is no longer good.
        Refused,
        // The user declined, or the device code ran out.
        Declined,
        // Anything else: network, server or reply trouble.
        Failed,
    };
    struct Result {
        Outcome outcome = Outcome::Ok;
        std::string error;
        bool Ok() const { return outcome == Outcome::Ok; }
    };
    struct Tokens {
        std::string accessToken;
        // Empty when the server keeps the old one.
        std::string refreshToken;
        long expiresIn = 3600;
    };
    struct DeviceCode {
        std::string deviceCode;
        std::string userCode;
        std::string verificationUri;
        int interval = 5;
        int expiresIn = 900;
    };

    explicit CTokenClient(COAuthSettings settings) : m_settings(std::move(settings)) {}

    // An abort ends a transfer within a second.
    void SetAbortFlag(const std::atomic<bool>* abort) { m_abort = abort; }

    Result StartDevice(DeviceCode& code);
    Result PollDevice(const DeviceCode& code, Tokens& tokens);
    Result Refresh(const std::string& refreshToken, Tokens& tokens);
    Result ExchangeCode(const std::string& code, const std::string& verifier,
                        const std::string& redirectUri, Tokens& tokens);

    // A reply larger than this is not a token reply.
    static constexpr size_t kMaxReply = 256 * 1024;

private:
    using Fields = std::map<std::string, std::string>;
    // POSTs the form; body gets the reply, status the HTTP status.
    Result Post(const std::string& url, const Fields& fields, std::string& body, long& status);
    Result TokenRequest(Fields fields, Tokens& tokens);

    COAuthSettings m_settings;
    const std::atomic<bool>* m_abort = nullptr;
};
