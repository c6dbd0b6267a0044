// The address-book readers on arbitrary text: vCard and CSV, with the
// invariants a caller relies on.
#include <string>

#include "FuzzCheck.h"
#include "lists/AddressBookImport.h"

namespace {

void Check(const std::string& text, bool ok, const AddressBookResult& result) {
    FUZZ_CHECK(ok == result.error.empty(), "success and error disagree");
    FUZZ_CHECK(ok || result.errorLine > 0, "an error without its line");
    size_t lines = 1;
    for (char c : text) {
        lines += c == '\n' || c == '\r';
    }
    FUZZ_CHECK(result.errorLine <= lines, "error line %zu past the %zu lines", result.errorLine,
               lines);
    FUZZ_CHECK(result.skipped >= 0 && result.skipped <= result.contacts, "skipped %d of %d",
               result.skipped, result.contacts);
    for (const std::string& address : result.addresses) {
        FUZZ_CHECK(!address.empty() && address.size() <= text.size(), "address of %zu bytes",
                   address.size());
        FUZZ_CHECK(address.front() != ' ' && address.back() != ' ', "blank around an address");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    AddressBookResult vcard;
    Check(text, ParseVCardText(text, vcard), vcard);
    AddressBookResult csv;
    Check(text, ParseContactsCsvText(text, csv), csv);
    return 0;
}
