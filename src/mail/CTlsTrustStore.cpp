#include "mail/CTlsTrustStore.h"

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>

#include "mail/CTlsSession.h"

namespace {

// What tells one version of a file from another: a rewrite changes the
// change time (nanoseconds here), a replacement by renaming the inode.
struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modified = 0;
    int64_t changed = 0;

    bool operator==(const FileStamp&) const = default;
};

FileStamp StampOf(const std::string& path) {
    FileStamp stamp;
    struct stat info;
    if (path.empty() || stat(path.c_str(), &info) != 0) {
        return stamp;
    }
    stamp.exists = true;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = info.st_size;
    stamp.modified = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    stamp.changed = static_cast<int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    return stamp;
}

// The system's places as OpenSSL reads them: the environment first.
std::string DefaultCertFile() {
    const char* fromEnvironment = getenv(X509_get_default_cert_file_env());
    return fromEnvironment ? fromEnvironment : X509_get_default_cert_file();
}

std::string DefaultCertDir() {
    const char* fromEnvironment = getenv(X509_get_default_cert_dir_env());
    return fromEnvironment ? fromEnvironment : X509_get_default_cert_dir();
}

struct Stamps {
    FileStamp systemFile;
    FileStamp systemDir;
    FileStamp extraFile;

    bool operator==(const Stamps&) const = default;
};

Stamps CurrentStamps(const std::string& caFile) {
    // A directory of hashed names is read certificate by certificate as
    // needed, so its status is enough: it changes when a name is added.
    return {StampOf(DefaultCertFile()), StampOf(DefaultCertDir()), StampOf(caFile)};
}

struct Entry {
    Stamps stamps;
    X509_STORE* store = nullptr;
};

// Few files are ever in use at once (one setting, and what the settings
// dialog tries); past this many, all are dropped and read again when asked.
constexpr size_t kMaxEntries = 4;

std::mutex g_lock;
unsigned long g_readCount = 0;

// Never destroyed: at exit OpenSSL may already be cleaned up, and freeing its
// stores then is not safe. What it holds stays reachable until the end.
std::map<std::string, Entry>& Entries() {
    static auto* entries = new std::map<std::string, Entry>;
    return *entries;
}

X509_STORE* ReadStore(const std::string& caFile, std::string& error) {
    ERR_clear_error();
    X509_STORE* store = X509_STORE_new();
    if (!store) {
        error = "TLS set-up failed: " + CTlsSession::OpenSslReason("out of memory");
        return nullptr;
    }
    if (X509_STORE_set_default_paths(store) != 1) {
        ERR_clear_error();  // no system store: only caFile can make trust
    }
    if (!caFile.empty() && X509_STORE_load_locations(store, caFile.c_str(), nullptr) != 1) {
        error = "Cannot read the trusted certificates in " + caFile + ": " +
                CTlsSession::OpenSslReason("not a PEM file");
        X509_STORE_free(store);
        return nullptr;
    }
    return store;
}

}  // namespace

x509_store_st* CTlsTrustStore::Get(const std::string& caFile, std::string& error) {
    // Stamped before reading, so a change during the read shows next time.
    Stamps stamps = CurrentStamps(caFile);
    std::lock_guard<std::mutex> hold(g_lock);
    std::map<std::string, Entry>& entries = Entries();
    auto found = entries.find(caFile);
    if (found != entries.end() && found->second.stamps == stamps) {
        X509_STORE_up_ref(found->second.store);
        return found->second.store;
    }
    // Reading under the lock keeps two threads from paying for the same
    // store; it is local file work, never a wait on the network.
    X509_STORE* store = ReadStore(caFile, error);
    if (!store) {
        return nullptr;
    }
    ++g_readCount;
    if (found != entries.end()) {
        X509_STORE_free(found->second.store);
        entries.erase(found);
    }
    if (entries.size() >= kMaxEntries) {
        for (auto& entry : entries) {
            X509_STORE_free(entry.second.store);
        }
        entries.clear();
    }
    entries[caFile] = Entry{stamps, store};
    X509_STORE_up_ref(store);
    return store;
}

unsigned long CTlsTrustStore::ReadCount() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_readCount;
}
