// A scan of a large mailbox with nothing new in it, recognised by the
// server's unique ids, against the same scan fetching every message and
// matching by content. bench/uidl_scan.sh starts the loopback servers, fills
// the mailbox and runs this in rounds beside bench/pop3_uidl_client.py (the
// least a client can do: Python's poplib sending UIDL and LIST), then prints
// the ratios.
//
// From the environment: IW_MAIL_ENV (the servers' env file), IW_BENCH_USER
// (the mailbox), IW_BENCH_COUNT (its message count), INBOXWARDEN_HOME.
#include <benchmark/benchmark.h>

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

namespace {

struct Server {
    std::string host;
    unsigned port = 0;
    unsigned smtpPort = 0;
    std::string user, password;
    int count = 0;
};

const Server& GetServer() {
    static const Server server = [] {
        Server s;
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
        std::string name = getenv("IW_BENCH_USER") ? getenv("IW_BENCH_USER") : "";
        s.host = values["IW_MAIL_HOST"];
        s.port = static_cast<unsigned>(atoi(values["IW_MAIL_POP3_PORT"].c_str()));
        s.smtpPort = static_cast<unsigned>(atoi(values["IW_MAIL_SMTP_PORT"].c_str()));
        s.user = name + "@" + values["IW_MAIL_DOMAIN"];
        s.password = values["IW_MAIL_PASSWORD_" + name];
        s.count = getenv("IW_BENCH_COUNT") ? atoi(getenv("IW_BENCH_COUNT")) : 0;
        return s;
    }();
    return server;
}

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

// One account on the mailbox; the first scan (not timed) learns every
// message, from friends and in read-only mode, so all stay on the server.
struct ScanSetup {
    CAppEnvironment env{"InboxWarden", CAppEnvironment::AE_IniInProgramFolder};
    ScanOwner owner;
    std::unique_ptr<CInboxWardenEngine> engine;
    bool ready = false;

    ScanSetup() {
        const Server& s = GetServer();
        CAppEnvironment::SetInstance(&env);
        CSettings& settings = env.GetSettings();
        settings.WriteString("AccountsList", "Bench", "General");
        settings.WriteString("SmtpName", s.host, "General");
        settings.WriteInt("SmtpPort", static_cast<int>(s.smtpPort), "General");
        settings.WriteBool("Filter", true, "Bench");
        settings.WriteString("emailAddress", s.user, "Bench");
        settings.WriteString("PopName", s.host, "Bench");
        settings.WriteInt("PopPort", static_cast<int>(s.port), "Bench");
        settings.WriteString("PopLogin", s.user, "Bench");
        settings.WriteString("!PopPassword", s.password, "Bench");
        CFilterLists::Instance().Reload();
        CFilterLists::Instance().AddWord("@iw.test", FL_Friends);
        engine = std::make_unique<CInboxWardenEngine>();
        engine->SetReadOnly(true);
        if (!engine->Initialize(&owner)) {
            return;
        }
        engine->ScanServers();
        ready = !engine->LastScanHadErrors() && engine->GetHistory().GetCount() >= s.count;
    }
    ~ScanSetup() {
        engine.reset();
        CAppEnvironment::SetInstance(nullptr);
    }
};

ScanSetup& Setup() {
    static ScanSetup setup;
    return setup;
}

void RunScans(benchmark::State& state, bool full) {
    ScanSetup& setup = Setup();
    if (!setup.ready) {
        state.SkipWithError("the first scan of the mailbox failed");
        return;
    }
    for (auto _ : state) {
        if (full) {
            setup.engine->RequestFullScan();
        }
        setup.engine->ScanServers();
        if (setup.engine->LastScanHadErrors() || setup.owner.lastNew != 0) {
            state.SkipWithError("the scan failed or found new mail");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * GetServer().count);
}

// Login, UIDL, LIST, matching, QUIT.
void BM_ScanNothingNew_Uidl(benchmark::State& state) {
    RunScans(state, false);
}

// Login, STAT, TOP and LIST of every message, matching, QUIT.
void BM_ScanNothingNew_Content(benchmark::State& state) {
    RunScans(state, true);
}

BENCHMARK(BM_ScanNothingNew_Uidl)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScanNothingNew_Content)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
