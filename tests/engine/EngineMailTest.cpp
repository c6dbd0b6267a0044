#include "EngineFixture.h"
#include "ScopedSocketTimeouts.h"
#include "ScriptedServer.h"
#include "SmtpSink.h"
#include "engine/ProductInfo.h"
#include "mail/CMailContent.h"
#include "mail/CSMTP.h"

namespace {

class EngineMailTest : public EngineFixture {
protected:
    EngineMailTest() {
        server.ServeEach(sink.Handler(), 20);
        server.Start();
        Settings().WriteString("emailAddress", "me@home.example", "Home");
    }
    ~EngineMailTest() override { server.Stop(); }

    // An engine whose current SMTP client talks to the sink.
    void Send(const std::function<void(CInboxWardenEngine&)>& action) {
        CInboxWardenEngine engine;
        CSMTP smtp("127.0.0.1", port ? port : server.Port());
        engine.SetCurrentClients(nullptr, &smtp);
        engine.SetReadOnly(readOnly);
        action(engine);
        engine.SetCurrentClients(nullptr, nullptr);
    }

    CEmailData Record(const std::string& sender, const std::string& subject) {
        return CEmailData("Home", 1000, sender, subject, 1, "text", "", 10, ES_Unknown, 0, "", "",
                          0);
    }

    std::string Header(const SmtpSink::Delivery& d, const std::string& name) {
        size_t pos = d.data.find("\r\n" + name + ": ");
        if (d.data.rfind(name + ": ", 0) == 0) {
            pos = 0;
        } else if (pos != std::string::npos) {
            pos += 2;
        } else {
            return "";
        }
        size_t end = d.data.find("\r\n", pos);
        return d.data.substr(pos + name.size() + 2, end - pos - name.size() - 2);
    }

    ScopedSocketTimeouts timeouts{2000, 4000, 3000, 2000};
    SmtpSink sink;
    ScriptedServer server{20000};
    bool readOnly = false;
    unsigned port = 0;
};

}  // namespace

TEST_F(EngineMailTest, ChallengeAnswersTheSenderWithTheTag) {
    Settings().WriteString("Name", "General Name", "General");
    CEmailData email = Record("Bob Smith <bob@example.com>", "Meeting");
    std::string tag;
    bool sent = false;
    Send([&](CInboxWardenEngine& engine) {
        tag = engine.GetChallengeTag("bob@example.com");
        sent = engine.SendChallenge(&email);
    });
    ASSERT_TRUE(sent);
    auto deliveries = sink.Deliveries();
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].recipients, std::vector<std::string>{"bob@example.com"});
    EXPECT_EQ(deliveries[0].from, "me@home.example");
    EXPECT_EQ(Header(deliveries[0], "Subject"), "RE: Meeting " + tag);
    // No challenge file: the built-in text, with the user's name from "General".
    EXPECT_NE(deliveries[0].data.find("Your previous email to General Name has been wrongly"),
              std::string::npos);
    EXPECT_NE(deliveries[0].data.find(std::string("go to ") + kProductWebAddress),
              std::string::npos);
    EXPECT_NE(deliveries[0].data.find("By InboxWarden, General Name's anti-spam filter"),
              std::string::npos);
    EXPECT_NE(deliveries[0].data.find("\r\n----------------------\r\nTake back control of your "
                                      "inbox!  Get your copy of InboxWarden at:\r\n"),
              std::string::npos);
}

