#include "signin/CTokenClient.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <nlohmann/json.hpp>

#include "mail/CTlsTrustStore.h"

namespace {

constexpr size_t kMaxErrorText = 200;

struct Transfer {
    std::string body;
    bool tooLarge = false;
    const std::atomic<bool>* abort = nullptr;
};

size_t OnData(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    size_t bytes = size * count;
    if (transfer->body.size() + bytes > CTokenClient::kMaxReply) {
        transfer->tooLarge = true;
        return 0;
    }
    transfer->body.append(data, bytes);
    return bytes;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<Transfer*>(user);
    return transfer->abort && transfer->abort->load() ? 1 : 0;
}

struct TrustContext {
    std::string caFile;
    std::string error;
};

// The same trust as the mail connections: the system's store and TlsCaFile.
CURLcode OnSslContext(CURL*, void* sslContext, void* user) {
    auto* trust = static_cast<TrustContext*>(user);
    X509_STORE* store = CTlsTrustStore::Get(trust->caFile, trust->error);
    if (!store) {
        return CURLE_SSL_CACERT_BADFILE;
    }
    SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(sslContext), store);
    X509_STORE_free(store);
    return CURLE_OK;
}

// A server's text for a log or status line: printable ASCII, bounded.
std::string Printable(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (out.size() >= kMaxErrorText) {
            break;
        }
        out += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return out;
}

std::string StringField(const nlohmann::json& value, const char* name) {
    auto it = value.find(name);
    return it != value.end() && it->is_string() ? it->get<std::string>() : "";
}

long NumberField(const nlohmann::json& value, const char* name, long fallback, long low,
                 long high) {
    auto it = value.find(name);
    long number = fallback;
    if (it != value.end() && it->is_number_integer()) {
        number = it->get<long>();
    } else if (it != value.end() && it->is_string()) {
        // Some servers send numbers as strings.
        number = std::strtol(it->get<std::string>().c_str(), nullptr, 10);
    }
    return number < low ? low : number > high ? high : number;
}

}  // namespace

CTokenClient::Result CTokenClient::Post(const std::string& url, const Fields& fields,
                                        std::string& body, long& status) {
    Result result;
    CURL* curl = curl_easy_init();
    if (!curl) {
        return {Outcome::Failed, "Cannot start an HTTPS transfer"};
    }
    std::string form;
    for (const auto& [name, value] : fields) {
        char* escaped = curl_easy_escape(curl, value.c_str(), static_cast<int>(value.size()));
        form += (form.empty() ? "" : "&") + name + "=" + (escaped ? escaped : "");
        curl_free(escaped);
    }
    Transfer transfer;
    transfer.abort = m_abort;
    TrustContext trust{m_settings.caFile, ""};
    char errorBuffer[CURL_ERROR_SIZE] = "";
    curl_slist* headers = curl_slist_append(nullptr, "Accept: application/json");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    // Tokens and secrets never travel in clear, nor follow a redirect.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, OnSslContext);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, &trust);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "InboxWarden");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    CURLcode code = curl_easy_perform(curl);
    status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    form.assign(form.size(), '\0');
    if (transfer.tooLarge) {
        return {Outcome::Failed, "The sign-in server's reply is too large"};
    }
    if (code != CURLE_OK) {
        std::string why = errorBuffer[0] ? errorBuffer : curl_easy_strerror(code);
        if (!trust.error.empty()) {
            why = trust.error;
        }
        return {Outcome::Failed, "Cannot reach the sign-in server: " + Printable(why)};
    }
    body.swap(transfer.body);
    return result;
}

