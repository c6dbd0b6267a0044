#include "signin/CPkce.h"

#include <openssl/rand.h>
#include <openssl/sha.h>

#include "support/StringUtils.h"

std::string CPkce::Base64Url(const unsigned char* bytes, size_t size) {
    std::string text = EncodeBase64(std::string(reinterpret_cast<const char*>(bytes), size));
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    for (char& c : text) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    return text;
}

std::string CPkce::NewVerifier() {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        return "";
    }
    return Base64Url(bytes, sizeof bytes);
}

std::string CPkce::ChallengeS256(const std::string& verifier) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(verifier.data()), verifier.size(), digest);
    return Base64Url(digest, sizeof digest);
}
