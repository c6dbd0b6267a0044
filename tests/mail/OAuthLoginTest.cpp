// The OAuth2 logins (XOAUTH2, OAUTHBEARER) of the POP3 and SMTP clients
// against scripted servers: which mechanism, the token after "+" in POP3,
// the empty answer to a failure challenge, and no token in any log.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MailClientFixture.h"
#include "mail/CPOP3.h"
#include "mail/CSMTP.h"
#include "mail/SaslOAuth.h"
#include "support/StringUtils.h"
#include "testlib/ScriptedServer.h"

namespace {

// Longer than any line limit a careless client would cut it to.
const std::string kToken = "tok-" + std::string(5000, 'x');
// {"status":"401","schemes":"bearer","scope":"mail"}
const char* const kFailure = "eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJtYWlsIn0=";

std::string Xoauth2(const std::string& user) {
    return EncodeBase64("user=" + user + "\x01" + "auth=Bearer " + kToken + "\x01\x01");
}

std::string Bearer(const std::string& user, unsigned port) {
    return EncodeBase64("n,a=" + user + ",\x01" + "host=127.0.0.1\x01" + "port=" +
                        std::to_string(port) + "\x01" + "auth=Bearer " + kToken + "\x01\x01");
}

class OAuthLoginTest : public MailClientFixture {
protected:
    void CheckLogs() {
        std::string logs = Logs();
        EXPECT_EQ(logs.find("tok-"), std::string::npos);
        EXPECT_EQ(logs.find(Xoauth2("bob@a.org").substr(0, 40)), std::string::npos);
    }
};

}  // namespace

TEST(SaslOAuthText, FailureChallengesAndEscapes) {
    const std::pair<std::string, std::string> challenges[] = {
        {kFailure, "status 401, scope mail"},
        {std::string(" ") + kFailure + "\r\n", "status 401, scope mail"},
        // {"status":401}: a number as some servers send it.
        {"eyJzdGF0dXMiOjQwMX0=", "status 401"},
        {"bm90IGpzb24=", ""},  // "not json"
        {"W10=", ""},          // "[]"
        {"***", ""},
        {std::string(8000, 'A'), ""},
        {"", ""},
    };
    for (const auto& [in, out] : challenges) {
        EXPECT_EQ(SaslOAuth::DescribeFailure(in), out) << in.substr(0, 40);
    }
    EXPECT_EQ(SaslOAuth::Payload(SaslOAuth::Mechanism::OAuthBearer, "a,b=c", "T", "h", 1),
              "n,a=a=2Cb=3Dc,\x01host=h\x01port=1\x01"
              "auth=Bearer T\x01\x01");
}

