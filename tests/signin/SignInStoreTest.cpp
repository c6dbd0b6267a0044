// PKCE and where the refresh token is kept: the settings file in pieces, or
// the secret store when one is installed, and its failures.
#include <gtest/gtest.h>

#include <memory>

#include "secrets/CSecretStore.h"
#include "signin/CPkce.h"
#include "signin/CRefreshTokenStore.h"
#include "support/CSettings.h"
#include "testlib/MemorySecretStore.h"
#include "testlib/TempHome.h"

TEST(Pkce, Rfc7636VectorAndFreshVerifiers) {
    EXPECT_EQ(CPkce::ChallengeS256("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
              "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
    std::string a = CPkce::NewVerifier();
    EXPECT_EQ(a.size(), 43u);
    EXPECT_EQ(
        a.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
        std::string::npos);
    EXPECT_NE(a, CPkce::NewVerifier());
}

TEST(RefreshTokenStore, SettingsFileHoldsLongTokensInPieces) {
    TempHome home;
    CSettings settings(home.File("InboxWarden.ini"));
    std::string error;
    // Longer, then shorter: the stale pieces of the longer must not come back.
    for (size_t length : {size_t(5000), size_t(999), size_t(1998), size_t(12), size_t(0)}) {
        std::string token;
        for (size_t i = 0; i < length; ++i) {
            token += static_cast<char>('a' + i % 26);
        }
        ASSERT_TRUE(CRefreshTokenStore::Save(settings, "p", "Home", token, error)) << length;
        std::string back;
        ASSERT_TRUE(CRefreshTokenStore::Load(settings, "p", "Home", back, error));
        EXPECT_EQ(back, token) << length;
        EXPECT_EQ(TempHome::ReadFile(settings.GetPath()).find("abcdefghij"), std::string::npos);
    }
    EXPECT_FALSE(CRefreshTokenStore::Save(
        settings, "p", "Home", std::string(CRefreshTokenStore::kMaxFileToken + 1, 'x'), error));
}

// The token follows PasswordStore, and one kept in the other place (saved
// before the passwords moved) is still found and moved by the next save.
TEST(RefreshTokenStore, KeyringWhenThePasswordsAreKeptThere) {
    TempHome home;
    CSettings settings(home.File("InboxWarden.ini"));
    auto store = std::make_shared<MemorySecretStore>();
    CSecretStore::SetCurrent(store);
    std::string error, back;
    EXPECT_TRUE(CRefreshTokenStore::Save(settings, "p", "Home", "rt-file", error));
    EXPECT_EQ(store->Count(), 0u);
    settings.WriteString("PasswordStore", "keyring", "General");
    EXPECT_TRUE(CRefreshTokenStore::Load(settings, "p", "Home", back, error));
    EXPECT_EQ(back, "rt-file");
    EXPECT_TRUE(CRefreshTokenStore::Save(settings, "p", "Home", "rt-1", error));
    EXPECT_TRUE(CRefreshTokenStore::Load(settings, "p", "Home", back, error));
    EXPECT_EQ(back, "rt-1");
    EXPECT_TRUE(CRefreshTokenStore::Load(settings, "p", "Work", back, error));
    EXPECT_EQ(back, "");
    EXPECT_EQ(settings.GetString("!OAuthRefreshToken", "Home", "none"), "none");
    store->FailWith("The keyring is locked");
    EXPECT_FALSE(CRefreshTokenStore::Load(settings, "p", "Home", back, error));
    EXPECT_EQ(error, "The keyring is locked");
    EXPECT_FALSE(CRefreshTokenStore::Save(settings, "p", "Home", "rt-2", error));
    store->FailWith("");
    settings.WriteString("PasswordStore", "file", "General");
    EXPECT_TRUE(CRefreshTokenStore::Load(settings, "p", "Home", back, error));
    EXPECT_EQ(back, "rt-1");
    EXPECT_TRUE(CRefreshTokenStore::Save(settings, "p", "Home", "rt-3", error));
    EXPECT_EQ(store->Count(), 0u);
    EXPECT_EQ(settings.GetString("!OAuthRefreshToken", "Home", ""), "rt-3");
    CSecretStore::SetCurrent(nullptr);
}
