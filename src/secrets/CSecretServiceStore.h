#pragma once

#include <mutex>

#include "secrets/CSecretStore.h"

// The desktop keyring over the Secret Service D-Bus API (GNOME Keyring,
// KWallet, KeePassXC), through libsecret's synchronous calls, so the scanner
// needs no event loop. Items carry the attributes application=InboxWarden,
// profile, account and kind, which `secret-tool search` finds.
class CSecretServiceStore : public CSecretStore {
public:
    Status Available() override;
    Status Store(const Key& key, const std::string& label, const std::string& secret) override;
    std::optional<std::string> Lookup(const Key& key, Status& status) override;
    Status Remove(const Key& key) override;

    // The value of the items' "application" attribute.
    static constexpr const char* kApplication = "InboxWarden";

private:
    // The items under key, unlocking their collection if they are locked (the
    // desktop asks the user); failed when one stays locked.
    Status Search(const Key& key, int flags, struct _GList*& items);

    // libsecret's synchronous calls each run a main loop of their own; one at a
    // time keeps two threads' prompts from interleaving.
    std::mutex m_lock;
};
