// What the benchmarks against the loopback mail servers share: the servers'
// env file and an engine set up to scan one mailbox of them. Header-only,
// since every bench/*.cpp is a program of its own.
#pragma once

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "engine/CInboxWardenEngine.h"
#include "engine/IEngineOwner.h"
#include "lists/CFilterLists.h"
#include "support/CAppEnvironment.h"
#include "support/CSettings.h"

namespace bench {

// The KEY=VALUE lines of the env file named by IW_MAIL_ENV, which
// scripts/mailservers.sh writes; a missing file gives no values, and the
// benchmarks then fail at their first connection.
inline std::map<std::string, std::string> ReadServerEnv() {
    const char* env = getenv("IW_MAIL_ENV");
    std::ifstream in(env ? env : "");
    std::map<std::string, std::string> values;
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) {
            values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return values;
}

// The engine's owner for the scan benchmarks: keeps the counts of the last scan.
class ScanOwner : public IEngineOwner {
public:
    void OnStatus(int, const std::string&) override {}
    void OnProgressRange(int, int) override {}
    void OnProgress(int, int) override {}
    void OnScanStarted() override {}
    void OnScanDone(int, int newMessages) override { lastNew = newMessages; }
    void OnHistoryChanged() override {}
    void OnNewMail(int, const std::string&) override {}
    void OnDatabaseError(const std::string&, const std::string&) override {}
    void OnCloseProgram() override {}
    bool OnOpenWithDesktop(const std::string&) override { return false; }
    int lastNew = -1;
};

// An engine on the program folder of INBOXWARDEN_HOME with one account on the
// mailbox of `user`. Its first scan, not timed, learns every message (they
// come from friends, and read-only mode keeps everything on the server);
// later runs of the program find them in the database already.
struct ScanSetup {
    CAppEnvironment env{"InboxWarden", CAppEnvironment::AE_IniInProgramFolder};
    ScanOwner owner;
    std::unique_ptr<CInboxWardenEngine> engine;
    bool ready = false;

    ScanSetup(const std::string& user, const std::string& password, int count) {
        std::map<std::string, std::string> values = ReadServerEnv();
        const std::string& host = values["IW_MAIL_HOST"];
        CAppEnvironment::SetInstance(&env);
        CSettings& settings = env.GetSettings();
        settings.WriteString("AccountsList", "Bench", "General");
        settings.WriteString("SmtpName", host, "General");
        settings.WriteInt("SmtpPort", atoi(values["IW_MAIL_SMTP_PORT"].c_str()), "General");
        settings.WriteBool("Filter", true, "Bench");
        settings.WriteString("emailAddress", user, "Bench");
        settings.WriteString("PopName", host, "Bench");
        settings.WriteInt("PopPort", atoi(values["IW_MAIL_POP3_PORT"].c_str()), "Bench");
        settings.WriteString("PopLogin", user, "Bench");
        settings.WriteString("!PopPassword", password, "Bench");
        CFilterLists::Instance().Reload();
        CFilterLists::Instance().AddWord("@iw.test", FL_Friends);
        engine = std::make_unique<CInboxWardenEngine>();
        engine->SetReadOnly(true);
        if (!engine->Initialize(&owner)) {
            return;
        }
        engine->ScanServers();
        ready = !engine->LastScanHadErrors() && engine->GetHistory().GetCount() >= count;
    }
    ~ScanSetup() {
        engine.reset();
        CAppEnvironment::SetInstance(nullptr);
    }
    ScanSetup(const ScanSetup&) = delete;
    ScanSetup& operator=(const ScanSetup&) = delete;
};

// One scan; false when it had errors or found new mail, which would make its
// time a different measurement from the others.
inline bool ScanFoundNothingNew(ScanSetup& setup) {
    setup.engine->ScanServers();
    return !setup.engine->LastScanHadErrors() && setup.owner.lastNew == 0;
}

}  // namespace bench
