#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One Authentication-Results field (RFC 8601): the verdicts a receiving
// server wrote about a message (SPF, DKIM, DMARC, ...), and which of a
// message's fields came from the user's own server.
class CAuthResults {
public:
    struct Property {
        std::string ptype;     // lower case; empty for a bare "name=value" some servers write
        std::string property;  // lower case
        std::string value;     // as written, quotes removed
    };
    struct Result {
        std::string method;  // lower case, without a version
        std::string result;  // lower case
        std::string reason;
        std::vector<Property> properties;
        // The value of "ptype.property" (lower case), or empty.
        std::string Get(const std::string& name) const;
    };

    // Longest field value parsed, most results and properties per result kept:
    // the field comes from the mail, so a hostile one must not cost much.
    static constexpr size_t kMaxFieldLength = 16 * 1024;
    static constexpr size_t kMaxResults = 32;
    static constexpr size_t kMaxProperties = 16;

    // Parses the value of one field (after "Authentication-Results:", folding
    // allowed). False when it is too long or its identifier or first result
    // cannot be read; a later result that cannot be read is dropped alone.
    bool Parse(const std::string& value);

    // The authserv-id, lower case. Empty when the field starts with a result
    // at once (one large provider writes no identifier).
    std::string m_servId;
    int m_version = 1;
    // Empty for "none" (nothing was checked).
    std::vector<Result> m_results;

    // The results the account's own server wrote into a message's header
    // (header lines ending in "\r\n" or "\n"): the topmost fields whose
    // authserv-id is one of servIds (lower case), read from the top down to the
    // first Received line that the server did not add, and no further than
    // the first Received line below them. `found` says whether any field
    // qualified (a field saying "none" qualifies with no results).
    static std::vector<Result> Trusted(const std::string& header,
                                       const std::vector<std::string>& servIds,
                                       bool* found = nullptr);
    // The authserv-id of the topmost field above any Received line the
    // receiving server did not add: what the account's server calls itself.
    // False when there is no such field.
    static bool TopServId(const std::string& header, std::string& servId);

    // True when the results verify the From domain (lower case): DMARC pass for
    // it; DKIM pass signed by it or a parent domain (header.d, or the domain
    // of header.i); SPF pass for an envelope sender at it or a parent domain.
    static bool Verifies(const std::vector<Result>& results, const std::string& fromDomain);
    // "spf=fail, dkim=none, dmarc=fail" for the sender checks among the
    // results, or "no results".
    static std::string Summary(const std::vector<Result>& results);
};
