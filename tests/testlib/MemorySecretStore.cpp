#include "MemorySecretStore.h"

MemorySecretStore::Id MemorySecretStore::IdOf(const Key& key) {
    return {key.profile, key.account, static_cast<int>(key.kind)};
}

CSecretStore::Status MemorySecretStore::Available() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_failure.empty() ? Status::Ok() : Status::Failed(m_failure);
}

CSecretStore::Status MemorySecretStore::Store(const Key& key, const std::string& label,
                                              const std::string& secret) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_failure.empty())
        return Status::Failed(m_failure);
    m_items[IdOf(key)] = {label, secret};
    return Status::Ok();
}

std::optional<std::string> MemorySecretStore::Lookup(const Key& key, Status& status) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_failure.empty()) {
        status = Status::Failed(m_failure);
        return std::nullopt;
    }
    status = Status::Ok();
    auto it = m_items.find(IdOf(key));
    if (it == m_items.end())
        return std::nullopt;
    return it->second.second;
}

CSecretStore::Status MemorySecretStore::Remove(const Key& key) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_failure.empty())
        return Status::Failed(m_failure);
    m_items.erase(IdOf(key));
    return Status::Ok();
}

void MemorySecretStore::FailWith(const std::string& why) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_failure = why;
}

std::string MemorySecretStore::LabelOf(const Key& key) const {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_items.find(IdOf(key));
    return it == m_items.end() ? std::string() : it->second.first;
}

size_t MemorySecretStore::Count() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_items.size();
}
