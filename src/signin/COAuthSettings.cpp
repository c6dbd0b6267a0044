#include "signin/COAuthSettings.h"

#include "support/CSettings.h"
#include "support/StringUtils.h"

namespace {

const COAuthSettings::Preset kPresets[] = {
    {"google", "https://accounts.google.com/o/oauth2/v2/auth",
     "https://oauth2.googleapis.com/token", "https://oauth2.googleapis.com/device/code",
     "https://mail.google.com/", "pop.gmail.com", 995, 2, "smtp.gmail.com", 465, 2},
    {"microsoft", "https://login.microsoftonline.com/common/oauth2/v2.0/authorize",
     "https://login.microsoftonline.com/common/oauth2/v2.0/token",
     "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode",
     "https://outlook.office.com/POP.AccessAsUser.All https://outlook.office.com/SMTP.Send "
     "offline_access",
     "outlook.office365.com", 995, 2, "smtp.office365.com", 587, 1},
};

}  // namespace

const COAuthSettings::Preset* COAuthSettings::FindPreset(const std::string& provider) {
    std::string name = provider;
    ToLower(name);
    for (const Preset& preset : kPresets) {
        if (name == preset.name) {
            return &preset;
        }
    }
    return nullptr;
}

bool COAuthSettings::UsesOAuth(const CSettings& settings, const std::string& account) {
    return settings.GetInt("PopAuth", account, 0) == 1;
}

COAuthSettings COAuthSettings::Read(const CSettings& settings, const std::string& account) {
    COAuthSettings result;
    result.account = account;
    result.provider = settings.GetString("OAuthProvider", account, "custom");
    ToLower(result.provider);
    if (const Preset* preset = FindPreset(result.provider)) {
        result.authUrl = preset->authUrl;
        result.tokenUrl = preset->tokenUrl;
        result.deviceUrl = preset->deviceUrl;
        result.scope = preset->scope;
    } else {
        result.authUrl = settings.GetString("OAuthAuthUrl", account, "");
        result.tokenUrl = settings.GetString("OAuthTokenUrl", account, "");
        result.deviceUrl = settings.GetString("OAuthDeviceUrl", account, "");
        result.scope = settings.GetString("OAuthScope", account, "");
    }
    result.clientId = settings.GetString("OAuthClientId", account, "");
    result.clientSecret = settings.GetString("!OAuthClientSecret", account, "");
    result.caFile = settings.GetString("TlsCaFile", "General", "");
    result.user = settings.GetString("PopLogin", account, "");
    return result;
}

bool COAuthSettings::WritePreset(CSettings& settings, const std::string& account,
                                 const Preset& preset) {
    return settings.WriteString("OAuthProvider", preset.name, account) &&
           settings.WriteString("OAuthAuthUrl", preset.authUrl, account) &&
           settings.WriteString("OAuthTokenUrl", preset.tokenUrl, account) &&
           settings.WriteString("OAuthDeviceUrl", preset.deviceUrl, account) &&
           settings.WriteString("OAuthScope", preset.scope, account);
}

std::string COAuthSettings::Missing() const {
    if (clientId.empty()) {
        return "no OAuth2 client id (OAuthClientId)";
    }
    if (tokenUrl.empty()) {
        return "no token address (OAuthTokenUrl)";
    }
    if (user.empty()) {
        return "no login (PopLogin)";
    }
    return "";
}
