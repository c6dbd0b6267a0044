#include <sys/stat.h>

#include <filesystem>

#include "EngineFixture.h"
#include "Pop3Mailbox.h"
#include "ScopedSocketTimeouts.h"
#include "ScriptedServer.h"
#include "SmtpSink.h"
#include "mail/CPOP3.h"
#include "mail/CSMTP.h"

namespace fs = std::filesystem;

namespace {

class EngineQuarantineTest : public EngineFixture {
protected:
    CEmailData* Record(const std::string& account, const std::string& sender,
                       const std::string& subject, int serverId = 0) {
        auto* email = new CEmailData(account, 1000, sender, subject, 1, "the text\r\n",
                                     "Mon, 1 Jan 2024 10:00:00 +0000", 10, ES_Quarantined, 0, "",
                                     "", serverId);
        engine->GetHistory().Add(email);
        return email;
    }
    std::string QuarantineRoot() { return home.Path() + "Quarantine/"; }

    ScopedSocketTimeouts timeouts{2000, 4000, 3000, 2000};
    std::unique_ptr<CInboxWardenEngine> engine = std::make_unique<CInboxWardenEngine>();
};

}  // namespace

TEST_F(EngineQuarantineTest, NamesComeFromSenderAndSubject) {
    CEmailData* email = Record("Home", "Bob", "Hi");
    ASSERT_TRUE(engine->SaveToQuarantine(email));
    EXPECT_EQ(email->m_emailFilename, QuarantineRoot() + "Home/Bob_Hi_0.eml");
    EXPECT_TRUE(email->m_dirty);
    // Without a server id the file is made from the record's fields.
    EXPECT_EQ(TempHome::ReadFile(email->m_emailFilename),
              "\r\nFrom: Bob\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\nSubject: Hi\r\n\r\nthe "
              "text\r\n");

    // The same name again: the next counter; an existing file is never replaced.
    CEmailData* again = Record("Home", "Bob", "Hi");
    ASSERT_TRUE(engine->SaveToQuarantine(again));
    EXPECT_EQ(again->m_emailFilename, QuarantineRoot() + "Home/Bob_Hi_1.eml");
    EXPECT_NE(TempHome::ReadFile(email->m_emailFilename), "");

    // Removed characters, blanks and dots included; account folders may nest.
    CEmailData* odd = Record("Work/Team: A", "\"Ann B.\" <ann@x.org>", "Re: a/b?*|");
    ASSERT_TRUE(engine->SaveToQuarantine(odd));
    EXPECT_EQ(odd->m_emailFilename, QuarantineRoot() + "Work/TeamA/AnnBann@xorg_Reab_0.eml");

    // A base name over 100 characters is cut before the counter.
    CEmailData* longOne = Record("Home", std::string(80, 's'), std::string(80, 't'));
    ASSERT_TRUE(engine->SaveToQuarantine(longOne));
    std::string base = std::string(80, 's') + "_" + std::string(19, 't');
    EXPECT_EQ(longOne->m_emailFilename, QuarantineRoot() + "Home/" + base + "_0.eml");
}

TEST_F(EngineQuarantineTest, PathsStayInsideTheQuarantineFolder) {
    for (const char* account : {"../../etc", "/abs", "a\\..\\..\\b", "..", "./."}) {
        CEmailData* email = Record(account, "../../x", "../../../y");
        ASSERT_TRUE(engine->SaveToQuarantine(email)) << account;
        fs::path file = fs::weakly_canonical(email->m_emailFilename);
        fs::path root = fs::weakly_canonical(QuarantineRoot());
        EXPECT_EQ(file.string().rfind(root.string(), 0), 0u) << email->m_emailFilename;
    }
    // A NUL in a header field: every copy still gets its own counted ".eml" file.
    for (int n = 0; n < 2; ++n) {
        CEmailData* email = Record("Home", std::string("Eve\0", 4), std::string("Hi\0there", 8));
        ASSERT_TRUE(engine->SaveToQuarantine(email));
        EXPECT_EQ(email->m_emailFilename,
                  QuarantineRoot() + "Home/Eve_Hithere_" + std::to_string(n) + ".eml");
        EXPECT_TRUE(fs::is_regular_file(email->m_emailFilename));
    }
}

