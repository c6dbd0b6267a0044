// Trusting the loopback servers' self-signed certificate by its fingerprint,
// with nothing in TlsCaFile: the pinned certificate and only it, the host
// name still checked, a changed certificate named.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "engine/CConnectionSettings.h"
#include "mail/CPOP3.h"
#include "mail/CSMTP.h"
#include "testlib/MailServers.h"
#include "testlib/ScopedSocketTimeouts.h"
#include "testlib/TempHome.h"

namespace {

const MailServers& Servers() {
    return MailServers::Get();
}

CConnectionSettings::Server PopServer(const std::string& host, unsigned port, int security,
                                      const std::string& pin) {
    CConnectionSettings::Server server;
    server.host = host;
    server.port = port;
    server.security = security;
    server.login = Servers().Address("me");
    server.password = Servers().Password("me");
    server.certSha256 = pin;
    return server;
}

// Connects as a scan would; the refused certificate, if any, in refused.
bool PopConnects(const CConnectionSettings::Server& server, std::string& error,
                 CTlsSession::PeerCertificate& refused) {
    CPOP3 pop3(server.host, server.port);
    CConnectionSettings::Apply(server, pop3);
    bool ok = pop3.Connect();
    error = pop3.GetErrorText() + " " + pop3.GetSocket().GetLastFailure();
    refused = pop3.GetSocket().RefusedCertificate();
    if (ok) {
        pop3.Disconnect();
    }
    return ok;
}

TEST(CertificatePin, OnlyThePinnedCertificateIsAcceptedAndTheHostStillChecked) {
    IW_REQUIRE_TLS_MAIL_SERVERS();
    TempHome home;
    ScopedSocketTimeouts timeouts(5000, 8000);
    const std::string host = Servers().Host();
    std::string error;
    CTlsSession::PeerCertificate first;
    ASSERT_FALSE(PopConnects(PopServer(host, Servers().Pop3Port(), 1, ""), error, first));
    EXPECT_NE(error.find("self-signed"), std::string::npos) << error;
    ASSERT_TRUE(first.trustable);
    EXPECT_FALSE(first.changed);
    EXPECT_EQ(first.sha256.size(), 95u);
    EXPECT_FALSE(first.subject.empty());
    EXPECT_FALSE(first.notAfter.empty());

    std::string bare = first.sha256;
    bare.erase(std::remove(bare.begin(), bare.end(), ':'), bare.end());
    std::transform(bare.begin(), bare.end(), bare.begin(), ::tolower);
    std::string other = first.sha256;
    other[0] = other[0] == 'A' ? 'B' : 'A';

    struct Case {
        const char* name;
        std::string host;
        unsigned port;
        int security;
        std::string pin;
        bool connects;
        std::string errorPart;
        bool trustable;
        bool changed;
    };
    const Case cases[] = {
        {"STLS, pinned", host, Servers().Pop3Port(), 1, first.sha256, true, "", false, false},
        {"implicit TLS, pin in lower case without colons", host, Servers().Pop3sPort(), 2, bare,
         true, "", false, false},
        // Both fingerprints named.
        {"another certificate pinned", host, Servers().Pop3Port(), 1, other, false,
         "certificate changed (trusted " + other + ", offered " + first.sha256, true, true},
        {"pinned, but a host the certificate does not name", Servers().OtherHost(),
         Servers().Pop3Port(), 1, first.sha256, false, "host name mismatch", false, false},
        {"not a fingerprint", host, Servers().Pop3Port(), 1, "12:34", false, "not valid", false,
         false},
    };
    for (const Case& c : cases) {
        CTlsSession::PeerCertificate refused;
        EXPECT_EQ(PopConnects(PopServer(c.host, c.port, c.security, c.pin), error, refused),
                  c.connects)
            << c.name << ": " << error;
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(refused.trustable, c.trustable) << c.name;
        EXPECT_EQ(refused.changed, c.changed) << c.name;
    }

    // The SMTP client takes the pin the same way (submission, STARTTLS).
    CConnectionSettings::Server smtpServer;
    smtpServer.host = host;
    smtpServer.port = Servers().SubmissionPort();
    smtpServer.security = 1;
    smtpServer.login = Servers().Address("me");
    smtpServer.password = Servers().Password("me");
    for (const std::string& pin : {std::string(), first.sha256}) {
        CSMTP smtp(smtpServer.host, smtpServer.port);
        smtpServer.certSha256 = pin;
        CConnectionSettings::Apply(smtpServer, smtp);
        EXPECT_EQ(smtp.Connect(), !pin.empty()) << smtp.GetErrorText();
        smtp.Disconnect();
    }
}

}  // namespace
