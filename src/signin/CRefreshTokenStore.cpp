#include "signin/CRefreshTokenStore.h"

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

}  // namespace

bool CRefreshTokenStore::Load(const CSettings& settings, const std::string& profile,
                              const std::string& account, std::string& token, std::string& error) {
    token.clear();
    if (CSecretStore* store = CSecretStore::Current()) {
        CSecretStore::Status status;
        std::optional<std::string> secret = store->Lookup(KeyFor(profile, account), status);
        if (!status.ok) {
            error = status.error;
            return false;
        }
        token = secret.value_or("");
        return true;
    }
    for (size_t i = 0; i < kPieces; ++i) {
        std::string piece = settings.GetString(PieceKey(i), account, "");
        token += piece;
        if (piece.size() < kPieceLength) {
            break;
        }
    }
    return true;
}

bool CRefreshTokenStore::Save(CSettings& settings, const std::string& profile,
                              const std::string& account, const std::string& token,
                              std::string& error) {
    if (CSecretStore* store = CSecretStore::Current()) {
        CSecretStore::Status status =
            store->Store(KeyFor(profile, account), "InboxWarden sign-in of " + account, token);
        error = status.error;
        return status.ok;
    }
    if (token.size() > kMaxFileToken) {
        error = "The sign-in token is too long for the settings file";
        return false;
    }
    for (size_t i = 0; i < kPieces; ++i) {
        size_t from = i * kPieceLength;
        std::string piece = from < token.size() ? token.substr(from, kPieceLength) : "";
        // A piece of exactly full length says "more follows"; the empty one
        // after it ends the token.
        if (!settings.WriteString(PieceKey(i), piece, account)) {
            error = "Cannot write the settings file";
            return false;
        }
        if (piece.size() < kPieceLength) {
            break;
        }
    }
    return true;
}

bool CRefreshTokenStore::Remove(CSettings& settings, const std::string& profile,
                                const std::string& account, std::string& error) {
    if (CSecretStore* store = CSecretStore::Current()) {
        CSecretStore::Status status = store->Remove(KeyFor(profile, account));
        error = status.error;
        return status.ok;
    }
    return Save(settings, profile, account, "", error);
}