TEST_F(EngineQuarantineTest, SavedCopyIsTheMessageItselfAndFailuresLeaveNoFile) {
    Pop3Mailbox box("bob", "secret");
    const std::string message =
        "From: Bob <bob@x.org>\r\nSubject: Dots\r\n\r\n.signature\r\n..two\r\n.\r\nend\r\n";
    box.AddMessage(message);
    ScriptedServer server;
    server.ServeEach(box.Handler(), 1);
    server.Start();
    CPOP3 pop3("127.0.0.1", server.Port(), "bob", "secret");
    ASSERT_TRUE(pop3.Connect());
    engine->SetCurrentClients(&pop3, nullptr);

    CEmailData* email = Record("Home", "Bob <bob@x.org>", "Dots", 1);
    ASSERT_TRUE(engine->SaveToQuarantine(email));
    EXPECT_EQ(TempHome::ReadFile(email->m_emailFilename), message);

    CEmailData* missing = Record("Home", "Bob <bob@x.org>", "Gone", 7);
    EXPECT_FALSE(engine->SaveToQuarantine(missing));
    EXPECT_TRUE(missing->m_emailFilename.empty());
    EXPECT_FALSE(fs::exists(QuarantineRoot() + "Home/Bobbob@xorg_Gone_0.eml"));
    EXPECT_TRUE(fs::exists(QuarantineRoot() + "Home/Bobbob@xorg_Dots_0.eml"));
    EXPECT_NE(MainLogText().find("======> GetMessage returned FALSE ("), std::string::npos);
    engine->SetCurrentClients(nullptr, nullptr);
    pop3.Disconnect();
    server.Stop();
}

TEST_F(EngineQuarantineTest, QuarantineFolderThatIsAFile) {
    TempHome::WriteFile(home.File("Quarantine"), "not a folder");
    CEmailData* email = Record("Home", "Bob", "Hi");
    EXPECT_FALSE(engine->SaveToQuarantine(email));
    EXPECT_TRUE(email->m_emailFilename.empty());
    std::string log = MainLogText();
    EXPECT_NE(log.find("CreateDirectory failed for"), std::string::npos);
    EXPECT_NE(log.find("======> Error: Could not create valid filename from Bob_Hi : "),
              std::string::npos);
}

TEST_F(EngineQuarantineTest, RestoreGoesToTheAccountAddressOnly) {
    Settings().WriteString("emailAddress", "Me <me@home.example>", "Home");
    SmtpSink sink;
    ScriptedServer server;
    server.ServeEach(sink.Handler(), 5);
    server.Start();
    CSMTP smtp("127.0.0.1", server.Port());
    engine->SetCurrentClients(nullptr, &smtp);

    CEmailData* email = Record("Home", "Bob <bob@x.org>", "Hi");
    std::string path = QuarantineRoot() + "stored.eml";
    fs::create_directories(QuarantineRoot());
    TempHome::WriteFile(path,
                        "From: Bob <bob@x.org>\r\nTo: list@lists.example\r\nCc: "
                        "colleague@x.org\r\nSubject: Hi\r\nDate: Mon, 1 Jan 2024 10:00:00 "
                        "+0000\r\n\r\n.dot line\r\nbody\r\n");
    email->m_emailFilename = path;
    ASSERT_TRUE(engine->RestoreEmailPrivate(email));
    EXPECT_EQ(email->m_status, ES_OnServer);
    auto deliveries = sink.Deliveries();
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].recipients, std::vector<std::string>{"me@home.example"});
    EXPECT_EQ(deliveries[0].from, "bob@x.org");
    const std::string& data = deliveries[0].data;
    EXPECT_NE(data.find("Subject: Hi[InboxWardenRestored]\r\n"), std::string::npos) << data;
    EXPECT_NE(data.find("list@lists.example"), std::string::npos) << "header keeps its To";
    EXPECT_NE(data.find("\r\n\r\n.dot line\r\nbody\r\n"), std::string::npos) << data;

    // A stored copy without To or Cc (a blind copy, or the short copy of a
    // message that was gone from the server) comes back addressed to the user.
    email->m_status = ES_Quarantined;
    TempHome::WriteFile(path, "\r\nFrom: Bob <bob@x.org>\r\nSubject: Hi\r\n\r\nbcc body\r\n");
    ASSERT_TRUE(engine->RestoreEmailPrivate(email));
    deliveries = sink.Deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[1].recipients, std::vector<std::string>{"me@home.example"});
    EXPECT_NE(deliveries[1].data.find("To: <me@home.example>"), std::string::npos)
        << deliveries[1].data;

    // No address for the account: nothing can be restored.
    Settings().WriteString("emailAddress", "", "Home");
    email->m_status = ES_Quarantined;
    EXPECT_FALSE(engine->RestoreEmailPrivate(email));
    EXPECT_EQ(email->m_status, ES_Quarantined);
    EXPECT_EQ(sink.Deliveries().size(), 2u);
    engine->SetCurrentClients(nullptr, nullptr);
    server.Stop();
}

