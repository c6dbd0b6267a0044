#include "secrets/CSecretServiceStore.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "TempHome.h"
#include "secrets/CPasswordAccess.h"

namespace {

// Runs a command, returning what it printed.
std::string Output(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0 && out.size() < 1000000) {
            out.append(buffer, got);
        }
        pclose(pipe);
    }
    return out;
}

// Runs under tests/secrets/with_keyring.sh; elsewhere it skips.
class KeyringTest : public ::testing::Test {
protected:
    void SetUp() override {
        CSecretStore::Status available = store.Available();
        if (!available.ok) {
            GTEST_SKIP() << "no usable Secret Service: " << available.error;
        }
    }
    CSecretServiceStore store;
};

TEST_F(KeyringTest, ItemsRoundTripAreFoundBySecretToolAndALockedKeyringIsAnError) {
    const std::string profile = "/tmp/iw profile " + std::to_string(getpid());
    const std::string longSecret(5000, 'x');
    struct Item {
        CSecretStore::Key key;
        std::string secret;
    };
    const Item items[] = {
        {{profile, "Home", CSecretStore::Kind::Pop}, "p\xc3\xa4ss w=rd;\"'"},
        {{profile, "Work", CSecretStore::Kind::Pop}, longSecret},
        {{profile, "General", CSecretStore::Kind::Smtp}, "smtp"},
        {{profile + "2", "Home", CSecretStore::Kind::Pop}, "other profile"},
    };
    for (const Item& item : items) {
        ASSERT_TRUE(store.Store(item.key, "InboxWarden: test " + item.key.account, item.secret).ok);
    }
    for (const Item& item : items) {
        CSecretStore::Status status;
        EXPECT_EQ(store.Lookup(item.key, status), item.secret) << item.key.account;
        EXPECT_TRUE(status.ok) << status.error;
    }
    std::string found = Output("secret-tool search --all application InboxWarden profile '" +
                               profile + "' kind pop 2>&1");
    EXPECT_NE(found.find("label = InboxWarden: test Home"), std::string::npos) << found;
    EXPECT_NE(found.find("attribute.account = Work"), std::string::npos) << found;
    EXPECT_EQ(found.find("smtp"), std::string::npos) << found;

    ASSERT_TRUE(store.Remove(items[0].key).ok);
    ASSERT_TRUE(store.Remove(items[0].key).ok) << "removing what is gone is fine";
    CSecretStore::Status status;
    EXPECT_EQ(store.Lookup(items[0].key, status), std::nullopt);
    EXPECT_TRUE(status.ok);

    // Locked: no password comes back as "none", and nothing moves.
    TempHome home;
    CSettings settings(home.File("InboxWarden.ini"));
    settings.WriteString("AccountsList", "Work", "General");
    settings.WriteString("PasswordStore", "keyring", "General");
    const std::string ini = TempHome::ReadFile(settings.GetPath());
    CPasswordAccess access(settings, &store);
    ASSERT_TRUE(access.Write(CPasswordAccess::Pop("Work"), "work-pw", nullptr));
    Output(
        "gdbus call --session --dest org.freedesktop.secrets --object-path "
        "/org/freedesktop/secrets --method org.freedesktop.Secret.Service.Lock "
        "\"['/org/freedesktop/secrets/collection/login']\"");
    EXPECT_FALSE(store.Available().ok);
    EXPECT_EQ(store.Lookup(items[1].key, status), std::nullopt);
    EXPECT_NE(status.error.find("locked"), std::string::npos) << status.error;
    std::string why;
    EXPECT_EQ(access.Read(CPasswordAccess::Pop("Work"), "", &why), std::nullopt);
    EXPECT_FALSE(access.MoveTo(CPasswordAccess::Where::File, &why));
    EXPECT_NE(why.find("locked"), std::string::npos) << why;
    EXPECT_EQ(TempHome::ReadFile(settings.GetPath()), ini);
}

}  // namespace
