// The SMTP client against a server whose replies are the fuzz input: every
// operation ends in time with true, or false and an error text.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "FuzzCheck.h"
#include "FuzzHome.h"
#include "FuzzReplyServer.h"
#include "mail/CLineSocket.h"
#include "mail/CMailContent.h"
#include "mail/CSMTP.h"

namespace {

constexpr CLineSocket::Timeouts kTimeouts{500, 10, 100, 25};
// The longest operation waits for one reply per command (MAIL, two RCPT,
// DATA, the final reply), each within the deadline; slack for a busy machine.
constexpr long long kOperationLimitMs = 4000;

FuzzReplyServer& Server() {
    static FuzzReplyServer* server = [] {
        FuzzHome::Get();  // the traffic log goes there
        CLineSocket::SetDefaultTimeouts(kTimeouts);
        CSMTP::ReplyLimits limits;
        limits.greetingMs = limits.commandMs = limits.dataStartMs = limits.finalMs =
            kTimeouts.deadlineMs;
        limits.dataBlockMs = kTimeouts.sendMs;
        CSMTP::SetDefaultReplyLimits(limits);
        return new FuzzReplyServer;
    }();
    return *server;
}

void CheckFailure(bool ok, const CSMTP& smtp, const char* operation) {
    if (!ok) {
        std::string error = smtp.GetErrorText();
        FUZZ_CHECK(!error.empty() && error != "OK", "%s failed without an error text (\"%s\")",
                   operation, error.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzReplyServer& server = Server();
    FuzzedDataProvider input(data, size);
    bool closeAfter = input.ConsumeBool();
    uint8_t plan = input.ConsumeIntegral<uint8_t>();
    server.SetReplies(input.ConsumeRemainingBytesAsString(), closeAfter);

    CSMTP smtp("127.0.0.1", server.Port());
    auto timed = [&](const char* operation, auto call) {
        FuzzStopwatch watch;
        bool result = call();
        FUZZ_CHECK(watch.ElapsedMs() < kOperationLimitMs, "%s took %lld ms", operation,
                   watch.ElapsedMs());
        CheckFailure(result, smtp, operation);
        return result;
    };

    bool connected = true;
    if (!(plan & 1)) {
        connected = timed("Connect", [&] { return smtp.Connect(); });
        FUZZ_CHECK(connected == smtp.IsConnected(), "Connect result %d but IsConnected %d",
                   connected, smtp.IsConnected());
    }
    for (int round = 0; round < ((plan & 2) ? 2 : 1); ++round) {
        CMailContent message;
        message.m_from = "me@example.org";
        message.m_subject = "Subject .\r\n.";
        message.m_body = (plan & 4) ? ".\r\nline\r\n.\r\n" : "no final line break";
        message.AddRecipient("you@example.org", "You ");
        if (plan & 8) {
            message.AddRecipient("other@example.org", "");
        }
        bool sent = timed("SendMessage", [&] { return smtp.SendMessage(message); });
        FUZZ_CHECK(!sent || connected, "sent without a connection");
    }
    timed("Disconnect", [&] { return smtp.Disconnect(); });
    FUZZ_CHECK(!smtp.IsConnected(), "still connected after Disconnect");
    return 0;
}
