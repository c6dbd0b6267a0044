// The string utilities on arbitrary text: placeholders with long values,
// comma lists, addresses, line ends and safe names.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "FuzzCheck.h"
#include "support/StringUtils.h"

namespace {

void CheckPlaceholders(const std::string& templ, const StringList& args) {
    std::string out = FillPlaceholders(templ, args);
    // Each template character yields at most itself, "???" or one argument.
    size_t longest = 3;
    for (const auto& arg : args) {
        longest = std::max(longest, arg.size());
    }
    FUZZ_CHECK(out.size() <= templ.size() * std::max<size_t>(longest, 1) + templ.size(),
               "output of %zu bytes from a template of %zu", out.size(), templ.size());
    // A template without "%" comes out unchanged.
    if (templ.find('%') == std::string::npos) {
        FUZZ_CHECK(out == templ, "a plain template changed");
    }
    // Every placeholder filled by its argument: the same as a reference walk.
    std::string ref;
    for (size_t i = 0; i < templ.size(); ++i) {
        if (templ[i] == '%' && i + 1 < templ.size() &&
            isdigit(static_cast<unsigned char>(templ[i + 1]))) {
            size_t n = static_cast<size_t>(templ[i + 1] - '0');
            size_t len = 2;
            if (n > 0 && i + 2 < templ.size() &&
                isdigit(static_cast<unsigned char>(templ[i + 2]))) {
                n = n * 10 + static_cast<size_t>(templ[i + 2] - '0');
                len = 3;
            }
            ref += n < args.size() ? args[n] : "???";
            i += len - 1;
        } else if (templ[i] == '%' && i + 1 < templ.size()) {
            ref += templ.substr(i, 2);
            ++i;
        } else {
            ref += templ[i];
        }
    }
    FUZZ_CHECK(out == ref, "FillPlaceholders differs from the placeholder rules");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    std::string templ = input.ConsumeRandomLengthString(2048);
    StringList args;
    int count = input.ConsumeIntegralInRange<int>(0, 12);
    for (int i = 0; i < count; ++i) {
        // Long values: a repeated piece, up to 64 KB.
        std::string piece = input.ConsumeRandomLengthString(16);
        size_t repeat = input.ConsumeIntegralInRange<size_t>(0, 4096);
        std::string arg;
        for (size_t r = 0; r < repeat && !piece.empty(); ++r) {
            arg += piece;
        }
        args.push_back(arg);
    }
    std::string text = input.ConsumeRemainingBytesAsString();
    CheckPlaceholders(templ, args);
    CheckPlaceholders(text, args);

    StringList list;
    SplitList(text, list);
    size_t total = 0;
    for (const auto& entry : list) {
        FUZZ_CHECK(!entry.empty() && entry.find(',') == std::string::npos, "bad list entry");
        total += entry.size();
    }
    size_t commas = 0;
    for (char c : text) {
        commas += c == ',';
    }
    FUZZ_CHECK(total + commas == text.size(), "SplitList lost characters");
    std::string joined;
    JoinList(joined, list, true);
    StringList again;
    SplitList(joined, again);
    FUZZ_CHECK(again == list, "Join then Split changed the list");
    SplitList(text, again, true);
    FUZZ_CHECK(again.size() == 2 * list.size(), "keepExisting");

    std::string address = text;
    bool found = ExtractAddress(address);
    if (found) {
        FUZZ_CHECK(address.size() < text.size() && text.find(address) != std::string::npos,
                   "ExtractAddress grew the text");
        FUZZ_CHECK(address.find('>') == std::string::npos, "'>' inside the extracted address");
    } else {
        FUZZ_CHECK(address == text, "a failed ExtractAddress changed the text");
    }
    bool isAddress = IsEmailAddress(text);
    size_t at = text.find('@');
    size_t dot = at == std::string::npos ? std::string::npos : text.find('.', at);
    bool hasTail = false;
    while (dot != std::string::npos && !hasTail) {
        hasTail = dot + 1 < text.size();
        dot = text.find('.', dot + 1);
    }
    FUZZ_CHECK(isAddress == hasTail, "IsEmailAddress");

    std::string crlf = text;
    ToCrLf(crlf);
    for (size_t i = 1; i < crlf.size(); ++i) {
        FUZZ_CHECK(crlf[i] != '\n' || crlf[i - 1] == '\r', "bare line feed after ToCrLf");
    }
    std::string twice = crlf;
    ToCrLf(twice);
    FUZZ_CHECK(twice == crlf, "ToCrLf not idempotent");

    for (bool keep : {false, true}) {
        std::string name = text;
        MakeSafeName(name, keep);
        FUZZ_CHECK(
            name.find_first_of(keep ? std::string("%:*?\"<>|,;. \t", 13)
                                    : std::string("%\\/:*?\"<>|,;. \t", 15)) == std::string::npos,
            "a removed character stayed");
        FUZZ_CHECK(name.find('\0') == std::string::npos, "NUL in a safe name");
        FUZZ_CHECK(name.find("..") == std::string::npos, "dots in a safe name");
    }
    return 0;
}
