// The command-line scanner killed with SIGKILL at random moments while it
// scans a mailbox of 500 messages on the loopback Dovecot; after every kill a
// clean scan runs. No kill may cost a message, duplicate a record, spoil the
// database or the settings file.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <random>
#include <set>

#include "MailServers.h"
#include "SqlProbe.h"
#include "TempHome.h"
#include "lists/CFilterLists.h"
#include "support/CAppEnvironment.h"
#include "support/CSettings.h"

extern char** environ;

namespace {

constexpr int kMailboxSize = 500;

int Runs() {
    const char* runs = getenv("IW_CRASH_RUNS");
    int n = runs ? atoi(runs) : 20;
    return n > 0 ? n : 20;
}

struct ScanRun {
    int status = -1;  // exit status; -1 when killed
    long ms = 0;
    std::string output;
};

// Runs the scanner; SIGKILL at killAfterMs (when >= 0), and at limitMs in any case.
ScanRun RunScanner(int killAfterMs, int limitMs) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::string binary = IW_SCAN_BINARY;
    char* argv[] = {binary.data(), nullptr};
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, IW_SCAN_BINARY, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    ScanRun run;
    if (spawned != 0) {
        close(pipeFds[0]);
        return run;
    }
    auto start = std::chrono::steady_clock::now();
    bool killed = false;
    while (true) {
        long elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
        if (!killed && ((killAfterMs >= 0 && elapsed >= killAfterMs) || elapsed >= limitMs)) {
            kill(pid, SIGKILL);
            killed = true;
        }
        struct pollfd p = {pipeFds[0], POLLIN, 0};
        if (poll(&p, 1, 5) > 0) {
            char buffer[4096];
            ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            if (run.output.size() < 65536) {
                run.output.append(buffer, static_cast<size_t>(n));
            }
        }
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                 std::chrono::steady_clock::now() - start)
                 .count();
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string Lf(std::string text) {
    std::string out;
    for (char c : text) {
        if (c != '\r') {
            out += c;
        }
    }
    return out;
}

class CrashSafetyTest : public ::testing::Test {
protected:
    void SetUp() override {
        const MailServers& servers = MailServers::Get();
        if (!servers.Available()) {
            GTEST_SKIP() << "loopback mail servers unavailable: " << servers.Why();
        }
        servers.Clear("me");
        CSettings settings(home.File("InboxWarden.ini"));
        settings.WriteString("AccountsList", "Home", "General");
        settings.WriteBool("EnableLogging", true, "General");
        settings.WriteString("SmtpName", servers.Host(), "General");
        settings.WriteInt("SmtpPort", static_cast<int>(servers.SmtpPort()), "General");
        settings.WriteInt("NotificationType", 0, "General");
        settings.WriteBool("Filter", true, "Home");
        settings.WriteString("PopName", servers.Host(), "Home");
        settings.WriteInt("PopPort", static_cast<int>(servers.Pop3Port()), "Home");
        settings.WriteString("PopLogin", servers.Address("me"), "Home");
        settings.WriteString("!PopPassword", servers.Password("me"), "Home");
        settings.WriteString("emailAddress", servers.Address("me"), "Home");
        {
            CAppEnvironment env("InboxWarden", CAppEnvironment::AE_IniInProgramFolder);
            CAppEnvironment::SetInstance(&env);
            CFilterLists::Instance().Reload();
            CFilterLists::Instance().AddWord(servers.Address("friend"), FL_Friends);
            CFilterLists::Instance().AddWord("spam@junk.example", FL_Undesirables);
            CFilterLists::Instance().AddWord("cheap pills", FL_BadSubjects);
            CAppEnvironment::SetInstance(nullptr);
        }
        settingsText = TempHome::ReadFile(home.File("InboxWarden.ini"));
    }

    // Fills the mailbox up to 500 messages with new ones: two in five from the
    // friend, one from a stranger (challenged and quarantined), one from an
    // undesirable sender and one with a bad subject (both deleted).
    void TopUp() {
        const MailServers& servers = MailServers::Get();
        // The user's mail program collects the friends' mail meanwhile.
        for (const std::string& file : servers.List("me")) {
            std::string lf = Lf(TempHome::ReadFile(file));
            if (lf.rfind("From: Friend <", 0) == 0) {
                size_t at = lf.find("\nSubject: ");
                size_t end = lf.find('\n', at + 1);
                collected.insert(lf.substr(at + 10, end - at - 10));
                std::filesystem::remove(file);
            }
        }
        size_t have = servers.Count("me");
        for (size_t i = have; i < kMailboxSize; ++i) {
            int n = next++;
            std::string from;
            std::string subject = "note " + std::to_string(n);
            switch (n % 5) {
                case 0:
                case 1:
                    from = "Friend <" + servers.Address("friend") + ">";
                    break;
                case 2:
                    from = "Stranger <" + servers.Address("stranger") + ">";
                    break;
                case 3:
                    from = "Spam <spam@junk.example>";
                    break;
                default:
                    from = "Seller <seller" + std::to_string(n) + "@shop.example>";
                    subject = "cheap pills " + std::to_string(n);
            }
            std::string text = "From: " + from + "\r\nTo: " + servers.Address("me") +
                               "\r\nSubject: " + subject +
                               "\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\nMessage-ID: <" +
                               std::to_string(n) + "@crash.test>\r\n\r\nbody of message " +
                               std::to_string(n) + "\r\n.a line with a dot\r\nend\r\n";
            ASSERT_FALSE(servers.Drop("me", text).empty());
            sent[subject] = text;
        }
    }

