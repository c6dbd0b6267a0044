#include "mail/SaslOAuth.h"

#include <openssl/evp.h>

#include <algorithm>
#include <nlohmann/json.hpp>

namespace SaslOAuth {

namespace {

// A failure challenge is a small JSON object; a longer one is not read.
constexpr size_t kMaxChallenge = 4096;
constexpr size_t kMaxDetail = 120;

bool Decode(const std::string& text, std::string& bytes) {
    size_t first = text.find_first_not_of(' ');
    std::string input = first == std::string::npos ? "" : text.substr(first);
    while (!input.empty() &&
           (input.back() == '\r' || input.back() == '\n' || input.back() == ' ')) {
        input.pop_back();
    }
    if (input.empty() || input.size() > kMaxChallenge || input.size() % 4 != 0) {
        return false;
    }
    bytes.assign(input.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                            reinterpret_cast<const unsigned char*>(input.data()),
                            static_cast<int>(input.size()));
    if (n < 0) {
        return false;
    }
    // EVP_DecodeBlock counts the padding as zero bytes.
    size_t size = static_cast<size_t>(n);
    for (size_t i = input.size(); i > 0 && input[i - 1] == '=' && size > 0; --i) {
        --size;
    }
    bytes.resize(size);
    return true;
}

// Printable ASCII only: the text goes into logs and status lines.
std::string Printable(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (out.size() >= kMaxDetail) {
            break;
        }
        out += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return out;
}

}  // namespace

Mechanism Choose(const std::vector<std::string>& offered) {
    auto has = [&](const char* name) {
        return std::find(offered.begin(), offered.end(), name) != offered.end();
    };
    if (has("OAUTHBEARER")) {
        return Mechanism::OAuthBearer;
    }
    if (has("XOAUTH2")) {
        return Mechanism::XOAuth2;
    }
    return Mechanism::None;
}

const char* Name(Mechanism mechanism) {
    switch (mechanism) {
        case Mechanism::XOAuth2:
            return "XOAUTH2";
        case Mechanism::OAuthBearer:
            return "OAUTHBEARER";
        case Mechanism::None:
            break;
    }
    return "";
}

std::string Payload(Mechanism mechanism, const std::string& user, const std::string& token,
                    const std::string& host, unsigned port) {
    if (mechanism == Mechanism::XOAuth2) {
        return "user=" + user + "\x01" + "auth=Bearer " + token + "\x01\x01";
    }
    // RFC 7628 3.1: the gs2 header names the user; "," and "=" in it are escaped.
    std::string escaped;
    for (char c : user) {
        if (c == ',') {
            escaped += "=2C";
        } else if (c == '=') {
            escaped += "=3D";
        } else {
            escaped += c;
        }
    }
    return "n,a=" + escaped + ",\x01" + "host=" + host + "\x01" + "port=" + std::to_string(port) +
           "\x01" + "auth=Bearer " + token + "\x01\x01";
}

std::string DescribeFailure(const std::string& base64Challenge) {
    std::string json;
    if (!Decode(base64Challenge, json)) {
        return "";
    }
    nlohmann::json value = nlohmann::json::parse(json, nullptr, false);
    if (!value.is_object()) {
        return "";
    }
    std::string text;
    auto add = [&](const char* name) {
        auto it = value.find(name);
        if (it == value.end()) {
            return;
        }
        std::string part = it->is_string() ? it->get<std::string>() : it->dump();
        text += (text.empty() ? "" : ", ") + std::string(name) + " " + part;
    };
    add("status");
    add("scope");
    return Printable(text);
}

}  // namespace SaslOAuth
