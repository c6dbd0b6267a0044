#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mail/CTlsTrustStore.h"
#include "testlib/TempHome.h"

namespace {

// A self-signed P-256 certificate for commonName, as PEM, padded with blank
// lines to a fixed size so that two of them make files of equal length.
std::string SelfSigned(const std::string& commonName) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    if (!key || !cert) {
        return {};
    }
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key.get());
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) {
        return {};
    }
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert.get());
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(length));
    BIO_free(bio);
    pem.resize(1024, '\n');
    return pem;
}

// Whether store makes pem a trusted certificate.
bool Trusts(X509_STORE* store, const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    X509_STORE_CTX* context = X509_STORE_CTX_new();
    bool trusted = cert && context && X509_STORE_CTX_init(context, store, cert, nullptr) == 1 &&
                   X509_verify_cert(context) == 1;
    X509_STORE_CTX_free(context);
    X509_free(cert);
    return trusted;
}

// The store for caFile, released when it goes out of scope.
struct StoreRef {
    explicit StoreRef(const std::string& caFile) : store(CTlsTrustStore::Get(caFile, error)) {}
    ~StoreRef() { X509_STORE_free(store); }
    StoreRef(const StoreRef&) = delete;
    StoreRef& operator=(const StoreRef&) = delete;
    std::string error;
    X509_STORE* store;
};

class CTlsTrustStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        first = SelfSigned("first.iw.test");
        second = SelfSigned("second.iw.test");
        ASSERT_FALSE(first.empty());
        ASSERT_FALSE(second.empty());
        ASSERT_EQ(first.size(), second.size());
    }
    TempHome home;
    std::string first;
    std::string second;
};

TEST_F(CTlsTrustStoreTest, OneReadPerFileSharedAndKeptApartFromOtherFiles) {
    const std::string file = home.File("extra.pem");
    TempHome::WriteFile(file, first);
    const unsigned long before = CTlsTrustStore::ReadCount();
    StoreRef a(file);
    StoreRef b(file);
    ASSERT_NE(a.store, nullptr) << a.error;
    EXPECT_EQ(a.store, b.store);
    EXPECT_EQ(CTlsTrustStore::ReadCount(), before + 1);
    EXPECT_TRUE(Trusts(a.store, first));
    EXPECT_FALSE(Trusts(a.store, second));

    // The system's store alone never learns what an extra file trusted.
    StoreRef system("");
    ASSERT_NE(system.store, nullptr) << system.error;
    EXPECT_NE(system.store, a.store);
    EXPECT_FALSE(Trusts(system.store, first));
}

TEST_F(CTlsTrustStoreTest, FileRewrittenInPlaceIsReadAgain) {
    // Same path, same length, same inode: an edit the user makes between two
    // scans, or between two tests in the settings.
    const std::string file = home.File("extra.pem");
    TempHome::WriteFile(file, first);
    StoreRef before(file);
    ASSERT_NE(before.store, nullptr) << before.error;
    TempHome::WriteFile(file, second);
    StoreRef after(file);
    ASSERT_NE(after.store, nullptr) << after.error;
    EXPECT_NE(after.store, before.store);
    EXPECT_TRUE(Trusts(after.store, second));
    EXPECT_FALSE(Trusts(after.store, first));
    // A store already handed out keeps working with what it was read with.
    EXPECT_TRUE(Trusts(before.store, first));
}

TEST_F(CTlsTrustStoreTest, UnreadableFileIsAnErrorThatIsNotRemembered) {
    struct Case {
        const char* name;
        bool create;
        const char* content;
    };
    const Case cases[] = {
        {"missing", false, ""},
        {"empty", true, ""},
        {"not PEM", true, "this is not a certificate\n"},
        {"cut PEM", true, "-----BEGIN CERTIFICATE-----\nMIIB\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = home.File(std::string("bad-") + c.name + ".pem");
        if (c.create) {
            TempHome::WriteFile(file, c.content);
        }
        {
            StoreRef bad(file);
            EXPECT_EQ(bad.store, nullptr);
            EXPECT_EQ(bad.error.rfind("Cannot read the trusted certificates in " + file + ": ", 0),
                      0u)
                << bad.error;
        }
        TempHome::WriteFile(file, first);
        StoreRef mended(file);
        ASSERT_NE(mended.store, nullptr) << mended.error;
        EXPECT_TRUE(Trusts(mended.store, first));
    }
}

TEST_F(CTlsTrustStoreTest, StoresOutliveTheirPlaceInTheCache) {
    // More files than the cache keeps: the first is read again later, and the
    // reference handed out before stays usable.
    const std::string file = home.File("kept.pem");
    TempHome::WriteFile(file, first);
    StoreRef kept(file);
    ASSERT_NE(kept.store, nullptr) << kept.error;
    for (int i = 0; i < 6; ++i) {
        const std::string other = home.File("other" + std::to_string(i) + ".pem");
        TempHome::WriteFile(other, second);
        StoreRef ref(other);
        ASSERT_NE(ref.store, nullptr) << ref.error;
    }
    const unsigned long before = CTlsTrustStore::ReadCount();
    StoreRef again(file);
    ASSERT_NE(again.store, nullptr) << again.error;
    EXPECT_EQ(CTlsTrustStore::ReadCount(), before + 1);
    EXPECT_TRUE(Trusts(kept.store, first));
    EXPECT_TRUE(Trusts(again.store, first));
}

TEST_F(CTlsTrustStoreTest, ThreadsShareOneReadAndVerifyAtOnce) {
    const std::string file = home.File("threads.pem");
    TempHome::WriteFile(file, first);
    const unsigned long before = CTlsTrustStore::ReadCount();
    std::atomic<int> failures{0};
    std::vector<X509_STORE*> seen(6, nullptr);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < seen.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                StoreRef ref(file);
                if (!ref.store || !Trusts(ref.store, first) || Trusts(ref.store, second)) {
                    ++failures;
                }
                seen[t] = ref.store;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(CTlsTrustStore::ReadCount(), before + 1);
    for (X509_STORE* store : seen) {
        EXPECT_EQ(store, seen[0]);
    }
}

}  // namespace
