// The mail clients and the engine over TLS against the loopback Dovecot and
// Postfix: every security mode, refused certificates, a server that does not
// offer STLS/STARTTLS, SMTP logins, and challenges sent through
// authenticated submission.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "MailServerScanFixture.h"
#include "mail/CMailContent.h"
#include "mail/CPOP3.h"
#include "mail/CSMTP.h"
#include "support/CLogFile.h"
#include "testlib/MailServers.h"
#include "testlib/ScopedSocketTimeouts.h"
#include "testlib/TempHome.h"

namespace {

const MailServers& Servers() {
    return MailServers::Get();
}

std::string Note(const std::string& from, const std::string& subject) {
    return "Return-Path: <" + from + ">\r\nFrom: " + from +
           "\r\nTo: me@iw.test\r\nSubject: " + subject +
           "\r\nDate: Tue, 08 Dec 26 02:00:00 GMT\r\n\r\nbody line\r\n";
}

class SecureMail : public ::testing::Test {
protected:
    void SetUp() override {
        IW_REQUIRE_TLS_MAIL_SERVERS();
        for (const char* user : {"me", "friend"}) {
            Servers().Clear(user);
        }
        m_errors.Open("Errors", CLogFile::LF_Enabled | CLogFile::LF_Truncate, 1);
        m_traffic.Open("Traffic", CLogFile::LF_Enabled | CLogFile::LF_Truncate, 1);
    }
    void TearDown() override {
        if (Servers().Available()) {
            for (const char* user : {"me", "friend"}) {
                Servers().Clear(user);
            }
        }
    }

    std::unique_ptr<CPOP3> Pop(const std::string& host, unsigned port, int mode,
                               const std::string& caFile,
                               const std::string& password = Servers().Password("me")) {
        auto pop = std::make_unique<CPOP3>(host, port);
        std::string user = Servers().Address("me");
        pop->SetLogin(user.c_str(), password.c_str());
        pop->SetSecurity(mode, caFile);
        pop->SetErrorLog(&m_errors);
        pop->SetTrafficLog(&m_traffic);
        return pop;
    }

    std::unique_ptr<CSMTP> Smtp(unsigned port, int mode, const std::string& login,
                                const std::string& password) {
        auto smtp = std::make_unique<CSMTP>(Servers().Host(), port);
        smtp->SetSecurity(mode, Servers().CaFile());
        smtp->SetLogin(login, password);
        smtp->SetErrorLog(&m_errors);
        smtp->SetTrafficLog(&m_traffic);
        return smtp;
    }

    static CMailContent Letter(const std::string& subject) {
        CMailContent message;
        message.m_from = Servers().Address("me");
        message.m_subject = subject;
        message.m_body = "sent over TLS\r\n";
        message.AddRecipient(Servers().Address("friend"), "Friend");
        return message;
    }

    std::string Traffic() { return TempHome::ReadFile(m_traffic.GetPath()); }

    ScopedSocketTimeouts m_timeouts{5000, 8000, 5000, 5000};
    TempHome m_home;
    CLogFile m_errors{m_home.Path(), "Test"};
    CLogFile m_traffic{m_home.Path(), "Test"};
};

}  // namespace

TEST_F(SecureMail, Pop3InEverySecurityMode) {
    struct Case {
        int mode;
        bool implicitPort;
    } cases[] = {{CPOP3::SEC_None, false}, {CPOP3::SEC_Stls, false}, {CPOP3::SEC_Tls, true}};
    ASSERT_FALSE(Servers().Drop("me", Note("friend@iw.test", "one")).empty());
    ASSERT_FALSE(Servers().Drop("me", Note("friend@iw.test", "two")).empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        auto pop =
            Pop(Servers().Host(), c.implicitPort ? Servers().Pop3sPort() : Servers().Pop3Port(),
                c.mode, Servers().CaFile());
        ASSERT_TRUE(pop->Connect()) << pop->GetErrorText();
        EXPECT_EQ(pop->GetSocket().IsTls(), c.mode != CPOP3::SEC_None);
        EXPECT_EQ(pop->GetNumMessages(), 2);
        CMailContent message;
        ASSERT_TRUE(pop->GetMessage(2, message, 10)) << pop->GetErrorText();
        EXPECT_EQ(message.m_subject, "two");
        std::vector<std::string> capabilities;
        EXPECT_TRUE(pop->Capa(capabilities)) << pop->GetErrorText();
        EXPECT_FALSE(capabilities.empty());
        EXPECT_TRUE(pop->Disconnect());
    }
    std::string traffic = Traffic();
    EXPECT_EQ(traffic.find(Servers().Password("me")), std::string::npos) << traffic;
    EXPECT_NE(traffic.find("POP3 TLS: TLSv1."), std::string::npos) << traffic;
}

