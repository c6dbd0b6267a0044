#pragma once

#include <string>

struct x509_store_st;

// The certificates TLS clients trust: the system's store plus an optional PEM
// file. Reading the system's bundle costs tens of milliseconds of CPU with
// OpenSSL 3, more than the whole of a scan with nothing new, so a store is
// read once per process and file and shared by every session and thread.
// It is read again when one of the files behind it changes (a new bundle
// after a system update, an edited extra file), so trust never lags a change.
class CTlsTrustStore {
public:
    // A new reference to the store for caFile ("" for the system's alone),
    // for SSL_CTX_set1_cert_store or X509_STORE_free; nullptr with error set
    // when caFile cannot be read (that is not remembered: a mended file works
    // at the next call).
    static x509_store_st* Get(const std::string& caFile, std::string& error);

    // How many stores have been read so far, for tests of the sharing.
    static unsigned long ReadCount();
};
