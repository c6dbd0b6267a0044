// The POP3 client against a server whose replies are the fuzz input: every
// operation ends in time with true, or false and an error text.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzHome.h"
#include "FuzzReplyServer.h"
#include "mail/CLineSocket.h"
#include "mail/CMailContent.h"
#include "mail/CPOP3.h"

namespace {

// Short enough for many runs a second, long enough for a loaded machine to
// answer on loopback.
constexpr CLineSocket::Timeouts kTimeouts{500, 10, 100, 25};
// One operation: its own replies plus a reconnect after a time-out (QUIT,
// greeting, USER, PASS, STAT), each within the reply deadline, and slack for
// a busy machine with sanitizers.
constexpr long long kOperationLimitMs = 4000;

FuzzReplyServer& Server() {
    static FuzzReplyServer* server = [] {
        FuzzHome::Get();  // the traffic log goes there
        CLineSocket::SetDefaultTimeouts(kTimeouts);
        return new FuzzReplyServer;
    }();
    return *server;
}

void CheckFailure(bool ok, const CPOP3& pop3, const char* operation) {
    if (!ok) {
        std::string error = pop3.GetErrorText();
        FUZZ_CHECK(!error.empty() && error != "OK", "%s failed without an error text (\"%s\")",
                   operation, error.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzReplyServer& server = Server();
    FuzzedDataProvider input(data, size);
    bool closeAfter = input.ConsumeBool();
    // Which operations follow a good login, and the message numbers.
    uint8_t plan = input.ConsumeIntegral<uint8_t>();
    int first = input.ConsumeIntegralInRange<int>(-1, 3);
    int topLines = input.ConsumeIntegralInRange<int>(0, 600);
    server.SetReplies(input.ConsumeRemainingBytesAsString(), closeAfter);

    CPOP3 pop3("127.0.0.1", server.Port(), "user", "secret");
    pop3.SetMaxMessageSize(plan & 0x80 ? 64 : 1u << 20);
    auto timed = [&](const char* operation, auto call) {
        FuzzStopwatch watch;
        auto result = call();
        FUZZ_CHECK(watch.ElapsedMs() < kOperationLimitMs, "%s took %lld ms", operation,
                   watch.ElapsedMs());
        return result;
    };

    bool connected = timed("Connect", [&] { return pop3.Connect(); });
    CheckFailure(connected, pop3, "Connect");
    FUZZ_CHECK(connected == pop3.IsConnected(), "Connect result %d but IsConnected %d", connected,
               pop3.IsConnected());
    if (connected) {
        int count = timed("GetNumMessages", [&] { return pop3.GetNumMessages(); });
        CheckFailure(count >= 0, pop3, "GetNumMessages");
        FUZZ_CHECK(count >= -1, "GetNumMessages gave %d", count);
        if (plan & 1) {
            std::string raw;
            bool ok = timed("GetMessage raw", [&] { return pop3.GetMessage(first, raw); });
            CheckFailure(ok, pop3, "GetMessage raw");
            if (ok) {
                // The text as received, with its terminator line.
                FUZZ_CHECK(raw == ".\r\n" || (raw.size() >= 5 &&
                                              raw.compare(raw.size() - 5, 5, "\r\n.\r\n") == 0),
                           "raw message of %zu bytes without its terminator", raw.size());
                FUZZ_CHECK(raw.size() <= pop3.GetMaxMessageSize() + 32 * 1024 + 5,
                           "raw message of %zu bytes past the limit", raw.size());
            } else {
                FUZZ_CHECK(raw.empty(), "failed fetch left %zu bytes", raw.size());
            }
        }
        if (plan & 2) {
            CMailContent message;
            bool ok = timed("GetMessage parsed",
                            [&] { return pop3.GetMessage(first + 1, message, topLines); });
            CheckFailure(ok, pop3, "GetMessage parsed");
            if (ok) {
                FUZZ_CHECK(message.m_size >= 0, "size %d", message.m_size);
                FUZZ_CHECK(message.m_bodyHash == HashText32(message.m_body), "body hash");
            }
        }
        if (plan & 4) {
            bool ok = timed("DeleteMessage", [&] { return pop3.DeleteMessage(first); });
            CheckFailure(ok, pop3, "DeleteMessage");
        }
        if (plan & 16) {
            std::vector<CPOP3::UidlEntry> ids;
            int bad = 0;
            bool ok = timed("Uidl", [&] { return pop3.Uidl(ids, &bad); });
            CheckFailure(ok, pop3, "Uidl");
            FUZZ_CHECK(bad >= 0, "Uidl counted %d malformed lines", bad);
            for (const CPOP3::UidlEntry& entry : ids) {
                FUZZ_CHECK(entry.number > 0, "Uidl kept message number %d", entry.number);
                FUZZ_CHECK(!entry.uid.empty() && entry.uid.size() <= 70,
                           "Uidl kept an id of %zu characters", entry.uid.size());
                for (char c : entry.uid) {
                    FUZZ_CHECK(c >= 0x21 && c <= 0x7e, "Uidl kept the byte 0x%02x in an id",
                               static_cast<unsigned char>(c));
                }
            }
        }
        if (plan & 32) {
            std::vector<CPOP3::SizeEntry> sizes;
            bool ok = timed("ListSizes", [&] { return pop3.ListSizes(sizes); });
            CheckFailure(ok, pop3, "ListSizes");
            for (const CPOP3::SizeEntry& entry : sizes) {
                FUZZ_CHECK(entry.number > 0, "ListSizes kept message number %d", entry.number);
            }
        }
        if (plan & 8) {
            // A second round on whatever the connection has become.
            int again = timed("GetNumMessages", [&] { return pop3.GetNumMessages(); });
            CheckFailure(again >= 0, pop3, "GetNumMessages again");
        }
    }
    bool done = timed("Disconnect", [&] { return pop3.Disconnect(); });
    CheckFailure(done, pop3, "Disconnect");
    FUZZ_CHECK(!pop3.IsConnected(), "still connected after Disconnect");
    return 0;
}
