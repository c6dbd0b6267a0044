#include <algorithm>
#include <filesystem>
#include <map>

#include "EngineFixture.h"
#include "Pop3Mailbox.h"
#include "ScopedSocketTimeouts.h"
#include "ScriptedServer.h"
#include "SmtpSink.h"
#include "history/CEmailHistory.h"
#include "lists/CFilterLists.h"

namespace {

// A scripted mailbox on its own loopback port, wired into an account's settings.
struct Account {
    Account(const std::string& name, int connections = 8) : box("user-" + name, "pw-" + name) {
        server.ServeEach(box.Handler(), connections);
    }
    Pop3Mailbox box;
    ScriptedServer server{30000};
};

class EngineScanTest : public EngineFixture {
protected:
    EngineScanTest() {
        smtpServer.ServeEach(sink.Handler(), 20);
        smtpServer.Start();
        Settings().WriteString("SmtpName", "127.0.0.1", "General");
        Settings().WriteInt("SmtpPort", smtpServer.Port(), "General");
    }
    ~EngineScanTest() override {
        smtpServer.Stop();
        for (auto& a : accounts) {
            a->server.Stop();
        }
    }

    Account& AddAccount(const std::string& name) {
        accounts.push_back(std::make_unique<Account>(name));
        Account& a = *accounts.back();
        std::string list = Settings().GetString("AccountsList", "General", "");
        Settings().WriteString("AccountsList", list.empty() ? name : list + "," + name, "General");
        Settings().WriteBool("Filter", true, name);
        Settings().WriteString("emailAddress", name + "@home.example", name);
        Settings().WriteString("PopName", "127.0.0.1", name);
        Settings().WriteInt("PopPort", a.server.Port(), name);
        Settings().WriteString("PopLogin", "user-" + name, name);
        Settings().WriteString("!PopPassword", "pw-" + name, name);
        return a;
    }
    void StartAll() {
        for (auto& a : accounts) {
            a->server.Start();
        }
    }
    static std::string Message(const std::string& from, const std::string& subject,
                               const std::string& body = "hello\r\n") {
        return "From: " + from + "\r\nSubject: " + subject +
               "\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n\r\n" + body;
    }
    CEmailData* AddHistory(const std::string& account, const std::string& sender,
                           const std::string& subject, uint32_t status) {
        auto* email = new CEmailData(account, static_cast<uint32_t>(time(nullptr)), sender, subject,
                                     42, "", "old date", 10, status, ER_Friend, "", "", 0);
        engine->GetHistory().Add(email);
        return email;
    }
    std::vector<CEmailData*> Records() {
        std::vector<CEmailData*> out;
        for (int i = 0; i < engine->GetHistory().GetCount(); ++i) {
            out.push_back(engine->GetHistory().GetAt(i));
        }
        return out;
    }

    ScopedSocketTimeouts timeouts{2000, 4000, 3000, 2000};
    SmtpSink sink;
    ScriptedServer smtpServer{30000};
    std::vector<std::unique_ptr<Account>> accounts;
    std::unique_ptr<CInboxWardenEngine> engine = std::make_unique<CInboxWardenEngine>();
};

}  // namespace

TEST_F(EngineScanTest, EmptyAccountListStillSavesAndChecksCleanup) {
    engine->Initialize(&owner);
    engine->ScanServers();
    auto scans = owner.Scans();
    ASSERT_EQ(scans.size(), 1u);
    EXPECT_EQ(scans[0].newLeftOnServer, 0);
    EXPECT_EQ(scans[0].newMessages, 0);
    EXPECT_EQ(owner.ScanStarts(), 1u);
    EXPECT_NE(MainLogText().find("SeeAboutCleaningUpHistory"), std::string::npos);
}

