#include "secrets/CSecretStore.h"

#include <mutex>

namespace {
std::mutex g_currentLock;
std::shared_ptr<CSecretStore> g_current;
}  // namespace

const char* CSecretStore::KindName(Kind kind) {
    switch (kind) {
        case Kind::Pop:
            return "pop";
        case Kind::Smtp:
            return "smtp";
        case Kind::Remote:
            return "remote";
        case Kind::Update:
            return "update";
        case Kind::OAuth:
            return "oauth";
    }
    return "other";
}

CSecretStore* CSecretStore::Current() {
    std::lock_guard<std::mutex> lock(g_currentLock);
    return g_current.get();
}

void CSecretStore::SetCurrent(std::shared_ptr<CSecretStore> store) {
    std::lock_guard<std::mutex> lock(g_currentLock);
    g_current = std::move(store);
}
