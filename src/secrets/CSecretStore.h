#pragma once

#include <memory>
#include <optional>
#include <string>

// Where the program keeps passwords and sign-in tokens. The desktop keyring
// (Secret Service) is one implementation; tests use one in memory. Every call
// may block on the keyring (a prompt to unlock it), so none runs on the
// interface thread, and none is made while a history or lists lock is held.
class CSecretStore {
public:
    enum class Kind { Pop, Smtp, Remote, Update, OAuth };

    // What identifies one secret: the program folder (one profile), the
    // account's section name ("General" for the SMTP, remote-command and update
    // secrets) and what the secret is for.
    struct Key {
        std::string profile;
        std::string account;
        Kind kind = Kind::Pop;
    };

    // The outcome of a call: ok, or the reason it failed in words a person can
    // act on ("No Secret Service on the session bus", "The keyring is locked").
    struct Status {
        bool ok = true;
        std::string error;
        static Status Ok() { return {}; }
        static Status Failed(std::string why) { return {false, std::move(why)}; }
    };

    virtual ~CSecretStore() = default;

    // Whether the store can be used now, and why not.
    virtual Status Available() = 0;
    // Stores (or replaces) the secret under key, with a label a person reads.
    virtual Status Store(const Key& key, const std::string& label, const std::string& secret) = 0;
    // The secret, or nullopt with status ok when there is none under key.
    virtual std::optional<std::string> Lookup(const Key& key, Status& status) = 0;
    // Removes the secret; removing one that is not there is ok.
    virtual Status Remove(const Key& key) = 0;

    // A short word for the kind, as the keyring's "kind" attribute carries it:
    // pop, smtp, remote, update, oauth.
    static const char* KindName(Kind kind);

    // The store the process uses (null: none installed, secrets stay in the
    // settings file). The program and the scanner install one at start.
    static CSecretStore* Current();
    static void SetCurrent(std::shared_ptr<CSecretStore> store);
};
