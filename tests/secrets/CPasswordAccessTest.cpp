#include "secrets/CPasswordAccess.h"

#include <gtest/gtest.h>

#include <functional>

#include "MemorySecretStore.h"
#include "TempHome.h"

namespace {

using Where = CPasswordAccess::Where;
using Slot = CPasswordAccess::Slot;

// A keyring that keeps what it is given but hands back something else, as a
// broken Secret Service might.
class GarblingStore : public MemorySecretStore {
public:
    std::optional<std::string> Lookup(const Key& key, Status& status) override {
        std::optional<std::string> secret = MemorySecretStore::Lookup(key, status);
        if (secret && garble) {
            *secret += "?";
        }
        return secret;
    }
    bool garble = false;
};

const std::vector<std::pair<Slot, std::string>> kPasswords = {
    {CPasswordAccess::Pop("Home"), "home-pw"},
    {CPasswordAccess::Pop("Work"), "w\xc3\xb6rk=;[x] #"},
    {CPasswordAccess::Smtp(), "smtp-pw"},
    {CPasswordAccess::Remote(), "remote-pw"},
};

class PasswordAccessTest : public ::testing::Test {
public:
    void SetUp() override {
        settings.WriteString("AccountsList", "Home,Work", "General");
        for (const auto& [slot, secret] : kPasswords) {
            settings.WriteString(slot.iniKey, secret, slot.section);
        }
    }
    std::string Ini() const { return TempHome::ReadFile(settings.GetPath()); }
    CPasswordAccess Access() { return CPasswordAccess(settings, &store); }

