// Authentication-Results fields and whole headers from the mail: the parser
// stays within its bounds, and nothing a sender writes below the receiving
// server's own verdict changes what is trusted.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <string>

#include "FuzzCheck.h"
#include "mail/CAuthResults.h"

namespace {

bool IsLowerKeyword(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (std::isupper(static_cast<unsigned char>(c)) || c == ' ' || c == ';' || c == '=') {
            return false;
        }
    }
    return true;
}

void CheckField(const std::string& value) {
    CAuthResults parsed;
    bool ok = parsed.Parse(value);
    FUZZ_CHECK(parsed.m_results.size() <= CAuthResults::kMaxResults, "%zu results",
               parsed.m_results.size());
    if (!ok) {
        return;
    }
    FUZZ_CHECK(value.size() <= CAuthResults::kMaxFieldLength, "a field of %zu bytes parsed",
               value.size());
    for (const auto& r : parsed.m_results) {
        FUZZ_CHECK(IsLowerKeyword(r.method) && IsLowerKeyword(r.result), "result '%s=%s'",
                   r.method.c_str(), r.result.c_str());
        FUZZ_CHECK(r.properties.size() <= CAuthResults::kMaxProperties, "%zu properties",
                   r.properties.size());
    }
    CAuthResults again;
    FUZZ_CHECK(again.Parse(value) && again.m_servId == parsed.m_servId &&
                   again.m_results.size() == parsed.m_results.size(),
               "a second parse differs");
}

void CheckHeader(const std::string& below) {
    const std::string id = "mx.fuzz.example";
    bool found = false;
    auto plain = CAuthResults::Trusted(below, {id}, &found);
    FUZZ_CHECK(plain.size() <= CAuthResults::kMaxResults, "%zu trusted results", plain.size());
    FUZZ_CHECK(found || plain.empty(), "results without a trusted field");
    std::string top;
    CAuthResults::TopServId(below, top);

    // The server's verdict and its incoming hop on top: whatever follows is
    // the sender's and must not count.
    std::string header = "Authentication-Results: " + id +
                         "; spf=fail smtp.mailfrom=a@q.example\r\n"
                         "Received: from relay.q.example by mx.fuzz.example; now\r\n" +
                         below;
    auto trusted = CAuthResults::Trusted(header, {id}, &found);
    FUZZ_CHECK(
        found && trusted.size() == 1 && trusted[0].method == "spf" && trusted[0].result == "fail",
        "the sender's lines changed the trusted results (%zu)", trusted.size());
    FUZZ_CHECK(!CAuthResults::Verifies(trusted, "q.example"), "a failed check verified");
    FUZZ_CHECK(CAuthResults::TopServId(header, top) && top == id, "top id '%s'", top.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    std::string field = input.ConsumeRandomLengthString(20000);
    std::string header = input.ConsumeRemainingBytesAsString();
    CheckField(field);
    CheckHeader(header);
    CheckHeader(field);
    return 0;
}