CTokenClient::Result CTokenClient::TokenRequest(Fields fields, Tokens& tokens) {
    fields["client_id"] = m_settings.clientId;
    if (!m_settings.clientSecret.empty()) {
        fields["client_secret"] = m_settings.clientSecret;
    }
    std::string body;
    long status = 0;
    Result sent = Post(m_settings.tokenUrl, fields, body, status);
    for (auto& field : fields) {
        field.second.assign(field.second.size(), '\0');
    }
    if (!sent.Ok()) {
        return sent;
    }
    nlohmann::json reply = nlohmann::json::parse(body, nullptr, false);
    body.assign(body.size(), '\0');
    if (!reply.is_object()) {
        return {Outcome::Failed,
                "The sign-in server's reply is not JSON (HTTP " + std::to_string(status) + ")"};
    }
    std::string error = StringField(reply, "error");
    if (!error.empty() || status != 200) {
        std::string text = "The sign-in server refused: " +
                           Printable(error.empty() ? "HTTP " + std::to_string(status) : error);
        std::string description = StringField(reply, "error_description");
        if (!description.empty()) {
            text += " (" + Printable(description) + ")";
        }
        Outcome outcome = error == "authorization_pending" ? Outcome::Pending
                          : error == "slow_down"           ? Outcome::SlowDown
                          : error == "invalid_grant"       ? Outcome::Refused
                          : (error == "access_denied" || error == "expired_token")
                              ? Outcome::Declined
                              : Outcome::Failed;
        return {outcome, text};
    }
    tokens.accessToken = StringField(reply, "access_token");
    tokens.refreshToken = StringField(reply, "refresh_token");
    tokens.expiresIn = NumberField(reply, "expires_in", 3600, 0, 366L * 24 * 3600);
    std::string type = StringField(reply, "token_type");
    if (tokens.accessToken.empty() || (!type.empty() && type != "Bearer" && type != "bearer")) {
        tokens = Tokens();
        return {Outcome::Failed, "The sign-in server sent no bearer access token"};
    }
    return {};
}

CTokenClient::Result CTokenClient::StartDevice(DeviceCode& code) {
    if (m_settings.deviceUrl.empty()) {
        return {Outcome::Failed, "No device sign-in address (OAuthDeviceUrl)"};
    }
    Fields fields{{"client_id", m_settings.clientId}, {"scope", m_settings.scope}};
    std::string body;
    long status = 0;
    Result sent = Post(m_settings.deviceUrl, fields, body, status);
    if (!sent.Ok()) {
        return sent;
    }
    nlohmann::json reply = nlohmann::json::parse(body, nullptr, false);
    if (!reply.is_object()) {
        return {Outcome::Failed,
                "The sign-in server's reply is not JSON (HTTP " + std::to_string(status) + ")"};
    }
    std::string error = StringField(reply, "error");
    code.deviceCode = StringField(reply, "device_code");
    code.userCode = StringField(reply, "user_code");
    code.verificationUri = StringField(reply, "verification_uri");
    if (code.verificationUri.empty()) {
        // Google's name for it.
        code.verificationUri = StringField(reply, "verification_url");
    }
    if (!error.empty() || status != 200 || code.deviceCode.empty() || code.userCode.empty() ||
        code.verificationUri.empty()) {
        return {Outcome::Failed,
                "The sign-in server refused the device sign-in: " +
                    Printable(error.empty() ? "HTTP " + std::to_string(status) : error)};
    }
    code.interval = static_cast<int>(NumberField(reply, "interval", 5, 1, 60));
    code.expiresIn = static_cast<int>(NumberField(reply, "expires_in", 900, 10, 3600));
    return {};
}

CTokenClient::Result CTokenClient::PollDevice(const DeviceCode& code, Tokens& tokens) {
    return TokenRequest({{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
                         {"device_code", code.deviceCode}},
                        tokens);
}

CTokenClient::Result CTokenClient::Refresh(const std::string& refreshToken, Tokens& tokens) {
    return TokenRequest({{"grant_type", "refresh_token"}, {"refresh_token", refreshToken}}, tokens);
}

CTokenClient::Result CTokenClient::ExchangeCode(const std::string& code,
                                                const std::string& verifier,
                                                const std::string& redirectUri, Tokens& tokens) {
    return TokenRequest({{"grant_type", "authorization_code"},
                         {"code", code},
                         {"code_verifier", verifier},
                         {"redirect_uri", redirectUri}},
                        tokens);
}
