// Reading who wrote the mail on the loopback Dovecot: headers only, nothing
// on the server changed, and a cancel that ends the survey.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "engine/CSenderSurvey.h"
#include "testlib/MailServers.h"
#include "testlib/ScopedSocketTimeouts.h"
#include "testlib/TempHome.h"

namespace {

std::string Message(const std::string& from, const std::string& subject,
                    const std::string& extra = "") {
    return "From: " + from + "\r\nTo: me@iw.test\r\nSubject: " + subject + "\r\n" + extra +
           "Date: Tue, 08 Dec 26 02:00:00 GMT\r\n\r\nbody\r\n.line that needs stuffing\r\n";
}

TEST(SenderSurvey, TalliesSendersAndTicksOnlyPersonalOnes) {
    IW_REQUIRE_TLS_MAIL_SERVERS();
    const MailServers& servers = MailServers::Get();
    TempHome home;
    ScopedSocketTimeouts timeouts(5000, 8000);
    servers.Clear("me");
    const std::string messages[] = {
        Message("Ann Lee <Ann@x.org>", "first"),
        Message("\"Bulk Co\" <news@shop.example>", "offer", "List-Unsubscribe: <mailto:u@x>\r\n"),
        Message("ann@x.org", "second"),
        Message("<no-reply@bank.example>", "statement"),
        Message("robot@x.org", "alert", "Auto-Submitted: auto-generated\r\n"),
        Message("MAILER-DAEMON@x.org", "bounce"),
        Message("not an address", "nobody"),
    };
    for (const std::string& message : messages) {
        ASSERT_FALSE(servers.Drop("me", message).empty());
    }

    CConnectionSettings::Server server;
    server.host = servers.Host();
    server.port = servers.Pop3Port();
    server.security = 1;
    server.caFile = servers.CaFile();
    server.login = servers.Address("me");
    server.password = servers.Password("me");
    CSenderSurvey survey;
    std::vector<int> seen;
    ASSERT_TRUE(survey.Run(server, nullptr, [&](int done, int total) {
        EXPECT_EQ(total, 7);
        seen.push_back(done);
    })) << survey.ErrorText();
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));

    struct Expected {
        const char* address;
        int count;
        const char* subject;
        bool personal;
    };
    const Expected expected[] = {
        {"ann@x.org", 2, "second", true},         {"mailer-daemon@x.org", 1, "bounce", false},
        {"news@shop.example", 1, "offer", false}, {"no-reply@bank.example", 1, "statement", false},
        {"robot@x.org", 1, "alert", false},
    };
    std::vector<CSenderSurvey::Sender> senders = survey.Result();
    ASSERT_EQ(senders.size(), std::size(expected));
    for (size_t i = 0; i < senders.size(); ++i) {
        EXPECT_EQ(senders[i].address, expected[i].address);
        EXPECT_EQ(senders[i].count, expected[i].count) << expected[i].address;
        EXPECT_EQ(senders[i].latestSubject, expected[i].subject) << expected[i].address;
        EXPECT_EQ(senders[i].personal, expected[i].personal) << expected[i].address;
    }
    EXPECT_EQ(senders[1].name, "");
    EXPECT_EQ(servers.Count("me"), std::size(messages));

    // A cancel already asked for ends the survey before the first header;
    // a wrong password ends it with the server's reason.
    std::atomic<bool> cancel{true};
    CSenderSurvey cancelled;
    EXPECT_FALSE(cancelled.Run(server, &cancel, nullptr));
    EXPECT_EQ(cancelled.ErrorText(), "Cancelled");
    EXPECT_TRUE(cancelled.Result().empty());
    server.password = "wrong";
    CSenderSurvey refused;
    EXPECT_FALSE(refused.Run(server, nullptr, nullptr));
    EXPECT_NE(refused.ErrorText(), "");
    EXPECT_EQ(servers.Count("me"), std::size(messages));
    servers.Clear("me");
}

}  // namespace
