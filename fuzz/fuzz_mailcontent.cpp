// The message text rules on arbitrary text: header parsing, recipient lists,
// header building, dot stuffing and the hashes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>

#include "FuzzCheck.h"
#include "mail/CMailContent.h"

namespace {

size_t Count(const std::string& text, char c) {
    size_t n = 0;
    for (char x : text) {
        n += x == c;
    }
    return n;
}

// The hashes as sums of groups, written independently of the library's loop.
template <typename Sum, size_t Group>
Sum GroupHash(const std::string& text) {
    Sum sum = 0;
    for (size_t start = 0; start < text.size(); start += Group) {
        for (size_t k = 0; k < Group && start + k < text.size(); ++k) {
            auto c = static_cast<Sum>(static_cast<signed char>(text[start + k]));
            sum += static_cast<Sum>(c << (8 * k));
        }
    }
    return sum;
}

// The data of a message must not end before its last line: after stuffing no
// line may be a lone dot.
bool HasLoneDotLine(const std::string& text) {
    return text.compare(0, 3, ".\r\n") == 0 || text.find("\r\n.\r\n") != std::string::npos ||
           text.compare(0, 2, ".\n") == 0 || text.find("\n.\n") != std::string::npos ||
           text.find("\n.\r\n") != std::string::npos || text == ".";
}

void CheckDots(const std::string& body) {
    std::string stuffed = body;
    CMailContent::StuffDots(stuffed);
    FUZZ_CHECK(!HasLoneDotLine(stuffed), "a lone dot line survived stuffing");
    // As it goes out: the text then the terminator (see CSMTP).
    std::string wire = stuffed + "\r\n.\r\n";
    FUZZ_CHECK(wire.find("\r\n.\r\n") == wire.size() - 5 || stuffed.empty(),
               "the data would end early");
    std::string back = stuffed;
    CMailContent::UnstuffDots(back);
    FUZZ_CHECK(back == body, "unstuffing did not restore the body (%zu -> %zu -> %zu bytes)",
               body.size(), stuffed.size(), back.size());

    CMailContent message;
    message.m_body = body;
    message.StuffDots();
    FUZZ_CHECK(message.m_body == stuffed, "member StuffDots differs");
    message.UnstuffDots();
    FUZZ_CHECK(message.m_body == body, "member round trip");
}

void CheckHashes(const std::string& text) {
    FUZZ_CHECK(HashText32(text) == static_cast<int32_t>(GroupHash<uint32_t, 4>(text)),
               "HashText32");
    FUZZ_CHECK(HashText64(text) == static_cast<int64_t>(GroupHash<uint64_t, 8>(text)),
               "HashText64");
    // Sums over whole groups add up.
    size_t cut = (text.size() / 2) & ~size_t{7};
    std::string head = text.substr(0, cut), tail = text.substr(cut);
    FUZZ_CHECK(
        static_cast<uint64_t>(HashText64(text)) ==
            static_cast<uint64_t>(HashText64(head)) + static_cast<uint64_t>(HashText64(tail)),
        "HashText64 not additive over groups");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    std::string recipients = input.ConsumeRandomLengthString(512);
    std::string header = input.ConsumeRandomLengthString(4096);
    std::string body = input.ConsumeRemainingBytesAsString();

    {
        CMailContent message;
        size_t before = message.m_recipients.size();
        bool ok = message.AddRecipients(recipients);
        size_t added = message.m_recipients.size() - before;
        FUZZ_CHECK(added <= Count(recipients, ';') + 1, "%zu pairs from %zu pieces", added,
                   Count(recipients, ';') + 1);
        FUZZ_CHECK(!ok || added == Count(recipients, ';') + 1, "true but %zu pairs", added);
        for (const auto& [address, name] : message.m_recipients) {
            FUZZ_CHECK(address.find(';') == std::string::npos, "address with ';'");
            FUZZ_CHECK(name.find(';') == std::string::npos && name.find('<') == std::string::npos,
                       "name with ';' or '<'");
        }
        std::string a, n;
        FUZZ_CHECK(!message.GetRecipient(static_cast<int>(added), a, n), "index past the end");
        FUZZ_CHECK(!message.GetRecipient(-1, a, n), "negative index");
    }

    CMailContent message;
    message.m_header = header;
    FUZZ_CHECK(message.ParseHeader(), "ParseHeader false");
    FUZZ_CHECK(message.m_from.find("\r\n") == std::string::npos, "sender spans lines");
    FUZZ_CHECK(message.m_subject.find("\r\n") == std::string::npos, "subject spans lines");
    FUZZ_CHECK(message.m_dateText.find("\r\n") == std::string::npos, "date spans lines");
    FUZZ_CHECK(message.m_mimeLines.empty() || header.find(message.m_mimeLines) != std::string::npos,
               "MIME lines not from the header");
    FUZZ_CHECK(message.m_recipients.size() <= Count(header, ';') + 2, "too many recipients");

    bool hadRecipients = !message.m_recipients.empty();
    FUZZ_CHECK(message.FormatHeader() == hadRecipients, "FormatHeader result");
    if (hadRecipients) {
        FUZZ_CHECK(message.m_header.compare(0, 6, "Date: ") == 0, "header start");
        FUZZ_CHECK(message.m_header.size() >= 2 &&
                       message.m_header.compare(message.m_header.size() - 2, 2, "\r\n") == 0,
                   "header end");
        // A built header parses back to the same sender and subject when
        // neither holds a control character (those become blanks) nor is
        // longer than a header value may be.
        auto clean = [](const std::string& value) {
            return value.size() <= 900 && std::none_of(value.begin(), value.end(), [](char c) {
                       unsigned char u = static_cast<unsigned char>(c);
                       return u < 0x20 || u == 0x7f;
                   });
        };
        if (clean(message.m_from) && clean(message.m_subject)) {
            CMailContent again;
            again.m_header = "\r\n" + message.m_header;
            again.ParseHeader();
            FUZZ_CHECK(again.m_subject == message.m_subject, "subject changed");
            FUZZ_CHECK(again.m_from == message.m_from, "sender changed");
        }
    }

    CheckDots(body);
    CheckDots(header);
    CheckHashes(body);
    CheckHashes(header);
    return 0;
}