TEST_F(EngineScanTest, EmptyPiecesDisabledAndIncompleteAccounts) {
    Settings().WriteString("AccountsList", "A,,B,C", "General");
    Settings().WriteBool("Filter", false, "A");
    Settings().WriteBool("Filter", true, "B");
    Settings().WriteString("PopName", "127.0.0.1", "B");
    engine->Initialize(&owner);
    engine->ScanServers();
    std::string log = MainLogText();
    EXPECT_NE(log.find("Scanning for A is disabled"), std::string::npos);
    EXPECT_NE(log.find("Scanning for C is disabled"), std::string::npos);
    EXPECT_TRUE(owner.HasStatus("Error: Account information invalid for B"));
    EXPECT_EQ(log.find("Scanning for  is disabled"), std::string::npos);
    EXPECT_TRUE(engine->LastScanHadErrors());
}

TEST_F(EngineScanTest, RefusedLoginIsLoggedAndChangesNothing) {
    Account& a = AddAccount("Home");
    Settings().WriteString("!PopPassword", "wrong", "Home");
    StartAll();
    engine->Initialize(&owner);
    CEmailData* onServer = AddHistory("Home", "x@y.z", "kept", ES_OnServer);
    engine->ScanServers();
    EXPECT_NE(MainLogText().find("======> Could not connect to 127.0.0.1 as user-Home: "),
              std::string::npos);
    EXPECT_EQ(onServer->m_status, ES_OnServer);
    EXPECT_TRUE(engine->LastScanHadErrors());
    (void)a;
}

TEST_F(EngineScanTest, NewMessagesEnterTheHistoryOnceAndKnownOnesAreRecognised) {
    Account& a = AddAccount("Home");
    a.box.AddMessage(Message("Ann <ann@x.org>", "Twice"));
    a.box.AddMessage(Message("Ann <ann@x.org>", "Twice"));
    a.box.AddMessage(Message("Bob <bob@x.org>", "Once"));
    StartAll();
    engine->Initialize(&owner);
    // Friends' mail stays on the server for the next scan to find again.
    CFilterLists::Instance().AddWord("ann@x.org", FL_Friends);
    CFilterLists::Instance().AddWord("bob@x.org", FL_Friends);
    engine->ScanServers();
    auto records = Records();
    ASSERT_EQ(records.size(), 2u) << "the second identical message is the first one";
    EXPECT_EQ(records[0]->m_sender, "Ann <ann@x.org>");
    EXPECT_EQ(records[0]->m_serverId, 1);
    EXPECT_EQ(records[0]->m_headerTimestamp, "Mon, 1 Jan 2024 10:00:00 +0000");
    EXPECT_EQ(records[1]->m_serverId, 3);
    EXPECT_FALSE(records[0]->m_duplicate);
    EXPECT_EQ(owner.Scans().back().newMessages, 2);
    EXPECT_GE(owner.HistoryChanges(), 1);
    EXPECT_FALSE(engine->LastScanHadErrors());

    // The next scan finds them again: nothing new, ids copied afresh.
    engine->ScanServers();
    EXPECT_EQ(Records().size(), 2u);
    EXPECT_EQ(owner.Scans().back().newMessages, 0);
    EXPECT_EQ(records[1]->m_serverId, 3);
}

TEST_F(EngineScanTest, DuplicateMarkFromAnyAccountAndStatus) {
    Account& a = AddAccount("Home");
    a.box.AddMessage(Message("Ann <ann@x.org>", "Same pair", "new body\r\n"));
    a.box.AddMessage(Message("Cy <cy@x.org>", "Fresh"));
    StartAll();
    engine->Initialize(&owner);
    AddHistory("Elsewhere", "Ann <ann@x.org>", "Same pair", ES_Deleted);
    engine->ScanServers();
    auto records = Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_TRUE(records[1]->m_duplicate);
    EXPECT_FALSE(records[2]->m_duplicate);
}

TEST_F(EngineScanTest, EmptyMailboxMarksOnServerRecordsDelivered) {
    AddAccount("Home");
    StartAll();
    engine->Initialize(&owner);
    CEmailData* collected = AddHistory("Home", "a@b.c", "collected", ES_OnServer);
    CEmailData* quarantined = AddHistory("Home", "a@b.c", "held", ES_Quarantined);
    CEmailData* otherAccount = AddHistory("Other", "a@b.c", "other", ES_OnServer);
    engine->ScanServers();
    EXPECT_EQ(collected->m_status, ES_Delivered);
    EXPECT_EQ(quarantined->m_status, ES_Quarantined);
    EXPECT_EQ(otherAccount->m_status, ES_OnServer);
    EXPECT_FALSE(collected->m_dirty) << "saved at the end of the scan";
}

