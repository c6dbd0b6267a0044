#pragma once

#include <optional>
#include <string>
#include <vector>

#include "secrets/CSecretStore.h"
#include "support/CSettings.h"

// The one place the program reads and writes its passwords. [General]
// PasswordStore says where they are: "keyring" (the secret store) or "file"
// (scrambled "!" keys of the settings file). While it is unset, as after an
// upgrade, they are read from the file until the first start that finds a
// keyring moves them there.
class CPasswordAccess {
public:
    enum class Where { Unset, File, Keyring };

    // One password: its "!" key in the settings file, that key's section (the
    // account, or "General") and what the keyring calls it.
    struct Slot {
        std::string iniKey;
        std::string section;
        CSecretStore::Kind kind = CSecretStore::Kind::Pop;
    };
    static Slot Pop(const std::string& account);
    static Slot Smtp();
    static Slot Remote();
    static Slot Update();
    // The slot of a "!" key in section; nullopt for a key that is no password.
    static std::optional<Slot> SlotOf(const std::string& iniKey, const std::string& section);

    static constexpr const char* kStoreKey = "PasswordStore";

    // store: the keyring to use; null when the process has none. The settings
    // are the file at settings' path (a CSettings is only its path).
    explicit CPasswordAccess(const CSettings& settings,
                             CSecretStore* store = CSecretStore::Current());

    Where GetWhere() const;
    static const char* WhereName(Where where);

    // The password, fallback when there is none. Nullopt, with the reason in
    // error, when it is kept in the keyring and the keyring cannot give it.
    std::optional<std::string> Read(const Slot& slot, const std::string& fallback,
                                    std::string* error) const;
    // Keeps value (empty: no password) where the passwords are kept. While
    // PasswordStore is unset, first moves everything to the keyring; when no
    // keyring can be used the file keeps it, true with the reason in error.
    // False, with nothing changed, when the write fails.
    bool Write(const Slot& slot, const std::string& value, std::string* error);

    // Moves every password to target: writes each there, reads it back and
    // compares, and only then removes it from the other place and sets
    // PasswordStore. A failure before that leaves the settings file as it was
    // (and the keyring as it was), with the reason in error. Moving to where
    // the passwords already are is done and true.
    bool MoveTo(Where target, std::string* error);

    // At start: while PasswordStore is not "file" and the settings file still
    // holds passwords (or the setting is unset, as in a new installation),
    // moves them to the keyring. True when nothing needed doing or the move
    // succeeded; false with the reason (the settings file unchanged).
    bool MigrateAtStart(std::string* error);

    // What a program finds at start, after MigrateAtStart.
    struct StartCheck {
        // False when the passwords are in the keyring and it cannot give them.
        bool usable = true;
        // True when this start moved passwords to the keyring.
        bool moved = false;
        // Why the keyring cannot be used (with usable true: why the passwords
        // stay in the settings file).
        std::string why;
    };
    StartCheck CheckAtStart();

    // Every password slot of the settings: each account's POP3 password, then
    // SMTP, remote commands and update.
    std::vector<Slot> Slots() const;
    CSecretStore::Key KeyOf(const Slot& slot) const;
    // What the keyring shows a person: "InboxWarden: POP3 password for Home".
    static std::string Label(const Slot& slot);

private:
    bool InFile(const Slot& slot) const;
    bool MoveToKeyring(std::string* error);
    bool MoveToFile(std::string* error);

    mutable CSettings m_settings;
    CSecretStore* m_store;
    std::string m_profile;
};