TEST_F(EngineQuarantineTest, RestoreWithoutFileOrSeparator) {
    Settings().WriteString("emailAddress", "me@home.example", "Home");
    CEmailData* email = Record("Home", "Bob", "Hi");
    EXPECT_TRUE(engine->RestoreEmailPrivate(email)) << "nothing saved counts as restored";
    email->m_emailFilename = home.File("deleted-by-hand.eml");
    EXPECT_TRUE(engine->RestoreEmailPrivate(email));
    EXPECT_EQ(email->m_status, ES_Quarantined) << "status unchanged";
    TempHome::WriteFile(home.File("lf.eml"), "From: Bob\n\nbody\n");
    email->m_emailFilename = home.File("lf.eml");
    EXPECT_FALSE(engine->RestoreEmailPrivate(email));
    EXPECT_NE(MainLogText().find("Returning from RestoreEmailPrivate: could not find separator"),
              std::string::npos);
}

TEST_F(EngineQuarantineTest, SenderRestoreCountsAndGivesUpAfterElevenFailures) {
    Settings().WriteString("emailAddress", "me@home.example", "Home");
    engine->Initialize(&owner);
    // No SMTP server: every send fails.
    CEmailData* a = Record("Home", "Bob <bob@x.org>", "one");
    CEmailData* b = Record("Other", "Bob <bob@x.org>", "two");
    CEmailData* onServer = Record("Home", "Bob <bob@x.org>", "three");
    onServer->m_status = ES_OnServer;
    for (CEmailData* e : {a, b}) {
        ASSERT_TRUE(engine->SaveToQuarantine(e));
        e->m_todo = RestoreSender;
    }
    EXPECT_EQ(engine->RestoreEmailsFromSenderPrivate("Bob <bob@x.org>"), 0);
    EXPECT_EQ(a->m_todo, uint32_t{RestoreEmail});
    EXPECT_EQ(a->m_restoreFailures, 1);
    EXPECT_EQ(onServer->m_restoreFailures, 0);
    for (int i = 0; i < 10; ++i) {
        engine->RestoreEmailsFromSenderPrivate("Bob <bob@x.org>");
    }
    EXPECT_EQ(a->m_restoreFailures, 11);
    EXPECT_EQ(a->m_todo, 0u) << "no more attempts";
    auto warnings = owner.Statuses(IEngineOwner::SL_PendingWarning);
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_NE(warnings[0].find("These files are named after the sender, Bob <bob@x.org>.\n"),
              std::string::npos);
    auto opened = owner.Opened();
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0], home.Path() + "Quarantine/Home");
    EXPECT_EQ(opened[1], home.Path() + "Quarantine/Other");
}