TEST_F(EngineScanTest, FetchFailureProtectsEveryAccountsRecords) {
    Account& first = AddAccount("First");
    first.box.AddMessage(Message("Ann <ann@x.org>", "unfetchable"));
    first.box.FailWith("TOP", "-ERR no such message\r\n");
    first.box.FailWith("RETR", "-ERR no such message\r\n");
    AddAccount("Second");
    StartAll();
    engine->Initialize(&owner);
    CEmailData* firstRecord = AddHistory("First", "a@b.c", "s", ES_OnServer);
    CEmailData* secondRecord = AddHistory("Second", "a@b.c", "s", ES_OnServer);
    engine->ScanServers();
    EXPECT_EQ(firstRecord->m_status, ES_OnServer);
    EXPECT_EQ(secondRecord->m_status, ES_OnServer);
    EXPECT_TRUE(owner.HasStatusContaining("getting message 1/1 on 127.0.0.1 from First"));
    EXPECT_TRUE(engine->LastScanHadErrors());
    EXPECT_FALSE(engine->WasCleanScan());
}

TEST_F(EngineScanTest, AbortStopsBeforeMatchingAndSaving) {
    Account& a = AddAccount("Home");
    for (int i = 0; i < 5; ++i) {
        a.box.AddMessage(Message("Ann <ann@x.org>", "m" + std::to_string(i)));
    }
    StartAll();
    engine->Initialize(&owner);
    owner.onScanStarted = [this] { engine->AbortScan(); };
    CEmailData* onServer = AddHistory("Home", "a@b.c", "s", ES_OnServer);
    engine->ScanServers();
    EXPECT_EQ(Records().size(), 1u);
    EXPECT_EQ(onServer->m_status, ES_OnServer);
    EXPECT_TRUE(onServer->m_dirty) << "no save after an abort";
    EXPECT_EQ(owner.Scans().size(), 1u) << "the owner still hears that the scan is done";
}

namespace {

// The message numbers of the DELE commands a mailbox received.
std::vector<int> DeletedNumbers(const Pop3Mailbox& box) {
    std::vector<int> out;
    for (const std::string& command : box.Commands()) {
        if (command.rfind("DELE ", 0) == 0) {
            out.push_back(atoi(command.c_str() + 5));
        }
    }
    return out;
}

}  // namespace

TEST_F(EngineScanTest, ConnectionDroppedInTheMiddleOfAHeaderFetchLosesNothing) {
    Account& a = AddAccount("Home");
    for (int i = 1; i <= 3; ++i) {
        a.box.AddMessage(
            Message("S" + std::to_string(i) + " <s" + std::to_string(i) + "@far.example>",
                    "offer " + std::to_string(i)));
    }
    // Message 2's header is cut off in every session.
    a.box.FailWith("TOP 2 ", "+OK\r\nFrom: S2 <s2@far.exa", Pop3Mailbox::CloseAfter);
    StartAll();
    engine->Initialize(&owner);
    CFilterLists::Instance().AddWord("someone@else.example", FL_Friends);
    CEmailData* collected = AddHistory("Home", "a@b.c", "collected?", ES_OnServer);
    engine->ScanServers();
    EXPECT_EQ(collected->m_status, ES_OnServer) << "no Delivered after a failed fetch";
    EXPECT_FALSE(engine->WasCleanScan());
    EXPECT_TRUE(engine->LastScanHadErrors());
    std::map<int, CEmailData*> byServerId;
    for (CEmailData* record : Records()) {
        if (record != collected) {
            byServerId[record->m_serverId] = record;
        }
    }
    ASSERT_EQ(byServerId.size(), 2u) << "messages 1 and 3 fetched, 2 not";
    for (int id : {1, 3}) {
        ASSERT_TRUE(byServerId.count(id));
        EXPECT_EQ(byServerId[id]->m_status, ES_Quarantined);
        EXPECT_TRUE(std::filesystem::exists(byServerId[id]->m_emailFilename));
    }
    EXPECT_EQ(DeletedNumbers(a.box), (std::vector<int>{1, 3}));
    auto left = a.box.Messages();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(left[0].find("offer 2"), std::string::npos);
}

