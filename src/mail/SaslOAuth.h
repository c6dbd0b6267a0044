#pragma once

#include <string>
#include <vector>

// The two SASL mechanisms that carry an OAuth2 bearer token, as POP3 (RFC
// 5034) and SMTP (RFC 4954) send them: XOAUTH2 and OAUTHBEARER (RFC 7628).
namespace SaslOAuth {

enum class Mechanism { None, XOAuth2, OAuthBearer };

// The mechanism to use among those a server offers (upper-case names):
// OAUTHBEARER, the standard one, before XOAUTH2.
Mechanism Choose(const std::vector<std::string>& offered);
const char* Name(Mechanism mechanism);
// The initial client response, not yet base64-encoded.
std::string Payload(Mechanism mechanism, const std::string& user, const std::string& token,
                    const std::string& host, unsigned port);
// What a failed exchange's challenge (base64 of a JSON object) says, as a
// short text for the error ("status 401, scope ..."); empty when it is not
// such a challenge. Bounded: a hostile server cannot make it large.
std::string DescribeFailure(const std::string& base64Challenge);

}  // namespace SaslOAuth