    // Subjects of the messages on the server now.
    std::set<std::string> OnServer() {
        std::set<std::string> subjects;
        for (const std::string& text : MailServers::Get().ReadAll("me")) {
            std::string lf = Lf(text);
            size_t at = lf.find("\nSubject: ");
            if (at != std::string::npos) {
                size_t end = lf.find('\n', at + 1);
                subjects.insert(lf.substr(at + 10, end - at - 10));
            }
        }
        return subjects;
    }

    void Check(const std::string& when) {
        SCOPED_TRACE(when);
        std::string db = home.File("InboxWarden.mdb");
        for (const auto& entry : std::filesystem::directory_iterator(home.Path())) {
            EXPECT_EQ(entry.path().filename().string().find(".bad-"), std::string::npos)
                << "the database was found unusable and moved aside: " << entry.path();
        }
        SqlProbe probe(db);
        ASSERT_TRUE(probe.IsOpen());
        EXPECT_EQ(probe.Column("PRAGMA integrity_check"), std::vector<std::string>{"ok"});
        EXPECT_EQ(probe.Number("SELECT COUNT(*) FROM (SELECT 1 FROM EmailData GROUP BY account, "
                               "sender, subject, headerTimestamp, bodyChecksum "
                               "HAVING COUNT(*) > 1)"),
                  0)
            << "duplicate records of one message";
        std::set<std::string> still = OnServer();
        std::multimap<std::string, std::string> files;
        for (const std::string& row : probe.Column(
                 "SELECT subject || char(1) || ifnull(emailFilename, '') FROM EmailData")) {
            size_t cut = row.find('\x01');
            files.emplace(row.substr(0, cut), cut == std::string::npos ? "" : row.substr(cut + 1));
        }
        size_t gone = 0;
        for (const auto& [subject, text] : sent) {
            if (collected.count(subject)) {
                continue;
            }
            if (still.count(subject)) {
                // The clean scan has finished what the killed one left.
                EXPECT_EQ(text.rfind("From: Friend <", 0), 0u)
                    << "still on the server after a clean scan: " << subject;
                continue;
            }
            ++gone;
            EXPECT_NE(text.rfind("From: Friend <", 0), 0u)
                << "a friend's message left the server: " << subject;
            if (verified.count(subject)) {
                continue;
            }
            auto [first, last] = files.equal_range(subject);
            ASSERT_TRUE(first != files.end() && first->first == subject)
                << "no record of a message that left the server: " << subject;
            ASSERT_EQ(std::distance(first, last), 1) << "two records of " << subject;
            ASSERT_FALSE(first->second.empty() || first->second == "<null>")
                << "left the server without a quarantine file: " << subject;
            EXPECT_EQ(Lf(TempHome::ReadFile(first->second)), Lf(text))
                << "quarantine file not whole: " << first->second;
            verified.insert(subject);
        }
        goneTotal = gone;
        // Whole: every line a section, a key or empty, and every key as written.
        std::string ini = TempHome::ReadFile(home.File("InboxWarden.ini"));
        size_t start = 0;
        while (start < ini.size()) {
            size_t end = ini.find('\n', start);
            std::string line = ini.substr(start, end == std::string::npos ? end : end - start);
            start = end == std::string::npos ? ini.size() : end + 1;
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            EXPECT_TRUE(line.empty() || line[0] == '[' || line.find('=') != std::string::npos)
                << "a broken line in the settings file: " << line;
        }
        EXPECT_FALSE(ini.empty() || ini.back() != '\n') << "the settings file ends mid-line";
        CSettings settings(home.File("InboxWarden.ini"));
        EXPECT_EQ(settings.GetString("AccountsList", "General", ""), "Home");
        EXPECT_EQ(settings.GetString("PopLogin", "Home", ""), MailServers::Get().Address("me"));
    }

    TempHome home;
    std::string settingsText;
    std::map<std::string, std::string> sent;
    std::set<std::string> collected;
    std::set<std::string> verified;  // left the server and found whole in quarantine
    int next = 0;
    size_t goneTotal = 0;
};

TEST_F(CrashSafetyTest, KilledScansLoseNothing) {
    std::mt19937 random(static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr)));
    long fullMs = 2000;  // a first guess
    int runs = Runs();
    int killedMidScan = 0;
    for (int round = 0; round < runs; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TopUp();
        std::uniform_int_distribution<long> moment(10, fullMs);
        long at = moment(random);
        ScanRun killed = RunScanner(static_cast<int>(at), 120000);
        if (killed.status == -1) {
            ++killedMidScan;
        }
        ScanRun clean = RunScanner(-1, 180000);
        ASSERT_NE(clean.status, -1) << "the clean scan did not end:\n" << clean.output;
        if (clean.status != 0) {
            std::string log = TempHome::ReadFile(home.File("InboxWarden.log"));
            ADD_FAILURE() << "the clean scan had errors:\n"
                          << clean.output << "\n"
                          << log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
        }
        // The next kill falls inside the length of the last whole scan seen.
        if (killed.status != -1) {
            fullMs = std::max(50L, killed.ms * 9 / 10);
        } else if (clean.ms > 1000) {
            fullMs = clean.ms * 9 / 10;
        }
        printf("round %d: killed after %ld ms (%s), clean scan %ld ms\n", round, at,
               killed.status == -1 ? "mid-scan" : "had ended", clean.ms);
        fflush(stdout);
        Check("after round " + std::to_string(round));
        if (HasFatalFailure()) {
            return;
        }
    }
    printf("%d of %d runs killed mid-scan; %zu messages left the server, each with its copy\n",
           killedMidScan, runs, goneTotal);
    EXPECT_GE(killedMidScan, runs / 2) << "the kills came too late to test anything";
    EXPECT_GT(goneTotal, 0u);
}

}  // namespace