TEST_F(EngineScanTest, ConnectionDroppedWhileSavingDeletesNothingUnsaved) {
    Account& a = AddAccount("Home");
    for (int i = 1; i <= 3; ++i) {
        a.box.AddMessage(
            Message("S" + std::to_string(i) + " <s" + std::to_string(i) + "@far.example>",
                    "offer " + std::to_string(i)));
    }
    // The whole of message 2 never arrives: its quarantine copy cannot be made.
    a.box.FailWith("RETR 2", "+OK\r\nFrom: S2 <s2@far.exa", Pop3Mailbox::CloseAfter);
    StartAll();
    engine->Initialize(&owner);
    CFilterLists::Instance().AddWord("someone@else.example", FL_Friends);
    // Two scans: the second one retries what the first could not finish.
    engine->ScanServers();
    engine->ScanServers();
    std::map<int, CEmailData*> byServerId;
    for (CEmailData* record : Records()) {
        byServerId[record->m_serverId] = record;
    }
    ASSERT_EQ(byServerId.size(), 3u);
    std::vector<int> saved;
    for (auto& [id, record] : byServerId) {
        if (!record->m_emailFilename.empty() && std::filesystem::exists(record->m_emailFilename)) {
            saved.push_back(id);
        }
    }
    for (int number : DeletedNumbers(a.box)) {
        EXPECT_NE(std::find(saved.begin(), saved.end(), number), saved.end())
            << "message " << number << " deleted without a saved copy";
    }
    EXPECT_EQ(std::find(saved.begin(), saved.end(), 2), saved.end());
    EXPECT_TRUE(byServerId[2]->m_todo & DeleteFromServer) << "kept for a later scan";
    bool message2Left = false;
    for (const std::string& m : a.box.Messages()) {
        message2Left = message2Left || m.find("offer 2") != std::string::npos;
    }
    EXPECT_TRUE(message2Left);
}

TEST_F(EngineScanTest, MatchingMarksDuplicatesAndEqualsAmongTheFetchedToo) {
    engine->SetReadOnly(true);
    CEmailData* old = AddHistory("Home", "Ann <ann@x.org>", "Known", ES_Quarantined);
    old->m_headerTimestamp = "a date";
    auto fetched = [](const std::string& sender, const std::string& subject, uint32_t checksum,
                      int32_t id) {
        return std::make_unique<CEmailData>("Home", 1u, sender, subject, checksum, "", "a date",
                                            10u, ES_Unknown, 0u, "", "", id);
    };
    std::vector<std::unique_ptr<CEmailData>> emails;
    emails.push_back(fetched("Ann <ann@x.org>", "Known", 42, 1));  // equal to the old one
    emails.push_back(fetched("Ann <ann@x.org>", "Known", 7, 2));   // new, same pair
    emails.push_back(fetched("Bob <bob@x.org>", "Fresh", 9, 3));   // new
    emails.push_back(fetched("Bob <bob@x.org>", "Fresh", 10, 4));  // new, pair of the one before
    emails.push_back(fetched("Bob <bob@x.org>", "Fresh", 9, 5));   // equal to number 3
    int newOnServer = 0;
    int newEmails = 0;
    engine->MatchWithHistory(emails, "Home", newOnServer, newEmails);
    EXPECT_EQ(newEmails, 3);
    EXPECT_EQ(old->m_serverId, 1);
    auto records = Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[1]->m_serverId, 2);
    EXPECT_TRUE(records[1]->m_duplicate);
    EXPECT_EQ(records[2]->m_serverId, 3);
    EXPECT_FALSE(records[2]->m_duplicate);
    EXPECT_EQ(records[3]->m_serverId, 4);
    EXPECT_TRUE(records[3]->m_duplicate);
}