TEST_F(SecureMail, Pop3RefusesCertificatesItCannotTrust) {
    struct Case {
        const char* name;
        std::string host;
        int mode;
        std::string caFile;
        std::string reason;
    } cases[] = {
        {"self-signed, implicit", Servers().Host(), CPOP3::SEC_Tls, "", "self-signed certificate"},
        {"self-signed, STLS", Servers().Host(), CPOP3::SEC_Stls, "", "self-signed certificate"},
        {"other address, implicit", Servers().OtherHost(), CPOP3::SEC_Tls, Servers().CaFile(),
         "host name mismatch: " + Servers().OtherHost()},
        {"other address, STLS", Servers().OtherHost(), CPOP3::SEC_Stls, Servers().CaFile(),
         "host name mismatch: " + Servers().OtherHost()},
        {"trust file missing", Servers().Host(), CPOP3::SEC_Tls, m_home.File("none.pem"),
         "Cannot read the trusted certificates"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned port = c.mode == CPOP3::SEC_Tls ? Servers().Pop3sPort() : Servers().Pop3Port();
        auto pop = Pop(c.host, port, c.mode, c.caFile);
        EXPECT_FALSE(pop->Connect());
        EXPECT_FALSE(pop->IsConnected());
        EXPECT_NE(pop->GetErrorText().find(c.reason), std::string::npos) << pop->GetErrorText();
    }
    // Nothing fell back to plain text: no login was ever sent.
    std::string traffic = Traffic();
    EXPECT_EQ(traffic.find("USER "), std::string::npos) << traffic;
    EXPECT_EQ(traffic.find("PASSWORD"), std::string::npos) << traffic;
}

TEST_F(SecureMail, Pop3WithoutStlsOnOfferSendsNoLogin) {
    auto pop =
        Pop(Servers().NoStlsHost(), Servers().Pop3Port(), CPOP3::SEC_Stls, Servers().CaFile());
    EXPECT_FALSE(pop->Connect());
    EXPECT_NE(pop->GetErrorText().find("does not offer STLS"), std::string::npos)
        << pop->GetErrorText();
    EXPECT_EQ(Traffic().find("USER "), std::string::npos) << Traffic();
    // The server saw no login attempt from that session either. It logs the
    // session when it ends, which may be a moment after the client left.
    std::string log;
    for (int i = 0; i < 100; ++i) {
        log = MailServers::ReadFile(Servers().DovecotLog());
        if (log.find("lip=" + Servers().NoStlsHost()) != std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    bool sawSession = false;
    size_t at = 0;
    while ((at = log.find("lip=" + Servers().NoStlsHost(), at)) != std::string::npos) {
        size_t start = log.rfind('\n', at);
        std::string line = log.substr(start == std::string::npos ? 0 : start + 1,
                                      log.find('\n', at) - (start + 1));
        sawSession = true;
        EXPECT_NE(line.find("no auth attempts"), std::string::npos) << line;
        EXPECT_EQ(line.find("user=<me@"), std::string::npos) << line;
        ++at;
    }
    EXPECT_TRUE(sawSession) << log;
}

TEST_F(SecureMail, SmtpLoginOverStartTlsAndImplicitTls) {
    struct Case {
        int mode;
        unsigned port;
    } cases[] = {{CSMTP::SEC_StartTls, Servers().SubmissionPort()},
                 {CSMTP::SEC_Tls, Servers().SmtpsPort()}};
    size_t delivered = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        auto smtp = Smtp(c.port, c.mode, Servers().Address("me"), Servers().Password("me"));
        ASSERT_TRUE(smtp->Connect()) << smtp->GetErrorText();
        EXPECT_TRUE(smtp->GetSocket().IsTls());
        CMailContent message = Letter("mode " + std::to_string(c.mode));
        EXPECT_TRUE(smtp->SendMessage(message)) << smtp->GetErrorText();
        EXPECT_TRUE(smtp->Disconnect());
        ++delivered;
        EXPECT_TRUE(Servers().WaitForCount("friend", delivered));
    }
    std::string traffic = Traffic();
    EXPECT_NE(traffic.find("AUTH PLAIN (not shown)"), std::string::npos) << traffic;
    EXPECT_EQ(traffic.find(Servers().Password("me")), std::string::npos) << traffic;
}

TEST_F(SecureMail, SmtpRefusals) {
    struct Case {
        const char* name;
        unsigned port;
        int mode;
        std::string password;
        std::string error;
    } cases[] = {
        {"wrong password", Servers().SubmissionPort(), CSMTP::SEC_StartTls, "not-the-password",
         "SMTP login refused: 535"},
        {"no STARTTLS on the plain port", Servers().SmtpPort(), CSMTP::SEC_StartTls,
         Servers().Password("me"), "The server does not offer STARTTLS"},
        {"implicit TLS against a plain port", Servers().SubmissionPort(), CSMTP::SEC_Tls,
         Servers().Password("me"), "TLS handshake failed"},
        {"login where none is offered", Servers().SmtpPort(), CSMTP::SEC_None,
         Servers().Password("me"), "The server does not offer a login (AUTH)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto smtp = Smtp(c.port, c.mode, Servers().Address("me"), c.password);
        EXPECT_FALSE(smtp->Connect());
        EXPECT_FALSE(smtp->IsConnected());
        EXPECT_EQ(smtp->GetErrorText().rfind(c.error, 0), 0u) << smtp->GetErrorText();
    }
    std::string traffic = Traffic();
    EXPECT_EQ(traffic.find(Servers().Password("me")), std::string::npos) << traffic;
    EXPECT_EQ(traffic.find("not-the-password"), std::string::npos) << traffic;
}

namespace {

// The engine's whole scan with the settings file choosing the security.
class SecureScan : public MailServerScanFixture {
protected:
    void SetUp() override {
        IW_REQUIRE_TLS_MAIL_SERVERS();
        for (const char* user : {"me", "stranger"}) {
            Servers().Clear(user);
        }
        Settings().WriteString("AccountsList", "Home", "General");
        Settings().WriteString("SmtpName", Servers().Host(), "General");
        Settings().WriteInt("SmtpSecurity", CSMTP::SEC_StartTls, "General");
        Settings().WriteInt("SmtpPort", static_cast<int>(Servers().SubmissionPort()), "General");
        Settings().WriteString("SmtpLogin", Servers().Address("me"), "General");
        Settings().WriteString("!SmtpPassword", Servers().Password("me"), "General");
        Settings().WriteString("TlsCaFile", Servers().CaFile(), "General");
        Settings().WriteBool("Filter", true, "Home");
        Settings().WriteString("emailAddress", Servers().Address("me"), "Home");
        Settings().WriteString("PopName", Servers().Host(), "Home");
        Settings().WriteString("PopLogin", Servers().Address("me"), "Home");
        Settings().WriteString("!PopPassword", Servers().Password("me"), "Home");
        CFilterLists::Instance().AddWord("friend@iw.test", FL_Friends);
        m_engine = std::make_unique<CInboxWardenEngine>();
        ASSERT_TRUE(m_engine->Initialize(&owner));
    }
    void UsePop(int mode, unsigned port) {
        Settings().WriteInt("PopSecurity", mode, "Home");
        Settings().WriteInt("PopPort", static_cast<int>(port), "Home");
    }
};

}  // namespace

TEST_F(SecureScan, EveryPopModeAndAChallengeThroughSubmission) {
    struct Case {
        int mode;
        unsigned port;
    } cases[] = {{0, Servers().Pop3Port()}, {1, Servers().Pop3Port()}, {2, Servers().Pop3sPort()}};
    // One stranger is challenged in every round; the guard would allow him
    // one challenge a day.
    Settings().WriteString("GuardChallenges", "No", "General");
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        UsePop(c.mode, c.port);
        std::string subject = "question " + std::to_string(round++);
        ASSERT_FALSE(Servers().Drop("me", Note("Stranger <stranger@iw.test>", subject)).empty());
        m_engine->ScanServers();
        EXPECT_FALSE(m_engine->LastScanHadErrors()) << MainLogText();
        // The stranger's message left the mailbox and he got a challenge,
        // sent with a login over STARTTLS.
        EXPECT_EQ(Servers().Count("me"), 0u);
        ASSERT_TRUE(Servers().WaitForCount("stranger", static_cast<size_t>(round)));
    }
    std::string log = MainLogText();
    EXPECT_EQ(log.find(Servers().Password("me")), std::string::npos);
}

TEST_F(SecureScan, UntrustedCertificateIsTheScanError) {
    Settings().WriteString("TlsCaFile", "", "General");
    UsePop(2, Servers().Pop3sPort());
    ASSERT_FALSE(Servers().Drop("me", Note("friend@iw.test", "kept")).empty());
    m_engine->ScanServers();
    EXPECT_TRUE(m_engine->LastScanHadErrors());
    EXPECT_TRUE(owner.HasStatusContaining("self-signed certificate")) << MainLogText();
    EXPECT_EQ(Servers().Count("me"), 1u);
}