TEST_F(OAuthLoginTest, Pop3Mechanisms) {
    struct Case {
        const char* name;
        const char* capa;
        const char* auth;    // the AUTH line expected, empty for none
        const char* answer;  // the server's reply to the response
        bool ok;
        const char* error;
    } cases[] = {
        {"both offered", "+OK\r\nSASL PLAIN XOAUTH2 OAUTHBEARER\r\n.\r\n", "AUTH OAUTHBEARER\r\n",
         "+OK in\r\n", true, "OK"},
        {"XOAUTH2 only", "+OK\r\nSASL xoauth2\r\n.\r\n", "AUTH XOAUTH2\r\n", "+OK in\r\n", true,
         "OK"},
        {"failure challenge", "+OK\r\nSASL XOAUTH2\r\n.\r\n", "AUTH XOAUTH2\r\n", nullptr, false,
         "OAuth2 login refused (status 401, scope mail): -ERR [AUTH] Authentication failed."},
        {"plain refusal", "+OK\r\nSASL XOAUTH2\r\n.\r\n", "AUTH XOAUTH2\r\n", "-ERR no\r\n", false,
         "OAuth2 login refused: -ERR no"},
        {"not offered", "+OK\r\nSASL PLAIN\r\nUSER\r\n.\r\n", "", "", false,
         "The server offers no OAuth2 login (XOAUTH2, OAUTHBEARER)"},
        {"no CAPA", "-ERR what\r\n", "", "", false,
         "The server does not list its logins (CAPA), so no OAuth2 login"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        server.Send("+OK ready\r\n").Expect("CAPA\r\n").Send(c.capa);
        if (*c.auth) {
            bool bearer = std::string(c.auth).find("OAUTHBEARER") != std::string::npos;
            // The response never rides on the AUTH line.
            server.Expect(c.auth).Send("+ \r\n");
            server.Expect((bearer ? Bearer("bob@a.org", server.Port()) : Xoauth2("bob@a.org")) +
                          "\r\n");
            if (c.answer) {
                server.Send(c.answer);
            } else {
                server.Send(std::string("+ ") + kFailure + "\r\n").Expect("\r\n");
                server.Send("-ERR [AUTH] Authentication failed.\r\n");
            }
        }
        if (c.ok) {
            server.Expect("QUIT\r\n").Send("+OK bye\r\n");
        }
        server.Start();
        CPOP3 pop("127.0.0.1", server.Port(), "bob@a.org", "");
        pop.SetBearerToken(kToken);
        Attach(pop);
        EXPECT_EQ(pop.Connect(), c.ok);
        EXPECT_EQ(pop.GetErrorText(), c.error);
        pop.Disconnect();
        server.Wait();
        EXPECT_TRUE(server.Failures().empty()) << server.Failures()[0];
        EXPECT_EQ(server.Received().find("USER"), std::string::npos);
    }
    CheckLogs();
    EXPECT_NE(TrafficText().find("AUTH XOAUTH2 (not shown)"), std::string::npos);
}

TEST_F(OAuthLoginTest, SmtpMechanisms) {
    struct Case {
        const char* name;
        const char* ehlo;
        bool bearer;
        const char* reply;
        bool ok;
        const char* error;
    } cases[] = {
        {"both offered", "250-sink\r\n250 AUTH PLAIN XOAUTH2 OAUTHBEARER\r\n", true, "235 ok\r\n",
         true, "OK"},
        {"XOAUTH2 only", "250-sink\r\n250 AUTH=XOAUTH2\r\n", false, "235 ok\r\n", true, "OK"},
        {"failure challenge", "250-sink\r\n250 AUTH XOAUTH2\r\n", false, nullptr, false,
         "SMTP OAuth2 login refused (status 401, scope mail): 535 5.7.8 failed"},
        {"plain refusal", "250-sink\r\n250 AUTH XOAUTH2\r\n", false, "535 no\r\n", false,
         "SMTP OAuth2 login refused: 535 no"},
        {"not offered", "250-sink\r\n250 AUTH PLAIN LOGIN\r\n", false, "", false,
         "The server offers no OAuth2 login (XOAUTH2, OAUTHBEARER)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        server.Send("220 hi\r\n").ExpectPrefix("EHLO ").Send(c.ehlo);
        if (!c.reply || *c.reply) {
            std::string payload = c.bearer
                                      ? "AUTH OAUTHBEARER " + Bearer("bob@a.org", server.Port())
                                      : "AUTH XOAUTH2 " + Xoauth2("bob@a.org");
            server.Expect(payload + "\r\n");
            if (c.reply) {
                server.Send(c.reply);
            } else {
                server.Send(std::string("334 ") + kFailure + "\r\n").Expect("\r\n");
                server.Send("535 5.7.8 failed\r\n");
            }
        }
        if (c.ok) {
            server.Expect("QUIT\r\n").Send("221 bye\r\n");
        }
        server.Start();
        CSMTP smtp("127.0.0.1", server.Port());
        smtp.SetLogin("bob@a.org", "");
        smtp.SetBearerToken(kToken);
        Attach(smtp);
        EXPECT_EQ(smtp.Connect(), c.ok);
        EXPECT_EQ(smtp.GetErrorText(), c.error);
        smtp.Disconnect();
        server.Wait();
        EXPECT_TRUE(server.Failures().empty()) << server.Failures()[0];
    }
    CheckLogs();
}
