// Logins, TLS negotiation and long SMTP replies against scripted servers:
// what goes out (and what never does) when a server refuses, lies or stalls.
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "MailClientFixture.h"
#include "MailTestSteps.h"
#include "mail/CMailContent.h"
#include "mail/CPOP3.h"
#include "mail/CSMTP.h"
#include "mail/CTlsSession.h"
#include "support/CLogFile.h"
#include "support/StringUtils.h"
#include "testlib/ScopedReplyLimits.h"
#include "testlib/ScopedSocketTimeouts.h"
#include "testlib/ScriptedServer.h"
#include "testlib/TempHome.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kPop3Greeting = "+OK ready\r\n";
// base64 of "\0bob\0secret"
const char* const kPlainToken = "AGJvYgBzZWNyZXQ=";

class MailSecurityTest : public MailClientFixture {};

}  // namespace

TEST(MailSecurityBasics, Base64AndStandardPortsAndCertificateTexts) {
    // RFC 4648 section 10, and bytes that are not text.
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\0bob\0secret", 11), kPlainToken},
        {std::string("\xff\xfe\x00", 3), "//4A"},
    };
    for (const auto& [in, out] : vectors) {
        EXPECT_EQ(EncodeBase64(in), out) << in;
    }
    const unsigned pop3[] = {110, 110, 995, 110, 110};
    const unsigned smtp[] = {25, 587, 465, 25, 25};
    const int modes[] = {0, 1, 2, 3, -1};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(CPOP3::StandardPort(modes[i]), pop3[i]) << modes[i];
        EXPECT_EQ(CSMTP::StandardPort(modes[i]), smtp[i]) << modes[i];
    }
    const std::pair<long, std::string> reasons[] = {
        {X509_V_ERR_CERT_HAS_EXPIRED, "certificate has expired"},
        {X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, "self-signed certificate"},
        {X509_V_ERR_HOSTNAME_MISMATCH, "host name mismatch: mail.example.org"},
        {X509_V_ERR_IP_ADDRESS_MISMATCH, "host name mismatch: mail.example.org"},
        {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, "unable to get local issuer certificate"},
    };
    for (const auto& [code, text] : reasons) {
        EXPECT_EQ(CTlsSession::VerifyErrorText(code, "[mail.example.org]"), text);
    }
}