TEST_F(EngineScanTest, NewGoodMailIsAnnouncedOncePerSender) {
    Account& a = AddAccount("Home");
    for (int i = 0; i < 3; ++i) {
        a.box.AddMessage(Message("Ann <ann@x.org>", "news " + std::to_string(i)));
    }
    a.box.AddMessage(Message("Bob <bob@x.org>", "hello"));
    a.box.AddMessage(Message("Ann <ann@x.org>", "news 3"));
    StartAll();
    Settings().WriteInt("NotificationType", 2, "General");
    engine->Initialize(&owner);
    CFilterLists::Instance().AddWord("ann@x.org", FL_Friends);
    CFilterLists::Instance().AddWord("bob@x.org", FL_Friends);
    engine->ScanServers();
    auto mail = owner.NewMail();
    ASSERT_EQ(mail.size(), 1u);
    EXPECT_EQ(mail[0].first, 2);
    EXPECT_EQ(mail[0].second, "You've got mail from Ann <ann@x.org>,Bob <bob@x.org>");
    EXPECT_EQ(owner.Scans().back().newLeftOnServer, 5);

    // Nothing new, or another notification type: no announcement.
    engine->ScanServers();
    EXPECT_EQ(owner.NewMail().size(), 1u);
    a.box.AddMessage(Message("Bob <bob@x.org>", "again"));
    Settings().WriteInt("NotificationType", 0, "General");
    engine->ScanServers();
    EXPECT_EQ(owner.NewMail().size(), 1u);
    EXPECT_EQ(owner.Scans().back().newLeftOnServer, 1);
}

TEST_F(EngineScanTest, LongFieldsAreRecognisedByANewEngineAfterARestart) {
    Account& a = AddAccount("Home");
    const std::string longSender = "Ann " + std::string(100, 'n') + " <ann@x.org>";
    const std::string longSubject = std::string(150, 's');
    const std::string longDate = "Mon, 1 Jan 2024 10:00:00 +0000 " + std::string(40, 'z');
    // A friend's mail stays on the server; a stranger's with a long subject
    // is quarantined but still counts as the same record after the restart.
    a.box.AddMessage(Message(longSender, "short subject"));
    a.box.AddMessage(Message("Bob <bob@x.org>", longSubject));
    a.box.AddMessage("From: Cy <cy@x.org>\r\nSubject: long date\r\nDate: " + longDate +
                     "\r\n\r\nhello\r\n");
    StartAll();
    Settings().WriteInt("NotificationType", 2, "General");
    CFilterLists::Instance().AddWord("ann@x.org", FL_Friends);
    CFilterLists::Instance().AddWord("bob@x.org", FL_Friends);
    CFilterLists::Instance().AddWord("cy@x.org", FL_Friends);
    engine->Initialize(&owner);
    engine->ScanServers();
    ASSERT_EQ(Records().size(), 3u);
    ASSERT_EQ(owner.NewMail().size(), 1u);

    // Each scan by a new process: the history comes from the database, with
    // the long fields cut to their column sizes.
    for (int restart = 0; restart < 2; ++restart) {
        engine.reset();
        engine = std::make_unique<CInboxWardenEngine>();
        ASSERT_TRUE(engine->Initialize(&owner));
        engine->ScanServers();
        auto records = Records();
        ASSERT_EQ(records.size(), 3u) << "restart " << restart;
        for (CEmailData* record : records) {
            EXPECT_EQ(record->m_status, ES_OnServer) << record->m_subject;
            EXPECT_GT(record->m_serverId, 0) << record->m_subject;
        }
        EXPECT_EQ(owner.Scans().back().newMessages, 0);
    }
    EXPECT_EQ(owner.NewMail().size(), 1u) << "a friend's mail is announced once";
    EXPECT_EQ(MainLogText().find("setting as Delivered"), std::string::npos);
}
