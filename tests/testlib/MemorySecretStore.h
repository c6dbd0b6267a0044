#pragma once

#include <map>
#include <mutex>
#include <string>
#include <tuple>

#include "secrets/CSecretStore.h"

// A secret store in memory for tests: keeps what it is given, and can be told
// to fail (as a missing Secret Service or a locked keyring would) with a reason.
class MemorySecretStore : public CSecretStore {
public:
    Status Available() override;
    Status Store(const Key& key, const std::string& label, const std::string& secret) override;
    std::optional<std::string> Lookup(const Key& key, Status& status) override;
    Status Remove(const Key& key) override;

    // Every later call fails with why; an empty why makes the store work again.
    void FailWith(const std::string& why);
    // The label stored with key, empty when there is none.
    std::string LabelOf(const Key& key) const;
    size_t Count() const;

private:
    using Id = std::tuple<std::string, std::string, int>;
    static Id IdOf(const Key& key);

    mutable std::mutex m_lock;
    std::string m_failure;
    std::map<Id, std::pair<std::string, std::string>> m_items;  // label, secret
};
