#pragma once

#include <string>

class CSettings;

// An account's OAuth2 app registration and endpoints, as the settings file
// says: the provider's preset for "google" and "microsoft", the account's own
// keys for "custom".
class COAuthSettings {
public:
    // What a provider preset fills in, servers included.
    struct Preset {
        const char* name;
        const char* authUrl;
        const char* tokenUrl;
        const char* deviceUrl;
        const char* scope;
        const char* popHost;
        unsigned popPort;
        int popSecurity;
        const char* smtpHost;
        unsigned smtpPort;
        int smtpSecurity;
    };
    // Null for "custom" and unknown names.
    static const Preset* FindPreset(const std::string& provider);

    // PopAuth is 1.
    static bool UsesOAuth(const CSettings& settings, const std::string& account);
    static COAuthSettings Read(const CSettings& settings, const std::string& account);
    // Writes a preset's endpoints and scope into the account's keys (the
    // window shows them; "custom" edits them).
    static bool WritePreset(CSettings& settings, const std::string& account, const Preset& preset);

    // Empty when the registration can be used, else what is missing.
    std::string Missing() const;

    std::string account;
    std::string provider;
    std::string authUrl;
    std::string tokenUrl;
    std::string deviceUrl;
    std::string scope;
    std::string clientId;
    std::string clientSecret;
    // TlsCaFile of [General]: certificates trusted besides the system's.
    std::string caFile;
    // The address the account signs in as (its PopLogin).
    std::string user;
};
