#include "signin/CRefreshTokenStore.h"

#include "secrets/CPasswordAccess.h"
#include "secrets/CSecretStore.h"
#include "support/CSettings.h"

namespace {

constexpr size_t kPieces = 8;
constexpr size_t kPieceLength = CSettings::kMaxScrambledLength;

std::string PieceKey(size_t index) {
    return index == 0 ? "!OAuthRefreshToken" : "!OAuthRefreshToken" + std::to_string(index + 1);
}

CSecretStore::Key KeyFor(const std::string& profile, const std::string& account) {
    return {profile, account, CSecretStore::Kind::OAuth};
}

// The keyring when the passwords are kept there, else null: the token goes
// where the user chose to keep his secrets.
CSecretStore* Keyring(const CSettings& settings) {
    CSecretStore* store = CSecretStore::Current();
    if (store && CPasswordAccess(settings, store).GetWhere() == CPasswordAccess::Where::Keyring) {
        return store;
    }
    return nullptr;
}

std::string LoadFromFile(const CSettings& settings, const std::string& account) {
    std::string token;
    for (size_t i = 0; i < kPieces; ++i) {
        std::string piece = settings.GetString(PieceKey(i), account, "");
        token += piece;
        if (piece.size() < kPieceLength) {
            break;
        }
    }
    return token;
}

bool SaveToFile(CSettings& settings, const std::string& account, const std::string& token,
                std::string& error) {
    if (token.size() > CRefreshTokenStore::kMaxFileToken) {
        error = "The sign-in token is too long for the settings file";
        return false;
    }
    std::vector<CSettings::Change> changes;
    for (size_t i = 0; i < kPieces; ++i) {
        size_t from = i * kPieceLength;
        std::string piece = from < token.size() ? token.substr(from, kPieceLength) : "";
        // The empty piece after a full one ends the token; the rest go.
        if (piece.empty()) {
            changes.push_back({PieceKey(i), account, std::nullopt});
        } else {
            changes.push_back({PieceKey(i), account, piece});
        }
    }
    if (!settings.Apply(changes)) {
        error = "Cannot write the settings file";
        return false;
    }
    return true;
}

}  // namespace

bool CRefreshTokenStore::Load(const CSettings& settings, const std::string& profile,
                              const std::string& account, std::string& token, std::string& error) {
    token.clear();
    if (CSecretStore* store = Keyring(settings)) {
        CSecretStore::Status status;
        std::optional<std::string> secret = store->Lookup(KeyFor(profile, account), status);
        if (!status.ok) {
            error = status.error;
            return false;
        }
        // A sign-in made while the passwords were still in the file stays
        // there until its next rotation moves it.
        token = secret ? *secret : LoadFromFile(settings, account);
        return true;
    }
    token = LoadFromFile(settings, account);
    if (token.empty()) {
        // Kept in the keyring before the passwords moved back to the file.
        if (CSecretStore* store = CSecretStore::Current()) {
            CSecretStore::Status status;
            token = store->Lookup(KeyFor(profile, account), status).value_or("");
        }
    }
    return true;
}

bool CRefreshTokenStore::Save(CSettings& settings, const std::string& profile,
                              const std::string& account, const std::string& token,
                              std::string& error) {
    if (CSecretStore* store = Keyring(settings)) {
        CSecretStore::Status status =
            token.empty() ? store->Remove(KeyFor(profile, account))
                          : store->Store(KeyFor(profile, account),
                                         "InboxWarden: OAuth2 sign-in for " + account, token);
        if (!status.ok) {
            error = status.error;
            return false;
        }
        // The keyring holds it now: no copy stays in the file.
        return LoadFromFile(settings, account).empty() || SaveToFile(settings, account, "", error);
    }
    if (!SaveToFile(settings, account, token, error)) {
        return false;
    }
    if (CSecretStore* store = CSecretStore::Current()) {
        store->Remove(KeyFor(profile, account));
    }
    return true;
}

bool CRefreshTokenStore::Remove(CSettings& settings, const std::string& profile,
                                const std::string& account, std::string& error) {
    return Save(settings, profile, account, "", error);
}