TEST_F(MailSecurityTest, Pop3StlsRefusedOrAbusedSendsNoLogin) {
    struct Case {
        const char* name;
        const char* reply;
        const char* error;
    } cases[] = {
        {"refused", "-ERR not here\r\n", "The server does not offer STLS: -ERR not here"},
        {"data after the go-ahead", "+OK begin\r\n+OK injected\r\n",
         "The server sent data after agreeing to STLS"},
        {"closed", nullptr, "Connection closed by server"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        server.Send(kPop3Greeting).Expect("STLS\r\n");
        if (c.reply) {
            server.Send(c.reply).Silence(500);
        } else {
            server.Close();
        }
        server.Start();
        CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
        pop.SetSecurity(CPOP3::SEC_Stls, "");
        Attach(pop);
        EXPECT_FALSE(pop.Connect());
        EXPECT_FALSE(pop.IsConnected());
        EXPECT_EQ(pop.GetErrorText(), c.error);
        server.Wait();
        EXPECT_EQ(server.Received(), "STLS\r\n");
    }
}

TEST_F(MailSecurityTest, ImplicitTlsAgainstAPlainOrSilentServerFailsInTime) {
    struct Case {
        const char* name;
        bool silent;
        const char* error;
    } cases[] = {
        {"plain greeting", false, "TLS handshake failed"},
        {"silent", true, "TLS handshake timed out"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        if (c.silent) {
            server.Silence(10000);
        } else {
            server.Send("+OK plain text here, no TLS at all\r\n").Silence(10000);
        }
        server.Start();
        CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
        pop.SetSecurity(CPOP3::SEC_Tls, "");
        Attach(pop);
        Clock::time_point start = Clock::now();
        EXPECT_FALSE(pop.Connect());
        // Well before the server gives up; the handshake's own limit is
        // the receive time-out (0.4 s), slack for a loaded machine.
        EXPECT_LT(MsSince(start), 6000) << pop.GetErrorText();
        EXPECT_EQ(pop.GetErrorText().rfind(c.error, 0), 0u) << pop.GetErrorText();
        // What the client sent was a TLS hello, never a command.
        EXPECT_EQ(server.Received().find("USER"), std::string::npos);
    }
}

TEST_F(MailSecurityTest, Pop3AuthPlainWhenUserIsRefused) {
    struct Case {
        const char* name;
        const char* capa;
        bool offered;
    } cases[] = {
        {"offered", "+OK\r\nTOP\r\nSASL LOGIN PLAIN\r\n..dotted\r\n.\r\n", true},
        {"not offered", "+OK\r\nSASL LOGIN\r\nUSER\r\n.\r\n", false},
        {"no CAPA", "-ERR what\r\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        server.Send(kPop3Greeting).Expect("USER bob\r\n").Send("-ERR use SASL\r\n");
        server.Expect("CAPA\r\n").Send(c.capa);
        if (c.offered) {
            server.Expect("AUTH PLAIN\r\n").Send("+ \r\n");
            server.Expect(std::string(kPlainToken) + "\r\n").Send("+OK welcome\r\n");
            server.Expect("STAT\r\n").Send("+OK 3 300\r\n");
            server.Expect("QUIT\r\n").Send("+OK bye\r\n");
        }
        server.Start();
        CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
        Attach(pop);
        EXPECT_EQ(pop.Connect(), c.offered) << pop.GetErrorText();
        if (c.offered) {
            EXPECT_EQ(pop.GetNumMessages(), 3);
            EXPECT_TRUE(pop.Disconnect());
        } else {
            EXPECT_EQ(pop.GetErrorText(), "Bad user name");
        }
        server.Wait();
        EXPECT_TRUE(server.Failures().empty()) << server.Failures()[0];
        EXPECT_EQ(server.Received().find("PASS"), std::string::npos);
    }
    std::string logs = Logs();
    EXPECT_NE(logs.find("AUTH PLAIN (not shown)"), std::string::npos) << logs;
    EXPECT_EQ(logs.find(kPlainToken), std::string::npos) << logs;
    EXPECT_EQ(logs.find("secret"), std::string::npos) << logs;
}

TEST_F(MailSecurityTest, Pop3CapaLinesAndBadReplies) {
    struct Case {
        const char* name;
        std::string reply;
        bool ok;
        std::vector<std::string> lines;
    } cases[] = {
        {"lines",
         "+OK list\r\nTOP\r\nUIDL\r\n..odd\r\nSASL PLAIN\r\n.\r\n",
         true,
         {"TOP", "UIDL", ".odd", "SASL PLAIN"}},
        {"empty", "+OK\r\n.\r\n", true, {}},
        {"refused", "-ERR no\r\n", false, {}},
        {"endless", "+OK\r\n" + std::string(70000, 'x') + "\r\n", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        server.Send(kPop3Greeting).Expect("USER bob\r\n").Send("+OK\r\n");
        server.Expect("PASS secret\r\n").Send("+OK\r\n");
        server.Expect("CAPA\r\n").Send(c.reply).Silence(1000);
        server.Start();
        CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
        Attach(pop);
        ASSERT_TRUE(pop.Connect());
        std::vector<std::string> lines{"stale"};
        EXPECT_EQ(pop.Capa(lines), c.ok);
        if (c.ok) {
            EXPECT_EQ(lines, c.lines);
        }
    }
    CPOP3 idle("127.0.0.1", 1);
    std::vector<std::string> lines;
    EXPECT_FALSE(idle.Capa(lines));
}

TEST_F(MailSecurityTest, SmtpLoginMechanisms) {
    struct Case {
        const char* name;
        const char* ehlo;
        std::vector<std::pair<std::string, std::string>> exchange;  // expect, reply
        bool ok;
        const char* error;
    } cases[] = {
        {"PLAIN preferred",
         "250-sink\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME\r\n",
         {{"AUTH PLAIN " + std::string(kPlainToken) + "\r\n", "235 2.7.0 ok\r\n"}},
         true,
         "OK"},
        {"LOGIN only, old form",
         "250-sink\r\n250 AUTH=LOGIN\r\n",
         {{"AUTH LOGIN\r\n", "334 VXNlcm5hbWU6\r\n"},
          {"Ym9i\r\n", "334 UGFzc3dvcmQ6\r\n"},
          {"c2VjcmV0\r\n", "235 ok\r\n"}},
         true,
         "OK"},
        {"wrong password",
         "250-sink\r\n250 AUTH PLAIN\r\n",
         {{"AUTH PLAIN " + std::string(kPlainToken) + "\r\n",
           "535 5.7.8 Error: authentication failed\r\n"}},
         false,
         "SMTP login refused: 535 5.7.8 Error: authentication failed"},
        {"LOGIN refused at the name",
         "250-sink\r\n250 AUTH LOGIN\r\n",
         {{"AUTH LOGIN\r\n", "334 VXNlcm5hbWU6\r\n"}, {"Ym9i\r\n", "535 no such user\r\n"}},
         false,
         "SMTP login refused: 535 no such user"},
        {"no AUTH", "250 sink\r\n", {}, false, "The server does not offer a login (AUTH)"},
        {"unknown mechanisms",
         "250-sink\r\n250 AUTH CRAM-MD5 XOAUTH2\r\n",
         {},
         false,
         "The server offers no login method known here (PLAIN, LOGIN)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        server.Send("220 hi\r\n").ExpectPrefix("EHLO ").Send(c.ehlo);
        for (const auto& [expect, reply] : c.exchange) {
            server.Expect(expect).Send(reply);
        }
        if (c.ok) {
            server.Expect("QUIT\r\n").Send("221 bye\r\n");
        }
        server.Start();
        CSMTP smtp("127.0.0.1", server.Port());
        smtp.SetLogin("bob", "secret");
        Attach(smtp);
        EXPECT_EQ(smtp.Connect(), c.ok);
        EXPECT_EQ(smtp.GetErrorText(), c.error);
        EXPECT_TRUE(smtp.Disconnect());
        server.Wait();
        EXPECT_TRUE(server.Failures().empty()) << server.Failures()[0];
    }
    std::string logs = Logs();
    EXPECT_NE(logs.find("AUTH PLAIN (not shown)"), std::string::npos);
    for (const char* secret : {kPlainToken, "secret", "c2VjcmV0", "Ym9i\n"}) {
        EXPECT_EQ(logs.find(secret), std::string::npos) << secret << "\n" << logs;
    }
}

TEST_F(MailSecurityTest, SmtpEhloRefusedFallsBackToHeloOnlyWhenNothingIsAsked) {
    struct Case {
        const char* name;
        int security;
        const char* login;
        bool helo;
    } cases[] = {
        {"plain, no login", CSMTP::SEC_None, "", true},
        {"plain, login", CSMTP::SEC_None, "bob", false},
        {"STARTTLS", CSMTP::SEC_StartTls, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        server.Send("220 hi\r\n").ExpectPrefix("EHLO ").Send("502 5.5.1 no EHLO here\r\n");
        if (c.helo) {
            server.ExpectPrefix("HELO ").Send("250 old friend\r\n");
            server.Expect("QUIT\r\n").Send("221 bye\r\n");
        } else {
            server.Silence(500);
        }
        server.Start();
        CSMTP smtp("127.0.0.1", server.Port());
        smtp.SetSecurity(c.security, "");
        smtp.SetLogin(c.login, "secret");
        Attach(smtp);
        EXPECT_EQ(smtp.Connect(), c.helo) << smtp.GetErrorText();
        EXPECT_TRUE(smtp.Disconnect());
        server.Wait();
        EXPECT_EQ(server.Received().find("HELO") != std::string::npos, c.helo);
        EXPECT_EQ(server.Received().find("AUTH"), std::string::npos);
    }
}

TEST_F(MailSecurityTest, SmtpStartTlsMissingRefusedOrAbusedSendsNoLogin) {
    struct Case {
        const char* name;
        const char* ehlo;
        const char* reply;  // to STARTTLS; nullptr: not sent
        const char* error;
    } cases[] = {
        {"not offered", "250-sink\r\n250-AUTH PLAIN\r\n250 STARTTLSX\r\n", nullptr,
         "The server does not offer STARTTLS"},
        {"refused", "250-sink\r\n250 STARTTLS\r\n", "454 4.7.0 TLS not available\r\n",
         "STARTTLS refused: 454 4.7.0 TLS not available"},
        {"data after the go-ahead", "250-sink\r\n250 STARTTLS\r\n",
         "220 go ahead\r\n250 injected\r\n", "The server sent data after agreeing to STARTTLS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        server.Send("220 hi\r\n").ExpectPrefix("EHLO ").Send(c.ehlo);
        if (c.reply) {
            server.Expect("STARTTLS\r\n").Send(c.reply);
        }
        server.Silence(500);
        server.Start();
        CSMTP smtp("127.0.0.1", server.Port());
        smtp.SetSecurity(CSMTP::SEC_StartTls, "");
        smtp.SetLogin("bob", "secret");
        Attach(smtp);
        EXPECT_FALSE(smtp.Connect());
        EXPECT_EQ(smtp.GetErrorText(), c.error);
        server.Wait();
        EXPECT_EQ(server.Received().find("AUTH"), std::string::npos) << server.Received();
        EXPECT_EQ(server.Received().find("MAIL"), std::string::npos) << server.Received();
    }
}

// The socket time-outs stay short (a reply may not pause 0.4 s between reads,
// nor take 1.5 s, for POP3); the SMTP reply limits are the RFC's divided by
// 100, so the final reply may take 6 s. A reply after 3 s stands for one
// after 30 s under the real limits.
TEST_F(MailSecurityTest, SlowFinalReplyCountsAsSentOnce) {
    struct Case {
        const char* name;
        int finalMs;
        bool sent;
    } cases[] = {
        {"within the limit", CSMTP::ReplyLimits().finalMs / 100, true},
        {"past the limit", 1000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CSMTP::ReplyLimits limits;
        limits.greetingMs /= 100;
        limits.commandMs /= 100;
        limits.dataStartMs /= 100;
        limits.dataBlockMs /= 100;
        limits.finalMs = c.finalMs;
        ScopedReplyLimits scoped(limits);
        ScriptedServer server;
        server.Send("220 hi\r\n").ExpectPrefix("EHLO ").Send("250 ok\r\n");
        server.Expect("MAIL From: <me@here.org>\r\n").Send("250 ok\r\n");
        server.Expect("RCPT TO: <ann@a.org>\r\n").Send("250 ok\r\n");
        server.Expect("DATA\r\n").Send("354 go\r\n");
        server.ExpectData().Pause(3000).Send("250 queued after scanning\r\n");
        if (c.sent) {
            server.Expect("QUIT\r\n").Send("221 bye\r\n");
        }
        server.Start();
        CSMTP smtp("127.0.0.1", server.Port());
        Attach(smtp);
        ASSERT_TRUE(smtp.Connect());
        CMailContent message = Letter();
        Clock::time_point start = Clock::now();
        EXPECT_EQ(smtp.SendMessage(message), c.sent) << smtp.GetErrorText();
        EXPECT_LT(MsSince(start), 5000);
        if (!c.sent) {
            EXPECT_EQ(smtp.GetErrorText(), "Server timed out!");
        }
        smtp.Disconnect();
        server.Wait();
        std::string received = server.Received();
        size_t data = 0;
        for (size_t at = 0; (at = received.find("DATA\r\n", at)) != std::string::npos; ++at) {
            ++data;
        }
        EXPECT_EQ(data, 1u);
        EXPECT_TRUE(server.Failures().empty()) << server.Failures()[0];
    }
}

// With the real limits (minutes), an abort still ends every wait at once.
TEST_F(MailSecurityTest, AbortEndsLongWaitsAtOnce) {
    CLineSocket::Timeouts timeouts;
    ScopedSocketTimeouts standard(timeouts.receiveMs, timeouts.deadlineMs, timeouts.connectMs,
                                  timeouts.sendMs);
    ScopedReplyLimits rfc{CSMTP::ReplyLimits()};
    for (int step = 0; step < 3; ++step) {
        SCOPED_TRACE(step);
        ScriptedServer server;
        if (step == 0) {
            server.Silence(8000);  // no greeting
        } else {
            server.Send("220 hi\r\n").ExpectPrefix("EHLO ").Send("250 ok\r\n");
            if (step == 2) {
                server.Expect("MAIL From: <me@here.org>\r\n").Send("250 ok\r\n");
                server.Expect("RCPT TO: <ann@a.org>\r\n").Send("250 ok\r\n");
                server.Expect("DATA\r\n").Send("354 go\r\n");
                server.ExpectData();
            }
            server.Silence(8000);
        }
        server.Start();
        std::atomic<bool> abort{false};
        CSMTP smtp("127.0.0.1", server.Port());
        smtp.GetSocket().SetAbortFlag(&abort);
        Attach(smtp);
        std::thread aborter([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            abort = true;
        });
        Clock::time_point start = Clock::now();
        bool ok = smtp.Connect();
        if (ok) {
            CMailContent message = Letter();
            ok = step == 1 ? smtp.Disconnect() && false : smtp.SendMessage(message);
        }
        long long elapsed = MsSince(start);
        aborter.join();
        EXPECT_FALSE(ok);
        // 0.3 s to the abort, then at most a 0.1 s slice; slack for a loaded machine.
        EXPECT_LT(elapsed, 3500);
        EXPECT_FALSE(smtp.GetSocket().IsTimedOut());
        EXPECT_NE(smtp.GetErrorText().find(step == 0 ? "Server didn't respond." : "Aborted"),
                  std::string::npos)
            << smtp.GetErrorText();
        server.Stop();
    }
}
