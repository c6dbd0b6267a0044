#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QMessageBox>
#include <QtTest>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "MemorySecretStore.h"
#include "ModalAnswer.h"
#include "ProgramRunner.h"
#include "ScopedAppEnvironment.h"
#include "ScopedCwd.h"
#include "Screenshot.h"
#include "TempHome.h"
#include "app/CInboxWardenApp.h"
#include "engine/CInboxWardenEngine.h"
#include "support/CAccountLock.h"
#include "secrets/CPasswordAccess.h"
#include "support/CAppEnvironment.h"
#include "support/CInstanceLink.h"
#include "ui/CInboxWardenDlg.h"

extern char** environ;

namespace {

// A program of the build running in the background with its own program
// folder; killed with the object.
class Background {
public:
    Background(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env) {
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv = ProgramRunner::NullTerminated(all);
        // env's NAME=value entries replace those of the test's environment.
        std::vector<std::string> variables = env;
        for (char** e = environ; *e; ++e) {
            std::string entry = *e;
            std::string name = entry.substr(0, entry.find('='));
            bool replaced = false;
            for (const auto& v : env) {
                replaced = replaced || v.compare(0, name.size() + 1, name + "=") == 0;
            }
            if (!replaced) {
                variables.push_back(entry);
            }
        }
        std::vector<char*> envp = ProgramRunner::NullTerminated(variables);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) !=
            0) {
            m_pid = 0;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Background() { Stop(); }

    pid_t Pid() const { return m_pid; }
    // Waits for the exit (bounded); the exit status, or -1.
    int Wait(int limitMs) {
        for (int waited = 0; m_pid > 0 && waited <= limitMs; waited += 20) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = 0;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
    void Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            int status = 0;
            waitpid(m_pid, &status, 0);
            m_pid = 0;
        }
    }

private:
    pid_t m_pid = 0;
};

bool WaitForFile(const std::string& path, int limitMs) {
    for (int waited = 0; waited <= limitMs; waited += 50) {
        if (std::filesystem::exists(path)) {
            return true;
        }
        QTest::qWait(50);
    }
    return false;
}

void WriteSettings(const std::string& folder, const std::string& interval, const std::string& host,
                   const std::string& user) {
    TempHome::WriteFile(folder + "InboxWarden.ini",
                        "[General]\nEnableLogging=Yes\nInterval=" + interval +
                            "\nAccountsList=Home\n[Home]\nPopName=" + host + "\nPopLogin=" + user +
                            "\nPopPort=1\n");
}

}  // namespace

class TestApp : public QObject {
    Q_OBJECT

private slots:
    void commandWordsAreSubstrings() {
        struct Case {
            std::vector<std::string> words;
            bool readOnly;
            bool firstTime;
        } cases[] = {
            {{}, false, false},
            {{"readonly"}, true, false},
            {{"--readonlyplease"}, true, false},
            {{"ReadOnly", "FIRSTTIME"}, false, false},
            {{"x", "firsttime"}, false, true},
            {{"readonly,firsttime"}, true, true},
            {{"read only"}, false, false},
        };
        for (const Case& c : cases) {
            CInboxWardenApp app(c.words);
            QCOMPARE(app.ReadOnly(), c.readOnly);
            QCOMPARE(app.FirstTime(), c.firstTime);
        }
    }

    void firstRunSetupDecidesWhetherTheProgramStarts() {
        struct Case {
            const char* name;
            const char* interval;  // nullptr: no settings file
            std::vector<std::string> words;
            bool setupSaves;
            bool setupShown;
            CInboxWardenApp::RunResult result;
        } cases[] = {
            {"never configured", nullptr, {}, false, true, CInboxWardenApp::RR_SetupCancelled},
            {"interval 0, cancelled", "0", {}, false, true, CInboxWardenApp::RR_SetupCancelled},
            {"interval 0, saved", "0", {}, true, true, CInboxWardenApp::RR_Closed},
            {"configured", "600", {}, false, false, CInboxWardenApp::RR_Closed},
            {"firsttime word",
             "600",
             {"firsttime"},
             false,
             true,
             CInboxWardenApp::RR_SetupCancelled},
        };
        for (const Case& c : cases) {
            TempHome home;
            if (c.interval) {
                WriteSettings(home.Path(), c.interval, "pop.example", "me");
            }
            bool shown = false;
            bool windowRan = false;
            {
                ScopedAppEnvironment env;
                CInboxWardenApp app(c.words);
                app.SetInteractive(false);
                app.SetFirstRunHook([&](QWidget*) {
                    shown = true;
                    return c.setupSaves;
                });
                app.SetWindowRunner([&](CInboxWardenDlg& window) {
                    windowRan = true;
                    QVERIFY(window.Engine() != nullptr);
                    QVERIFY(window.Engine()->IsReadOnly());
                });
                QCOMPARE(app.Run(), c.result);
            }
            QVERIFY2(shown == c.setupShown, c.name);
            QVERIFY2(windowRan == (c.result == CInboxWardenApp::RR_Closed), c.name);
            QVERIFY2(std::filesystem::exists(home.File("InboxWarden.mdb")) == windowRan,
                     "a cancelled setup creates no database");
            std::string log = TempHome::ReadFile(home.File("InboxWarden.log"));
            QVERIFY2(log.find("After log initialize") != std::string::npos, c.name);
            QVERIFY2((log.find("InboxWarden shutting down...") != std::string::npos) == windowRan,
                     c.name);
        }
    }

