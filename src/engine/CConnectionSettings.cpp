#include "engine/CConnectionSettings.h"

#include "mail/CPOP3.h"
#include "mail/CSMTP.h"
#include "secrets/CPasswordAccess.h"
#include "signin/CAccessTokens.h"
#include "support/CAppEnvironment.h"
#include "support/CSettings.h"

namespace {

// An absent, empty, zero or impossible port means the standard one.
unsigned PortOr(const CSettings& settings, const char* key, const std::string& section,
                unsigned standard) {
    int port = settings.GetInt(key, section, 0);
    return (port > 0 && port <= 65535) ? static_cast<unsigned>(port) : standard;
}

void ReadPassword(const CSettings& settings, const CPasswordAccess::Slot& slot,
                  CConnectionSettings::Server& server) {
    std::optional<std::string> password =
        CPasswordAccess(settings).Read(slot, "", &server.passwordError);
    if (password) {
        server.password = std::move(*password);
    }
}

}  // namespace

int CConnectionSettings::SecurityValue(int value) {
    return (value == 1 || value == 2) ? value : 0;
}

CConnectionSettings::Server CConnectionSettings::ReadPop(const CSettings& settings,
                                                         const std::string& account) {
    Server server;
    server.host = settings.GetString("PopName", account, "");
    server.security = SecurityValue(settings.GetInt("PopSecurity", account, 0));
    server.port = PortOr(settings, "PopPort", account, CPOP3::StandardPort(server.security));
    server.login = settings.GetString("PopLogin", account, "");
    ReadPassword(settings, CPasswordAccess::Pop(account), server);
    server.caFile = settings.GetString("TlsCaFile", "General", "");
    server.certSha256 = settings.GetString("PopCertSha256", account, "");
    server.oauth = settings.GetInt("PopAuth", account, 0) == 1;
    server.oauthAccount = account;
    return server;
}

CConnectionSettings::Server CConnectionSettings::ReadSmtp(const CSettings& settings) {
    Server server;
    server.host = settings.GetString("SmtpName", "General", "");
    server.security = SecurityValue(settings.GetInt("SmtpSecurity", "General", 0));
    server.port = PortOr(settings, "SmtpPort", "General", CSMTP::StandardPort(server.security));
    server.login = settings.GetString("SmtpLogin", "General", "");
    // Without a login the SMTP server is used without a password.
    if (!server.login.empty()) {
        ReadPassword(settings, CPasswordAccess::Smtp(), server);
    }
    server.caFile = settings.GetString("TlsCaFile", "General", "");
    server.certSha256 = settings.GetString("SmtpCertSha256", "General", "");
    server.oauth = settings.GetInt("SmtpAuth", "General", 0) == 1;
    if (server.oauth) {
        server.oauthAccount = settings.GetString("SmtpOAuthAccount", "General", "");
        // The sign-in's address is the login unless one is set.
        if (server.login.empty()) {
            server.login = settings.GetString("PopLogin", server.oauthAccount, "");
        }
    }
    return server;
}

int CConnectionSettings::FetchToken(CSettings& settings, Server& server, std::string& error,
                                    const std::atomic<bool>* abort) {
    if (server.oauthAccount.empty()) {
        error = "No account named for the OAuth2 login (SmtpOAuthAccount)";
        return static_cast<int>(CAccessTokens::State::NotSignedIn);
    }
    CAppEnvironment* env = CAppEnvironment::Instance();
    std::string profile = env ? env->GetProgramFolder() : "";
    return static_cast<int>(CAccessTokens::Instance().Get(settings, profile, server.oauthAccount,
                                                          server.bearerToken, error, abort));
}

void CConnectionSettings::Apply(const Server& server, CPOP3& pop3) {
    pop3.SetSecurity(server.security, server.caFile);
    pop3.SetLogin(server.login.c_str(), server.password.c_str());
    pop3.GetSocket().SetPinnedCertificate(server.certSha256);
    if (server.oauth) {
        pop3.SetBearerToken(server.bearerToken);
    }
}

void CConnectionSettings::Apply(const Server& server, CSMTP& smtp) {
    smtp.SetSecurity(server.security, server.caFile);
    smtp.SetLogin(server.login, server.password);
    smtp.GetSocket().SetPinnedCertificate(server.certSha256);
    if (server.oauth) {
        smtp.SetBearerToken(server.bearerToken);
    }
}
