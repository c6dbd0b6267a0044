// The challenges a realistic mix of new mail gets, with and without sender
// verification: list mail, newsletters, automatic notifications, personal
// mail from strangers (verified, and legitimate but unverifiable), forged
// spam, spam from the spammer's own domains and mail from friends, each with
// the Authentication-Results the account's server ("mx.home.example") would
// write. Every message goes through the engine's real decision
// (NewFetchedRecord, FilterNewEmail) without a server; "before" counts the
// messages that were challenged or held back only by the new checks.
//   build-bench/bench/auth_mix [--list]
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BenchCommon.h"
#include "lists/CFilterLists.h"
#include "mail/CMailContent.h"

namespace {

constexpr const char* kServer = "mx.home.example";

struct Sample {
    std::string category;
    std::string from;
    std::string extraHeader;  // list or automatic-mail fields
    std::string results;      // the server's verdict, after "Authentication-Results: id;"
    std::string below;        // lines under the server's incoming Received line
    bool legitimate;
};

// A small deterministic generator, so every run measures the same mix.
unsigned Next(unsigned& state) {
    state = state * 1103515245u + 12345u;
    return (state >> 16) & 0x7fff;
}

std::vector<Sample> MakeMix() {
    std::vector<Sample> mix;
    unsigned seed = 27;
    auto add = [&](int count, auto make) {
        for (int i = 0; i < count; ++i) {
            mix.push_back(make(i));
        }
    };
    const char* providers[] = {"gmail.example", "outlook.example", "fastmail.example",
                               "uni-hamburg.example", "orange.example"};
    add(250, [&](int i) {
        std::string poster = std::string(providers[Next(seed) % 5]);
        return Sample{"list mail",
                      "poster" + std::to_string(i) + "@" + poster,
                      "List-Id: <dev.lists.example.org>\r\nList-Post: "
                      "<mailto:dev@lists.example.org>\r\n",
                      "dkim=pass header.d=lists.example.org; spf=pass "
                      "smtp.mailfrom=dev-bounces@lists.example.org; dmarc=fail header.from=" +
                          poster,
                      "",
                      true};
    });
    add(200, [&](int i) {
        std::string brand = "brand" + std::to_string(i % 40) + ".example";
        return Sample{"newsletters",
                      "news@" + brand,
                      "List-Unsubscribe: <https://" + brand + "/u>\r\nPrecedence: bulk\r\n",
                      "dkim=pass header.d=" + brand + "; spf=pass smtp.mailfrom=b@mail." + brand +
                          "; dmarc=pass header.from=" + brand,
                      "",
                      true};
    });
    const char* noReply[] = {"noreply", "no-reply", "do-not-reply", "DoNotReply", "no_reply"};
    add(100, [&](int i) {
        std::string service = "service" + std::to_string(i % 25) + ".example";
        std::string local = i < 70 ? noReply[i % 5] : (i % 2 ? "notifications" : "billing");
        return Sample{"automatic notifications",
                      local + "@" + service,
                      "",
                      "dkim=pass header.d=" + service + "; spf=pass smtp.mailfrom=bounce@" +
                          service + "; dmarc=pass header.from=" + service,
                      "",
                      true};
    });
    add(60, [&](int i) {
        std::string domain = providers[i % 5];
        return Sample{"strangers, verified",
                      "person" + std::to_string(i) + "@" + domain,
                      "",
                      "dkim=pass header.d=" + domain + "; spf=pass smtp.mailfrom=person" +
                          std::to_string(i) + "@" + domain + "; dmarc=pass header.from=" + domain,
                      "",
                      true};
    });
    add(15, [&](int i) {
        std::string domain = "smallfirm" + std::to_string(i) + ".example";
        const char* verdicts[] = {
            // A small domain that publishes nothing.
            "spf=none smtp.mailfrom=%; dkim=none; dmarc=none header.from=%",
            // Forwarded by an alias service that adds a footer.
            "spf=fail smtp.mailfrom=%; dkim=fail header.d=%; dmarc=fail header.from=%",
            // A web form sending on the person's behalf.
            "spf=softfail smtp.mailfrom=forms.example; dkim=pass header.d=forms.example; "
            "dmarc=none header.from=%"};
        std::string results = verdicts[i % 3];
        for (size_t at; (at = results.find('%')) != std::string::npos;) {
            results.replace(at, 1, domain);
        }
        return Sample{"strangers, unverifiable", "contact@" + domain, "", results, "", true};
    });
    add(300, [&](int i) {
        std::string victim = "victim" + std::to_string(i) + "@innocent" +
                             std::to_string(Next(seed) % 200) + ".example";
        std::string domain = victim.substr(victim.find('@') + 1);
        std::string results =
            i % 3 == 0   ? "spf=fail smtp.mailfrom=" + victim + "; dmarc=fail header.from=" + domain
            : i % 3 == 1 ? "spf=softfail smtp.mailfrom=" + victim +
                               "; dkim=none; dmarc=none header.from=" + domain
                         : "spf=fail smtp.mailfrom=" + victim + "; dkim=fail header.d=" + domain;
        // A third bring a passing verdict of their own with the server's id.
        std::string below = i % 3 == 2 ? std::string("Authentication-Results: ") + kServer +
                                             "; dkim=pass header.d=" + domain +
                                             "; dmarc=pass header.from=" + domain + "\r\n"
                                       : "";
        return Sample{"forged spam", victim, "", results, below, false};
    });
    add(75, [&](int i) {
        std::string domain = "cheap-deals" + std::to_string(i) + ".example";
        return Sample{"spam from its own domains",
                      "sales@" + domain,
                      "",
                      "spf=pass smtp.mailfrom=sales@" + domain + "; dkim=pass header.d=" + domain +
                          "; dmarc=pass header.from=" + domain,
                      "",
                      false};
    });
    add(50, [&](int i) {
        std::string domain = providers[i % 5];
        return Sample{
            "friends",
            "friend" + std::to_string(i % 10) + "@" + domain,
            "",
            i % 4 ? "dmarc=pass header.from=" + domain : "dmarc=fail header.from=" + domain,
            "",
            true};
    });
    return mix;
}

struct Counts {
    int messages = 0;
    int before = 0;
    int after = 0;
    int notVerified = 0;
    int noReply = 0;
};

}  // namespace