    void listenerAnswersFromTheSettings() {
        TempHome home;
        WriteSettings(home.Path(), "600", "ab", "xy");
        {
            ScopedAppEnvironment env;
            CInboxWardenApp app({});
            QVERIFY(app.StartListening());
            std::string path = app.ListenPath().toStdString();
            QCOMPARE(path, CInstanceLink::OwnSocketPath("InboxWarden"));
            struct Ask {
                std::string key;
                CInstanceLink::AskResult expected;
            } asks[] = {
                {"abxy", CInstanceLink::AR_Yes},
                {"abx", CInstanceLink::AR_No},
                {"ABxy", CInstanceLink::AR_No},
            };
            for (const Ask& ask : asks) {
                CInstanceLink::AskResult got = CInstanceLink::AR_NoAnswer;
                std::thread asker([&] { got = CInstanceLink::Ask(path, ask.key); });
                for (int i = 0; i < 100 && got == CInstanceLink::AR_NoAnswer; ++i) {
                    QTest::qWait(20);
                }
                asker.join();
                QCOMPARE(got, ask.expected);
            }
            // An overlong question gets "0" and does not stop the listener.
            std::string reply;
            std::thread raw([&] {
                int fd = socket(AF_UNIX, SOCK_STREAM, 0);
                sockaddr_un address{};
                address.sun_family = AF_UNIX;
                strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
                if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                    timeval limit{5, 0};
                    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
                    std::string big(3000, 'a');
                    send(fd, big.data(), big.size(), MSG_NOSIGNAL);
                    char buffer[8];
                    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
                    reply.assign(buffer, n > 0 ? static_cast<size_t>(n) : 0);
                }
                close(fd);
            });
            for (int i = 0; i < 100 && reply.empty(); ++i) {
                QTest::qWait(20);
            }
            raw.join();
            QCOMPARE(reply, std::string("0\n"));
        }
    }

    void secondCopyOfAnAccountEndsInConflict() {
        TempHome home;
        std::string other = home.Path() + "other/";
        std::filesystem::create_directory(other);
        WriteSettings(other, "600", "127.0.0.1", "me");
        Background first(IW_APP_BINARY, {},
                         {"INBOXWARDEN_HOME=" + other, "QT_QPA_PLATFORM=offscreen"});
        QVERIFY(first.Pid() > 0);
        std::string socketPath = home.Path() + "InboxWarden-" + std::to_string(first.Pid());
        QVERIFY2(WaitForFile(socketPath, 15000), "the first copy listens");

        struct Case {
            const char* name;
            const char* host;
            const char* user;
            CInboxWardenApp::RunResult result;
            int scanStatus;
        } cases[] = {
            {"same host and user", "127.0.0.1", "me", CInboxWardenApp::RR_Conflict, 2},
            {"same host, other user", "127.0.0.1", "you", CInboxWardenApp::RR_Closed, -2},
            {"joined differently", "127.0.0.1m", "e", CInboxWardenApp::RR_Conflict, 2},
            {"host in other letter case", "127.0.0.1", "ME", CInboxWardenApp::RR_Closed, -2},
        };
        for (const Case& c : cases) {
            WriteSettings(home.Path(), "600", c.host, c.user);
            {
                ScopedAppEnvironment env;
                CInboxWardenApp app({});
                app.SetInteractive(false);
                bool windowRan = false;
                app.SetWindowRunner([&](CInboxWardenDlg&) { windowRan = true; });
                QCOMPARE(app.Run(), c.result);
                QVERIFY2(windowRan == (c.result == CInboxWardenApp::RR_Closed), c.name);
            }
            if (c.scanStatus == 2) {
                // The scanner refuses the account the window handles.
                QCOMPARE(ProgramRunner::Run(IW_SCAN_BINARY, {}, 20000).status, 2);
            }
        }
        QVERIFY2(first.Wait(0) == -1, "the first copy keeps running");
        std::string log = TempHome::ReadFile(other + "InboxWarden.log");
        QVERIFY(log.find("Another InboxWarden is asking if I handle 127.0.0.1me...") !=
                std::string::npos);
        QVERIFY(log.find("And I do!") != std::string::npos);

        // Killed, the first copy leaves its socket; the next start removes it.
        first.Stop();
        QVERIFY(std::filesystem::exists(socketPath));
        WriteSettings(home.Path(), "600", "127.0.0.1", "me");
        {
            ScopedAppEnvironment env;
            CInboxWardenApp app({});
            app.SetInteractive(false);
            app.SetWindowRunner([](CInboxWardenDlg&) {});
            QCOMPARE(app.Run(), CInboxWardenApp::RR_Closed);
        }
        QVERIFY(!std::filesystem::exists(socketPath));
    }

    void windowRefusesAnAccountOfARunningScanner() {
        TempHome home;
        std::string other = home.Path() + "scan/";
        std::filesystem::create_directory(other);
        WriteSettings(other, "600", "127.0.0.1", "me");
        Background scanner(IW_SCAN_BINARY, {"--loop"}, {"INBOXWARDEN_HOME=" + other});
        QVERIFY(scanner.Pid() > 0);
        QVERIFY(WaitForFile(home.Path() + "InboxWarden-" + std::to_string(scanner.Pid()), 15000));
        WriteSettings(home.Path(), "600", "127.0.0.1", "me");
        {
            ScopedAppEnvironment env;
            CInboxWardenApp app({});
            app.SetInteractive(false);
            QCOMPARE(app.Run(), CInboxWardenApp::RR_Conflict);
        }
        // A second scanner of the same account refuses as well.
        Background second(IW_SCAN_BINARY, {}, {"INBOXWARDEN_HOME=" + other});
        QCOMPARE(second.Wait(20000), 2);
    }

    void noDisplayEndsWithOneLine() {
        TempHome home;
        ScopedCwd cwd(home.Path());
        QVERIFY(cwd.Entered());
        std::string out = home.File("out.txt");
        std::string command = std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ") +
                              IW_APP_BINARY + " > " + out + " 2>&1";
        int status = system(command.c_str());
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 2);
        std::string text = TempHome::ReadFile(out);
        QCOMPARE(std::count(text.begin(), text.end(), '\n'), 1L);
        QVERIFY(text.find("no graphical display") != std::string::npos);
        QVERIFY(!std::filesystem::exists(home.File("InboxWarden.ini")));
    }

    // At start the passwords move to a keyring that answers; where none does
    // the user is told why once and may keep them in the settings file.
    void startMovesPasswordsOrOffersTheSettingsFile() {
        struct Case {
            const char* failure;  // the keyring's, empty when it works
            QMessageBox::StandardButton answer;
            const char* storeAfter;
            size_t keyringItems;
        } cases[] = {
            {"", QMessageBox::NoButton, "keyring", 1},
            {"No Secret Service on the session bus", QMessageBox::Yes, "file", 0},
            {"The keyring is locked", QMessageBox::No, "", 0},
        };
        for (const Case& c : cases) {
            TempHome home;
            WriteSettings(home.Path(), "600", "pop.example", "me");
            auto store = std::make_shared<MemorySecretStore>();
            store->FailWith(c.failure);
            CSecretStore::SetCurrent(store);
            ModalAnswer answers;
            if (c.answer != QMessageBox::NoButton) {
                answers.Press(c.answer);
            }
            // Then the window's own warning about the empty Friends list.
            answers.Then([](QWidget* box) { box->close(); });
            {
                ScopedAppEnvironment env;
                env->GetSettings().WriteString("!PopPassword", "pop-pw", "Home");
                CInboxWardenApp app({"readonly"});
                app.SetWindowRunner([](CInboxWardenDlg&) {});
                QCOMPARE(app.Run(), CInboxWardenApp::RR_Closed);
                CSettings& settings = env->GetSettings();
                QCOMPARE(settings.GetString("PasswordStore", "General", ""),
                         std::string(c.storeAfter));
                store->FailWith("");
                QCOMPARE(store->Count(), c.keyringItems);
                std::string why;
                QCOMPARE(CPasswordAccess(settings).Read(CPasswordAccess::Pop("Home"), "", &why),
                         std::optional<std::string>("pop-pw"));
            }
            QCOMPARE(answers.Seen().size(), *c.failure ? qsizetype(1) : qsizetype(0));
            QVERIFY(answers.Seen().join(QString()).contains(QString::fromLatin1(c.failure)));
            CSecretStore::SetCurrent(nullptr);
        }
    }

    void conflictBoxShowsItsTexts() {
        TempHome home;
        WriteSettings(home.Path(), "600", "127.0.0.1", "me");
        CAccountLock other;
        QVERIFY(other.Acquire("InboxWarden", {"127.0.0.1me"}, nullptr, nullptr));
        ScopedAppEnvironment env;
        CInboxWardenApp app({});
        QString seen;
        ModalAnswer answer;
        answer.Then([&](QWidget* window) {
            auto* box = qobject_cast<QMessageBox*>(window);
            seen = window->objectName() + QStringLiteral("|") + window->windowTitle();
            SaveShot(*window, QStringLiteral("app_conflict"));
            if (box) {
                seen += QStringLiteral("|") + box->text();
                box->button(QMessageBox::Ok)->click();
            } else {
                window->close();
            }
        });
        QCOMPARE(app.Run(), CInboxWardenApp::RR_Conflict);
        QVERIFY(answer.AllUsed());
        QVERIFY2(seen.startsWith(QStringLiteral("refusalBox|InboxWarden is in conflict|Another "
                                                "instance of InboxWarden is handling")),
                 qPrintable(seen));
    }

    void copiesStartedTogetherLeaveExactlyOneRunning() {
        // Three windows and two scanners, each with a program folder of its
        // own (two profiles, say) but the same mailbox and runtime folder.
        TempHome home;
        const int kCopies = 5, kRounds = 20;
        std::vector<std::string> folders;
        for (int i = 0; i < kCopies; ++i) {
            folders.push_back(home.Path() + "copy" + std::to_string(i) + "/");
            std::filesystem::create_directory(folders.back());
            WriteSettings(folders.back(), "600", "127.0.0.1", "me");
        }
        std::string lockPath = CAccountLock::LockPath(home.Path(), "InboxWarden", "127.0.0.1me");
        mode_t oldMask = umask(022);
        // Each copy waits at a gate (at most 10 s) and all go at once.
        const std::string gate = home.Path() + "gate";
        const std::string waitAtGate =
            "i=0; while [ ! -e \"" + gate +
            "\" ] && [ $i -lt 2000 ]; do sleep 0.005; i=$((i+1)); done; exec \"$0\" \"$@\"";
        for (int round = 0; round < kRounds; ++round) {
            std::filesystem::remove(gate);
            std::vector<std::unique_ptr<Background>> copies;
            for (int i = 0; i < kCopies; ++i) {
                std::filesystem::remove(folders[i] + "InboxWarden.log");
                bool window = i < 3;
                std::vector<std::string> args{"-c", waitAtGate,
                                              window ? IW_APP_BINARY : IW_SCAN_BINARY};
                if (!window) {
                    args.push_back("--loop");
                }
                copies.push_back(std::make_unique<Background>(
                    "/bin/sh", args,
                    std::vector<std::string>{"INBOXWARDEN_HOME=" + folders[i],
                                             "QT_QPA_PLATFORM=offscreen"}));
            }
            QTest::qWait(100);
            TempHome::WriteFile(gate, "");
            // Each copy that does not run says so in its log (a window then
            // waits on its box); the one that runs holds the lock.
            int refused = 0, running = -1;
            for (int waited = 0; waited < 30000 && refused < kCopies - 1; waited += 50) {
                QTest::qWait(50);
                refused = 0;
                for (int i = 0; i < kCopies; ++i) {
                    std::string log = TempHome::ReadFile(folders[i] + "InboxWarden.log");
                    if (log.find("handles the account 127.0.0.1me") != std::string::npos) {
                        ++refused;
                    } else {
                        running = i;
                    }
                }
            }
            QVERIFY2(refused == kCopies - 1, ("round " + std::to_string(round)).c_str());
            QVERIFY(copies[running]->Wait(0) == -1);
            int probe = open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
            QVERIFY(probe >= 0);
            QVERIFY2(flock(probe, LOCK_EX | LOCK_NB) != 0, "the running copy holds the lock");
            close(probe);
            if (round == 0) {
                // Started under umask 022, a copy still keeps its files to itself.
                struct stat info {};
                QVERIFY(stat((folders[running] + "InboxWarden.log").c_str(), &info) == 0);
                QCOMPARE(info.st_mode & 0777, 0600u);
            }
        }
        umask(oldMask);
    }
};

QTEST_MAIN(TestApp)
#include "test_app.moc"
