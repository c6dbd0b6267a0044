#pragma once

#include <cstddef>

// Every key of the settings file, with the value its readers use when the key
// is absent and the value the settings dialog shows (and writes back) then.
// nullptr in `dialog` means the dialog does not show the key.
enum SettingKind { SK_YesNo, SK_Integer, SK_Text, SK_Scrambled };

struct SettingDef {
    const char* section;  // "General", "Prompts", or nullptr for an account's section
    const char* key;
    SettingKind kind;
    const char* absent;
    const char* dialog;
};

inline constexpr SettingDef kSettingsTable[] = {
    {"General", "AutoScan", SK_YesNo, "No", "No"},
    {"General", "Interval", SK_Integer, "15", "600"},
    {"General", "IntervalInMinutes", SK_YesNo, "Yes", "Yes"},
    {"General", "DaysToKeepInfo", SK_Integer, "2147483647", "14"},
    {"General", "DontScanWhileInForeground", SK_YesNo, "No", "No"},
    {"General", "StartupView", SK_Integer, "0", "0"},
    {"General", "EnableLogging", SK_YesNo, "No", "No"},
    {"General", "NotificationType", SK_Integer, "2147483647", "0"},
    {"General", "SendChallenges", SK_YesNo, "Yes", "Yes"},
    {"General", "SendConfirmations", SK_YesNo, "No", "Yes"},
    // No challenge to lists, automatic mail, bounces, or twice a day.
    {"General", "GuardChallenges", SK_YesNo, "Yes", "Yes"},
    // Challenge only a sender whose From domain the account's server verified.
    {"General", "ChallengeVerified", SK_YesNo, "Yes", "Yes"},
    {"General", "ShowGridLines", SK_YesNo, "No", "No"},
    {"General", "StartWithWindows", SK_YesNo, "No", "No"},
    {"General", "ClickEMailProgramAfterScan", SK_YesNo, "No", "No"},
    {"General", "DataFolder", SK_Text, "", ""},
    {"General", "EnableRemoteCommands", SK_YesNo, "No", "No"},
    {"General", "!RemoteCommandsPassword", SK_Scrambled, "", "QX7315"},
    {"General", "SmtpName", SK_Text, "", ""},
    {"General", "SmtpLogin", SK_Text, "", ""},
    {"General", "!SmtpPassword", SK_Scrambled, "", ""},
    {"General", "Name", SK_Text, "", ""},
    {"General", "AccountsList", SK_Text, "", nullptr},
    {"General", "LastCleanup", SK_Integer, "0", nullptr},
    // Optional ports for servers that do not listen on the standard ones;
    // absent or empty: the standard port for the security (CPOP3/CSMTP::StandardPort).
    {"General", "SmtpPort", SK_Integer, "", nullptr},
    // 0 none, 1 STARTTLS, 2 implicit TLS.
    {"General", "SmtpSecurity", SK_Integer, "0", "1"},
    // A PEM file of certificates trusted besides the system's.
    {"General", "TlsCaFile", SK_Text, "", ""},
    // The SHA-256 fingerprint of the one certificate trusted for the SMTP
    // server whoever issued it (a self-signed one, say); empty for none.
    {"General", "SmtpCertSha256", SK_Text, "", nullptr},
    // Where the update check looks: an FTP server (host[:port][/folder]) and its login.
    {"General", "UpdateServer", SK_Text, "ftp.inboxwarden.example", nullptr},
    {"General", "UpdateLogin", SK_Text, "inboxwarden", nullptr},
    {"General", "!UpdatePassword", SK_Scrambled, "update", nullptr},
    {nullptr, "emailAddress", SK_Text, "", ""},
    {nullptr, "PopName", SK_Text, "", ""},
    {nullptr, "PopLogin", SK_Text, "", ""},
    {nullptr, "!PopPassword", SK_Scrambled, "", ""},
    {nullptr, "Filter", SK_YesNo, "No", "No"},
    {nullptr, "PopPort", SK_Integer, "", nullptr},
    // 0 none, 1 STLS, 2 implicit TLS.
    {nullptr, "PopSecurity", SK_Integer, "0", "2"},
    // The authserv-id(s) of the account's server; absent or empty: learned from its mail.
    {nullptr, "AuthServId", SK_Text, "", ""},
    // As SmtpCertSha256, for the account's POP3 server.
    {nullptr, "PopCertSha256", SK_Text, "", nullptr},
    {"Prompts", "DontAskForCleanupHistory", SK_YesNo, "No", nullptr},
    {"Prompts", "DontAskForDeleteListEntry", SK_YesNo, "No", nullptr},
    {"Prompts", "DontAskDeleteSelected", SK_YesNo, "No", nullptr},
    {"Prompts", "DontTellSenderAddedToUndesirables", SK_YesNo, "No", nullptr},
    {"Prompts", "DontAskIfSureExit", SK_YesNo, "No", nullptr},
};

// The per-list switches of section "General", built from a list's display
// name with its blank: "FilterForAuto Senders", "JustDeleteAllFromAuto Senders".
inline constexpr const char* kFilterForPrefix = "FilterFor";           // absent: Yes
inline constexpr const char* kJustDeletePrefix = "JustDeleteAllFrom";  // absent: No

// The settings dialog's binding of controls to keys, in its order; the
// General page binds each password twice (entry and confirmation).
struct SettingBinding {
    const char* key;
    const char* section;
    int controlId;
    const char* defaultText;
};

inline constexpr SettingBinding kGeneralBindings[] = {
    {"AutoScan", "General", 1, "No"},
    {"Interval", "General", 2, "600"},
    {"DaysToKeepInfo", "General", 3, "14"},
    {"DontScanWhileInForeground", "General", 4, "No"},
    {"StartupView", "General", 5, "0"},
    {"EnableLogging", "General", 6, "No"},
    {"NotificationType", "General", 7, "0"},
    {"SendChallenges", "General", 8, "Yes"},
    {"SendConfirmations", "General", 9, "Yes"},
    {"IntervalInMinutes", "General", 10, "Yes"},
    {"ShowGridLines", "General", 11, "No"},
    {"StartWithWindows", "General", 12, "No"},
    {"ClickEMailProgramAfterScan", "General", 13, "No"},
    {"DataFolder", "General", 14, ""},
    {"EnableRemoteCommands", "General", 15, "No"},
    {"!RemoteCommandsPassword", "General", 16, "QX7315"},
    {"!RemoteCommandsPassword", "General", 17, "QX7315"},
    {"SmtpName", "General", 18, ""},
    {"SmtpLogin", "General", 19, ""},
    {"!SmtpPassword", "General", 20, ""},
    {"!SmtpPassword", "General", 21, ""},
    {"Name", "General", 22, ""},
    {"", nullptr, 0, ""},
};

// An empty section stands for the account's own section.
inline constexpr SettingBinding kAccountBindings[] = {
    {"Filter", "", 1, "No"}, {"emailAddress", "", 2, ""}, {"PopName", "", 3, ""},
    {"PopLogin", "", 4, ""}, {"!PopPassword", "", 5, ""}, {"", nullptr, 0, ""},
};

inline constexpr SettingBinding kPasswordBindings[] = {
    {"!PopPassword", "", 5, ""},
    {"", nullptr, 0, ""},
};

// The definition of a key, or nullptr; an account key is found with a null
// section. Names match without regard to case, as in the settings file.
const SettingDef* FindSetting(const char* section, const char* key);
