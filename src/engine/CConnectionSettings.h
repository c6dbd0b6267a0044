#pragma once

#include <atomic>
#include <string>

class CPOP3;
class CSMTP;
class CSettings;

// How to reach an account's POP3 server and the SMTP server, as the settings
// file says at the moment it is read. The engine reads them at every scan;
// the scanner and the settings dialog's server tests use the same reading.
class CConnectionSettings {
public:
    struct Server {
        std::string host;
        // The PopPort/SmtpPort value, else the standard port for security.
        unsigned port = 0;
        // 0 none, 1 STLS/STARTTLS, 2 implicit TLS.
        int security = 0;
        std::string login;
        std::string password;
        // Why the password could not be read (a keyring that cannot be
        // reached or stays locked); empty when it was.
        std::string passwordError;
        // TlsCaFile of [General]: certificates trusted besides the system's.
        std::string caFile;
        // PopCertSha256 / SmtpCertSha256: the one certificate trusted for
        // this server by its fingerprint, empty for none.
        std::string certSha256;
        // PopAuth or SmtpAuth is 1: log in with the OAuth2 sign-in of
        // oauthAccount, through the access token FetchToken puts here.
        bool oauth = false;
        std::string oauthAccount;
        std::string bearerToken;
    };

    // PopName, PopPort, PopSecurity, PopLogin, !PopPassword, PopCertSha256 of
    // the account.
    static Server ReadPop(const CSettings& settings, const std::string& account);
    // SmtpName, SmtpPort, SmtpSecurity, SmtpLogin, !SmtpPassword,
    // SmtpCertSha256 of [General].
    static Server ReadSmtp(const CSettings& settings);

    // The access token of an OAuth2 server (refreshed when due), in
    // server.bearerToken. 0 on success, else the CAccessTokens::State and
    // error says why.
    static int FetchToken(CSettings& settings, Server& server, std::string& error,
                          const std::atomic<bool>* abort);

    // Security, trusted certificates and login, for a client constructed
    // with server.host and server.port.
    static void Apply(const Server& server, CPOP3& pop3);
    static void Apply(const Server& server, CSMTP& smtp);

    // A security setting as the clients take it: 0, 1 or 2; anything else 0.
    static int SecurityValue(int value);
};
