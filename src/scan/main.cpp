// inboxwarden-scan: the filtering engine without a window.
#include <signal.h>
#include <unistd.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "engine/CInboxWardenEngine.h"
#include "lists/CFilterLists.h"
#include "scan/CConsoleOwner.h"
#include "secrets/CPasswordAccess.h"
#include "secrets/CSecretServiceStore.h"
#include "signin/CDeviceSignIn.h"
#include "signin/COAuthSettings.h"
#include "support/CAccountLock.h"
#include "support/CAppEnvironment.h"
#include "support/CInstanceLink.h"
#include "support/StringUtils.h"

namespace {

const char* kUsage =
    "Usage: inboxwarden-scan [--loop] [--readonly] [--full] [--help]\n"
    "       inboxwarden-scan --authorize ACCOUNT\n"
    "\n"
    "Scans every account of InboxWarden's settings file once, filters the new\n"
    "mail and exits. The settings file and the data folder are those of the\n"
    "program folder (the folder of this executable, or $INBOXWARDEN_HOME).\n"
    "\n"
    "  --loop      keep scanning at the settings' interval until SIGINT or SIGTERM\n"
    "  --readonly  delete nothing from the servers and send no mail\n"
    "  --full      fetch every message once and recognise it by its content,\n"
    "              not by the server's unique ids (for diagnosis)\n"
    "  --authorize ACCOUNT\n"
    "              sign ACCOUNT in to its OAuth2 provider from this terminal: shows\n"
    "              an address and a code to enter in a browser on any device,\n"
    "              waits for the sign-in and keeps it\n"
    "  --help      show this text\n"
    "\n"
    "Exit status: 0 after a clean scan, 1 when an account could not be reached,\n"
    "a message could not be fetched or the keyring holding the passwords cannot\n"
    "be used, 2 when the engine could not start or\n"
    "another running copy handles one of the accounts.\n";

enum ExitCode { EC_Clean = 0, EC_ScanErrors = 1, EC_NoStart = 2 };

// The device sign-in of one account; SIGINT ends it (nothing is kept then).
int Authorize(const std::string& account) {
    CAppEnvironment env("InboxWarden", CAppEnvironment::AE_IniInProgramFolder);
    CAppEnvironment::SetInstance(&env);
    StringList accounts;
    SplitList(env.GetSettings().GetString("AccountsList", "General", ""), accounts);
    int result = EC_ScanErrors;
    std::string error;
    if (std::find(accounts.begin(), accounts.end(), account) == accounts.end()) {
        error = "no account " + account + " in the settings";
    } else if (!COAuthSettings::UsesOAuth(env.GetSettings(), account)) {
        error = "the account " + account + " does not sign in with OAuth2 (PopAuth=1)";
    } else {
        CDeviceSignIn signIn(env.GetSettings(), env.GetProgramFolder(), account);
        bool ok = signIn.Run(
            [](const std::string& line) {
                printf("%s\n", line.c_str());
                fflush(stdout);
            },
            error);
        result = ok ? EC_Clean : EC_ScanErrors;
    }
    if (result != EC_Clean) {
        fprintf(stderr, "inboxwarden-scan: %s\n", error.c_str());
    }
    CAppEnvironment::SetInstance(nullptr);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    bool loop = false;
    bool readOnly = false;
    bool full = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            return EC_Clean;
        } else if (arg == "--loop") {
            loop = true;
        } else if (arg == "--readonly") {
            readOnly = true;
        } else if (arg == "--full") {
            full = true;
        } else if (arg == "--authorize" && i + 1 < argc) {
            return Authorize(argv[++i]);
        } else {
            fprintf(stderr, "inboxwarden-scan: unknown argument %s\n\n%s", arg.c_str(), kUsage);
            return EC_NoStart;
        }
    }

    // A core dump would hold the passwords read from the keyring.
    const struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);

    // The signals are taken by this thread alone, so a signal never lands
    // in the middle of the worker's socket calls.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    // Sent by the owner when a scan ends: the wait below ends with it.
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    CAppEnvironment::KeepNewFilesPrivate();
    CAppEnvironment env("InboxWarden", CAppEnvironment::AE_IniInProgramFolder);
    CAppEnvironment::SetInstance(&env);
    // Challenge files are found by their names relative to the program folder.
    if (chdir(env.GetProgramFolder().c_str()) != 0) {
        fprintf(stderr, "inboxwarden-scan: cannot enter %s: %s\n", env.GetProgramFolder().c_str(),
                strerror(errno));
    }
    env.GetMainLog().Open("", CLogFile::LF_Enabled, 10);

    // The account locks decide between copies that start together; the
    // question afterwards finds a running window whose user has added one of
    // our accounts since it started.
    CAccountLock accounts;
    std::string conflictKey;
    std::string lockError;
    std::vector<std::string> keys = CInstanceLink::AccountKeys(env.GetSettings());
    bool claimed = accounts.Acquire(env.GetAppName(), keys, &conflictKey, &lockError);
    CInstanceLink link;
    if (claimed) {
        std::string linkError;
        if (!link.Listen(
                CInstanceLink::OwnSocketPath(env.GetAppName()),
                [&env](const std::string& key) {
                    return CInstanceLink::HandlesAccount(env.GetSettings(), key, &env.GetMainLog());
                },
                &linkError)) {
            fprintf(stderr, "inboxwarden-scan: other copies cannot ask this one: %s\n",
                    linkError.c_str());
        }
        claimed = !CInstanceLink::AnotherCopyHandles(env.GetAppName(), keys, nullptr, &conflictKey);
    }
    if (!claimed) {
        if (!lockError.empty()) {
            fprintf(stderr, "inboxwarden-scan: %s Not scanning.\n", lockError.c_str());
            env.GetMainLog().Write("%s Not scanning.", lockError.c_str());
        } else {
            fprintf(stderr,
                    "inboxwarden-scan: another running InboxWarden handles the account %s; "
                    "not scanning.\n",
                    conflictKey.c_str());
            env.GetMainLog().Write("Another copy handles the account %s; not scanning.",
                                   conflictKey.c_str());
        }
        CAppEnvironment::SetInstance(nullptr);
        return EC_NoStart;
    }

    // Passwords in the keyring need the session's Secret Service: without it
    // nothing is scanned, so the history stays as it is.
    CSecretStore::SetCurrent(std::make_shared<CSecretServiceStore>());
    CPasswordAccess::StartCheck passwords = CPasswordAccess(env.GetSettings()).CheckAtStart();
    if (passwords.moved) {
        env.GetMainLog().Write("The passwords were moved to the keyring.");
    }
    if (!passwords.usable) {
        StringList accounts;
        SplitList(env.GetSettings().GetString("AccountsList", "General", ""), accounts);
        std::string account = accounts.empty() ? std::string("General") : accounts.front();
        fprintf(stderr,
                "inboxwarden-scan: the password of %s cannot be read from the keyring: %s\n",
                account.c_str(), passwords.why.c_str());
        env.GetMainLog().Write("The keyring cannot be used: %s", passwords.why.c_str());
        CAppEnvironment::SetInstance(nullptr);
        return EC_ScanErrors;
    }
    if (!passwords.why.empty()) {
        env.GetMainLog().Write("The passwords stay in the settings file: %s",
                               passwords.why.c_str());
    }

    CConsoleOwner owner;
    owner.SetWakeSignal(SIGUSR1);
    int result = EC_NoStart;
    {
        CInboxWardenEngine engine;
        engine.SetReadOnly(readOnly);
        if (CFilterLists::Instance().GetCount(FL_Friends) == 0) {
            printf("The Friends list is empty: running in read-only mode.\n");
            // Until a registration gives it a first entry.
            if (!readOnly) {
                engine.SetReadOnlyUntilFriends();
            }
        } else if (readOnly) {
            printf("Running in read-only mode.\n");
        }
        if (full) {
            engine.RequestFullScan();
        }
        // In a loop the worker scans at once and then every interval.
        engine.SetAutoScan(loop);
        if (!engine.Initialize(&owner)) {
            fprintf(stderr,
                    "There was an error initializing the InboxWarden engine. \nPlease contact "
                    "technical support.\n");
            CAppEnvironment::SetInstance(nullptr);
            return EC_NoStart;
        }
        if (!loop) {
            engine.RequestScan();
        }
        bool interrupted = false;
        // Only a fallback: the end of a scan wakes the wait at once.
        const struct timespec tick = {1, 0};
        while (true) {
            int got = sigtimedwait(&signals, nullptr, &tick);
            if (got == SIGINT || got == SIGTERM) {
                interrupted = true;
                printf("Stopping...\n");
                fflush(stdout);
                engine.AbortScan();
                break;
            }
            if (owner.CloseRequested() || (!loop && owner.ScansDone() >= 1)) {
                break;
            }
        }
        unsigned done = owner.ScansDone();
        bool errors = engine.LastScanHadErrors();
        // The engine's destructor waits for the worker, which ends the
        // aborted scan at its next look at the flag.
        result = (done == 0 || (interrupted && !loop) || errors) ? EC_ScanErrors : EC_Clean;
    }
    CAppEnvironment::SetInstance(nullptr);
    return result;
}