int main(int argc, char** argv) {
    bool list = argc > 1 && std::string(argv[1]) == "--list";
    std::string home = (std::filesystem::temp_directory_path() / "iw-authmix-XXXXXX").string();
    if (!mkdtemp(home.data())) {
        perror("mkdtemp");
        return 1;
    }
    setenv("INBOXWARDEN_HOME", home.c_str(), 1);
    int status = 0;
    {
        CAppEnvironment env("InboxWarden", CAppEnvironment::AE_IniInProgramFolder);
        CAppEnvironment::SetInstance(&env);
        CSettings& settings = env.GetSettings();
        settings.WriteString("AccountsList", "Home", "General");
        settings.WriteString("emailAddress", "me@home.example", "Home");
        settings.WriteString("AuthServId", kServer, "Home");
        CFilterLists::Instance().Reload();
        for (int i = 0; i < 10; ++i) {
            for (const char* domain : {"gmail.example", "outlook.example", "fastmail.example",
                                       "uni-hamburg.example", "orange.example"}) {
                CFilterLists::Instance().AddWord(
                    "friend" + std::to_string(i) + "@" + std::string(domain), FL_Friends);
            }
        }
        bench::ScanOwner owner;
        auto engine = std::make_unique<CInboxWardenEngine>();
        engine->SetReadOnly(true);
        if (!engine->Initialize(&owner)) {
            fprintf(stderr, "the engine did not start\n");
            status = 1;
        }
        std::map<std::string, Counts> counts;
        std::vector<std::string> order;
        std::vector<std::string> legitimateLost;
        int number = 0;
        for (const Sample& s : status == 0 ? MakeMix() : std::vector<Sample>()) {
            ++number;
            CMailContent message;
            message.m_header = "Return-Path: <" + s.from +
                               ">\r\nAuthentication-Results: " + kServer + "; " + s.results +
                               "\r\nReceived: from relay.example.net by mx.home.example "
                               "(Postfix) with ESMTPS id " +
                               std::to_string(number) + "\r\n" + s.below +
                               "Received: from localhost by relay.example.net\r\n" + s.extraHeader +
                               "From: " + s.from + "\r\nTo: me@home.example\r\nSubject: message " +
                               std::to_string(number) +
                               "\r\nDate: Tue, 08 Dec 2026 10:00:00 +0000\r\n";
            message.m_body = "Hello.\r\n";
            message.m_size = 2000;
            message.ParseHeader();
            CEmailData* email = engine->NewFetchedRecord("Home", message, 0).release();
            engine->GetHistory().Add(email);
            engine->FilterNewEmail(email);
            Counts& c = counts[s.category];
            if (c.messages == 0) {
                order.push_back(s.category);
            }
            ++c.messages;
            auto lock = engine->GetHistory().Lock();
            bool after = (email->m_todo & Challenge) != 0;
            bool notVerified =
                email->m_reasonDetails.rfind("Not challenged (sender not verified", 0) == 0;
            bool noReply = email->m_reasonDetails == "Not challenged (no-reply address)";
            c.after += after ? 1 : 0;
            c.before += after || notVerified || noReply ? 1 : 0;
            c.notVerified += notVerified ? 1 : 0;
            c.noReply += noReply ? 1 : 0;
            if (s.legitimate && notVerified) {
                legitimateLost.push_back(s.from + ": " + email->m_reasonDetails);
            }
        }
        printf(
            "| mail | messages | challenged before | challenged after | not verified | "
            "no-reply |\n|---|---|---|---|---|---|\n");
        Counts total;
        for (const std::string& category : order) {
            const Counts& c = counts[category];
            printf("| %s | %d | %d | %d | %d | %d |\n", category.c_str(), c.messages, c.before,
                   c.after, c.notVerified, c.noReply);
            total.messages += c.messages;
            total.before += c.before;
            total.after += c.after;
            total.notVerified += c.notVerified;
            total.noReply += c.noReply;
        }
        printf("| all | %d | %d | %d | %d | %d |\n", total.messages, total.before, total.after,
               total.notVerified, total.noReply);
        const Counts& forged = counts["forged spam"];
        printf("\nChallenges to forged senders (backscatter): %d before, %d after.\n",
               forged.before, forged.after);
        printf("Legitimate strangers no longer asked: %zu\n", legitimateLost.size());
        for (const std::string& line : legitimateLost) {
            if (list) {
                printf("  %s\n", line.c_str());
            }
        }
        engine.reset();
        CAppEnvironment::SetInstance(nullptr);
    }
    std::filesystem::remove_all(home);
    return status;
}
