#pragma once

#include <string>

class CSettings;

// Where an account's refresh token lives: in the keyring when the passwords
// are kept there (PasswordStore=keyring), else scrambled "!" keys in the
// account's section of the settings file (several when the token is longer
// than one such key holds). A token found only in the other place, as after
// the passwords moved, is still read, and the next save moves it. The one
// place that reads and writes it.
class CRefreshTokenStore {
public:
    // False with error set when the store failed; true with an empty token
    // when the account has none.
    static bool Load(const CSettings& settings, const std::string& profile,
                     const std::string& account, std::string& token, std::string& error);
    static bool Save(CSettings& settings, const std::string& profile, const std::string& account,
                     const std::string& token, std::string& error);
    static bool Remove(CSettings& settings, const std::string& profile, const std::string& account,
                       std::string& error);

    // The longest token the settings file takes.
    static constexpr size_t kMaxFileToken = 8 * 999;
};