    TempHome home;
    CSettings settings{home.File("InboxWarden.ini")};
    GarblingStore store;
};

TEST_F(PasswordAccessTest, MovesToTheKeyringAndBackWithoutLoss) {
    std::string why;
    ASSERT_TRUE(Access().MigrateAtStart(&why)) << why;
    EXPECT_EQ(Access().GetWhere(), Where::Keyring);
    EXPECT_EQ(Ini().find('!'), std::string::npos) << Ini();
    EXPECT_EQ(store.Count(), kPasswords.size());
    EXPECT_EQ(store.LabelOf(Access().KeyOf(CPasswordAccess::Pop("Work"))),
              "InboxWarden: POP3 password for Work");
    for (const auto& [slot, secret] : kPasswords) {
        EXPECT_EQ(Access().Read(slot, "", &why), secret) << slot.iniKey;
    }
    // Absent everywhere: the caller's default.
    EXPECT_EQ(Access().Read(CPasswordAccess::Update(), "update", &why), "update");
    // A second start finds nothing left to move.
    ASSERT_TRUE(Access().CheckAtStart().usable);
    EXPECT_FALSE(Access().CheckAtStart().moved);

    ASSERT_TRUE(Access().MoveTo(Where::File, &why)) << why;
    EXPECT_EQ(Access().GetWhere(), Where::File);
    EXPECT_EQ(store.Count(), 0u);
    for (const auto& [slot, secret] : kPasswords) {
        EXPECT_EQ(settings.GetString(slot.iniKey, slot.section, ""), secret) << slot.iniKey;
    }
    // The user chose the file: later starts leave it there.
    EXPECT_TRUE(Access().MigrateAtStart(&why));
    EXPECT_EQ(store.Count(), 0u);
}

TEST_F(PasswordAccessTest, FailedMovesLeaveTheSettingsFileAsItWas) {
    struct Case {
        const char* name;
        std::function<void(PasswordAccessTest&)> setUp;
        Where target;
        size_t keyringAfter;   // items the keyring keeps
        const char* smtpKept;  // the keyring's SMTP password afterwards, if any
    };
    const Case cases[] = {
        {"no Secret Service", [](PasswordAccessTest& t) { t.store.FailWith("No Secret Service"); },
         Where::Keyring, 0, nullptr},
        {"read-back differs", [](PasswordAccessTest& t) { t.store.garble = true; }, Where::Keyring,
         0, nullptr},
        // A stray file password must not overwrite, then lose, the keyring's.
        {"keyring item kept on undo",
         [](PasswordAccessTest& t) {
             t.store.Store(t.Access().KeyOf(CPasswordAccess::Smtp()), "x", "kept");
             t.settings.WriteString("PasswordStore", "keyring", "General");
             t.store.garble = true;
         },
         Where::Keyring, 1, "kept"},
        {"keyring locked when moving back",
         [](PasswordAccessTest& t) {
             t.settings.WriteString("PasswordStore", "keyring", "General");
             t.store.FailWith("The keyring is locked");
         },
         Where::File, 0, nullptr},
        {"password the file cannot keep",
         [](PasswordAccessTest& t) {
             t.settings.WriteString("PasswordStore", "keyring", "General");
             t.store.Store(t.Access().KeyOf(CPasswordAccess::Remote()), "x", "two\nlines");
         },
         Where::File, 1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& [slot, secret] : kPasswords) {
            store.Remove(Access().KeyOf(slot));
        }
        settings.Apply({{"PasswordStore", "General", std::nullopt}});
        store.FailWith("");
        store.garble = false;
        c.setUp(*this);
        const std::string before = Ini();
        std::string why;
        EXPECT_FALSE(Access().MoveTo(c.target, &why));
        EXPECT_FALSE(why.empty());
        EXPECT_EQ(Ini(), before);
        store.FailWith("");
        EXPECT_EQ(store.Count(), c.keyringAfter);
        store.garble = false;
        CSecretStore::Status status;
        EXPECT_EQ(store.Lookup(Access().KeyOf(CPasswordAccess::Smtp()), status),
                  c.smtpKept ? std::optional<std::string>(c.smtpKept) : std::nullopt);
    }
}

TEST_F(PasswordAccessTest, ReadsAndWritesFollowPasswordStore) {
    std::string why;
    // Unset, as after an upgrade: the file's passwords are read as before, and
    // while no keyring answers a write goes to the file, saying why.
    store.FailWith("No Secret Service on the session bus");
    EXPECT_EQ(Access().Read(CPasswordAccess::Pop("Home"), "", &why), "home-pw");
    EXPECT_TRUE(Access().Write(CPasswordAccess::Pop("Home"), "newer", &why));
    EXPECT_EQ(why, "No Secret Service on the session bus");
    EXPECT_EQ(settings.GetString("!PopPassword", "Home", ""), "newer");
    EXPECT_EQ(Access().GetWhere(), Where::Unset);
    CPasswordAccess::StartCheck unset = Access().CheckAtStart();
    EXPECT_TRUE(unset.usable);
    EXPECT_FALSE(unset.why.empty());

    // In the keyring: an unusable keyring is an error, never an empty password.
    store.FailWith("");
    ASSERT_TRUE(Access().Write(CPasswordAccess::Pop("Home"), "new", &why)) << why;
    EXPECT_EQ(Access().GetWhere(), Where::Keyring);
    store.FailWith("The keyring is locked");
    why.clear();
    EXPECT_EQ(Access().Read(CPasswordAccess::Pop("Home"), "", &why), std::nullopt);
    EXPECT_EQ(why, "The keyring is locked");
    CPasswordAccess::StartCheck locked = Access().CheckAtStart();
    EXPECT_FALSE(locked.usable);
    EXPECT_EQ(locked.why, "The keyring is locked");
    EXPECT_EQ(CPasswordAccess(settings, nullptr).Read(CPasswordAccess::Pop("Home"), "", &why),
              std::nullopt);

    // An empty password removes the item.
    store.FailWith("");
    ASSERT_TRUE(Access().Write(CPasswordAccess::Pop("Home"), "", &why));
    EXPECT_EQ(Access().Read(CPasswordAccess::Pop("Home"), "none", &why), "none");
}

}  // namespace
