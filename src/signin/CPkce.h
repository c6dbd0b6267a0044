#pragma once

#include <string>

// Proof Key for Code Exchange (RFC 7636) with S256, and the state value
// that ties a browser's answer to the sign-in that asked for it.
class CPkce {
public:
    // 43 characters of base64url from 32 random bytes; empty when the
    // system's random source fails.
    static std::string NewVerifier();
    static std::string ChallengeS256(const std::string& verifier);
    static std::string NewState() { return NewVerifier(); }
    // base64url without padding.
    static std::string Base64Url(const unsigned char* bytes, size_t size);
};
