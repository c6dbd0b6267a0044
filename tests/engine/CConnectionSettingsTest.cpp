#include <gtest/gtest.h>

#include <string>

#include "engine/CConnectionSettings.h"
#include "mail/CPOP3.h"
#include "mail/CSMTP.h"
#include "support/CSettings.h"
#include "testlib/TempHome.h"

namespace {

struct PortCase {
    const char* security;  // nullptr: absent
    const char* port;      // nullptr: absent
    int wantSecurity;
    unsigned wantPop;
    unsigned wantSmtp;
};

const PortCase kPortCases[] = {
    {nullptr, nullptr, 0, 110, 25}, {"0", nullptr, 0, 110, 25},  {"1", nullptr, 1, 110, 587},
    {"2", nullptr, 2, 995, 465},    {"2", "", 2, 995, 465},      {"2", "0", 2, 995, 465},
    {"1", "2525", 1, 2525, 2525},   {"2", "70000", 2, 995, 465}, {"2", "-5", 2, 995, 465},
    {"3", nullptr, 0, 110, 25},     {"-1", nullptr, 0, 110, 25}, {"yes", "x", 0, 110, 25},
};

}  // namespace

TEST(ConnectionSettings, PortsFollowTheSecurityUnlessSet) {
    for (const PortCase& c : kPortCases) {
        SCOPED_TRACE(std::string(c.security ? c.security : "(absent)") + " / " +
                     (c.port ? c.port : "(absent)"));
        TempHome home;
        CSettings settings(home.File("InboxWarden.ini"));
        if (c.security) {
            settings.WriteString("PopSecurity", c.security, "Home");
            settings.WriteString("SmtpSecurity", c.security, "General");
        }
        if (c.port) {
            settings.WriteString("PopPort", c.port, "Home");
            settings.WriteString("SmtpPort", c.port, "General");
        }
        CConnectionSettings::Server pop = CConnectionSettings::ReadPop(settings, "Home");
        CConnectionSettings::Server smtp = CConnectionSettings::ReadSmtp(settings);
        EXPECT_EQ(pop.security, c.wantSecurity);
        EXPECT_EQ(smtp.security, c.wantSecurity);
        EXPECT_EQ(pop.port, c.wantPop);
        EXPECT_EQ(smtp.port, c.wantSmtp);
    }
}

TEST(ConnectionSettings, LoginsAndTrustFileReachTheClients) {
    TempHome home;
    CSettings settings(home.File("InboxWarden.ini"));
    settings.WriteString("PopName", "pop.example.org", "Home");
    settings.WriteString("PopLogin", "ann", "Home");
    settings.WriteString("!PopPassword", "pop-secret", "Home");
    settings.WriteString("PopSecurity", "2", "Home");
    settings.WriteString("SmtpName", "smtp.example.org", "General");
    settings.WriteString("SmtpLogin", "ann@example.org", "General");
    settings.WriteString("!SmtpPassword", "smtp-secret", "General");
    settings.WriteString("SmtpSecurity", "1", "General");
    settings.WriteString("TlsCaFile", "/etc/extra.pem", "General");
    // Another account's keys are not this one's.
    settings.WriteString("PopSecurity", "1", "Work");

    CConnectionSettings::Server pop = CConnectionSettings::ReadPop(settings, "Home");
    EXPECT_EQ(pop.host, "pop.example.org");
    EXPECT_EQ(pop.login, "ann");
    EXPECT_EQ(pop.password, "pop-secret");
    EXPECT_EQ(pop.caFile, "/etc/extra.pem");
    CConnectionSettings::Server smtp = CConnectionSettings::ReadSmtp(settings);
    EXPECT_EQ(smtp.host, "smtp.example.org");
    EXPECT_EQ(smtp.login, "ann@example.org");
    EXPECT_EQ(smtp.password, "smtp-secret");
    EXPECT_EQ(smtp.caFile, "/etc/extra.pem");
    EXPECT_EQ(CConnectionSettings::ReadPop(settings, "Work").security, 1);

    CPOP3 pop3(pop.host, pop.port);
    CConnectionSettings::Apply(pop, pop3);
    EXPECT_EQ(pop3.GetSecurity(), 2);
    EXPECT_EQ(pop3.GetUser(), "ann");
    EXPECT_EQ(pop3.GetPassword(), "pop-secret");
    EXPECT_EQ(pop3.GetPort(), 995u);
    CSMTP client(smtp.host, smtp.port);
    CConnectionSettings::Apply(smtp, client);
    EXPECT_EQ(client.GetSecurity(), 1);
    EXPECT_EQ(client.GetPort(), 587u);
}