TEST_F(EngineMailTest, ChallengeFilePlaceholdersAndLongNames) {
    std::string longName(300, 'N');
    Settings().WriteString("Name", longName, "Home");
    std::string text = "Hello from %0.\nSee %1.\n";
    for (int i = 2; i < 100; ++i) {
        text += "%" + std::to_string(i);
    }
    text += "\n%x 100% %0%0%0%0%0%0%0%0%0%0\r\n";
    TempHome::WriteFile(home.File("Home_Challenge.txt"), text);
    CEmailData email = Record("bob@example.com", "Hi");
    bool sent = false;
    Send([&](CInboxWardenEngine& engine) { sent = engine.SendChallenge(&email); });
    ASSERT_TRUE(sent);
    auto deliveries = sink.Deliveries();
    ASSERT_EQ(deliveries.size(), 1u);
    const std::string& data = deliveries[0].data;
    EXPECT_NE(data.find("Hello from " + longName + ".\r\nSee " + kProductWebAddress + ".\r\n"),
              std::string::npos);
    std::string unknowns;
    for (int i = 2; i < 100; ++i) {
        unknowns += "???";
    }
    EXPECT_NE(data.find(unknowns + "\r\n"), std::string::npos);
    std::string tenNames;
    for (int i = 0; i < 10; ++i) {
        tenNames += longName;
    }
    EXPECT_NE(data.find("%x 100% " + tenNames + "\r\n"), std::string::npos);
    EXPECT_EQ(data.find("\r\r\n"), std::string::npos) << "existing CRLF not doubled";
    EXPECT_NE(MainLogText().find("Using challenge file Home_Challenge.txt"), std::string::npos);
}

TEST_F(EngineMailTest, InvalidRecipientSendsNothing) {
    CEmailData email = Record("Bob Smith", "Hi");
    bool sent = true;
    Send([&](CInboxWardenEngine& engine) { sent = engine.SendChallenge(&email); });
    EXPECT_FALSE(sent);
    EXPECT_EQ(server.ConnectionsAccepted(), 0);
    EXPECT_NE(MainLogText().find("Cannot proceed with SendEmail: Invalid email address: Bob Smith"),
              std::string::npos);
}

TEST_F(EngineMailTest, ReadOnlyConnectsButTransmitsNothing) {
    readOnly = true;
    bool sent = false;
    Send([&](CInboxWardenEngine& engine) {
        sent = engine.SendEmail("Home", "me@home.example", "Ann <ann@x.org>", "I'm here!",
                                "Have a good day!\n\nInboxWarden");
    });
    EXPECT_TRUE(sent);
    EXPECT_TRUE(sink.Deliveries().empty());
    EXPECT_EQ(server.ConnectionsAccepted(), 1);
    bool quit = false;
    for (const auto& c : sink.Commands()) {
        EXPECT_EQ(c.rfind("MAIL", 0), std::string::npos) << c;
        quit = quit || c.rfind("QUIT", 0) == 0;
    }
    EXPECT_TRUE(quit);
}

TEST_F(EngineMailTest, FailedConnectIsReported) {
    {
        // A port that was just free: nothing listens there.
        ScriptedServer closed;
        port = closed.Port();
    }
    bool sent = true;
    Send([&](CInboxWardenEngine& engine) {
        sent = engine.SendEmail("Home", "me@home.example", "ann@x.org", "s", "b");
    });
    EXPECT_FALSE(sent);
    EXPECT_NE(MainLogText().find("======> Error: m_pSmtp->Connect() to 127.0.0.1 returned"),
              std::string::npos);
}

TEST_F(EngineMailTest, FormatNowForms) {
    std::string shortForm = CInboxWardenEngine::FormatNow(true);
    std::string longForm = CInboxWardenEngine::FormatNow(false);
    EXPECT_EQ(shortForm.size(), std::string("Dec 08 14:05").size());
    EXPECT_EQ(longForm.size(), std::string("Dec 08 26 14:05").size());
}

TEST_F(EngineMailTest, ChallengeToAForgedSubjectSendsNoFieldOfTheSenders) {
    const std::string subject = "hi\nBcc: victim@example.org " + std::string(100000, 'x');
    CEmailData email = Record("Bob <bob@example.com>", subject);
    std::string tag;
    Send([&](CInboxWardenEngine& engine) {
        tag = engine.GetChallengeTag("bob@example.com");
        EXPECT_TRUE(engine.SendChallenge(&email));
    });
    auto deliveries = sink.Deliveries();
    ASSERT_EQ(deliveries.size(), 1u);
    std::string data = deliveries[0].data;
    EXPECT_EQ(data.find("\nBcc:"), std::string::npos);
    // Cut to 200 characters before the tag, which stays whole; then folded.
    for (size_t fold; (fold = data.find("\r\n ")) != std::string::npos;) {
        data.erase(fold, 2);
    }
    EXPECT_EQ(Header({deliveries[0].from, {}, data}, "Subject"),
              "RE: hi Bcc: victim@example.org " + std::string(200 - 27, 'x') + " " + tag);
}
