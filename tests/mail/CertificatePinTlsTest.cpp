// Trust by fingerprint overrides who vouches for a certificate, never its
// dates: a loopback TLS server with made-up certificates.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include "mail/CLineSocket.h"
#include "testlib/ScopedSocketTimeouts.h"
#include "testlib/TempHome.h"

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

// Self-signed for 127.0.0.1, valid from `from` to `to` seconds from now.
Cert MakeCertificate(EVP_PKEY* key, long from, long to) {
    Cert cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), from);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), to);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key);
    X509_EXTENSION* san =
        X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, "IP:127.0.0.1");
    X509_add_ext(cert.get(), san, -1);
    X509_EXTENSION_free(san);
    X509_sign(cert.get(), key, EVP_sha256());
    return cert;
}

// Serves one TLS handshake on a loopback port, then closes.
class OneShotTlsServer {
public:
    OneShotTlsServer(X509* cert, EVP_PKEY* key) {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(m_listener, reinterpret_cast<sockaddr*>(&address), length);
        listen(m_listener, 1);
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this, cert, key] { Serve(cert, key); });
    }
    ~OneShotTlsServer() {
        m_thread.join();
        close(m_listener);
    }
    unsigned Port() const { return m_port; }

private:
    void Serve(X509* cert, EVP_PKEY* key) {
        pollfd wait{m_listener, POLLIN, 0};
        if (poll(&wait, 1, 5000) != 1) {
            return;
        }
        int fd = accept(m_listener, nullptr, nullptr);
        timeval limit{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(ctx, cert);
        SSL_CTX_use_PrivateKey(ctx, key);
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        SSL_accept(ssl);  // the client refuses or finishes; either ends it
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        ERR_clear_error();
        close(fd);
    }

    int m_listener = -1;
    unsigned m_port = 0;
    std::thread m_thread;
};

std::string FingerprintOf(X509* cert) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    X509_digest(cert, EVP_sha256(), digest, &length);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        char pair[3];
        snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

TEST(CertificatePinTls, DatesCountWhetherPinnedOrNot) {
    TempHome home;
    ScopedSocketTimeouts timeouts(3000, 5000);
    // The server's OpenSSL writes to a socket the refusing client has closed.
    signal(SIGPIPE, SIG_IGN);
    Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    ASSERT_TRUE(key);
    struct Case {
        const char* name;
        long from;
        long to;
        bool pinned;
        bool accepted;
        bool trustable;
        const char* reason;
    };
    const Case cases[] = {
        {"current, unpinned", -3600, 3600, false, false, true, "self-signed"},
        {"current, pinned", -3600, 3600, true, true, false, ""},
        // OpenSSL names the first fault; the offer still knows the dates.
        {"expired, unpinned", -7200, -3600, false, false, false, "self-signed"},
        {"expired, pinned", -7200, -3600, true, false, false, "expired"},
        {"not yet valid, pinned", 3600, 7200, true, false, false, "not yet valid"},
    };
    for (const Case& c : cases) {
        Cert cert = MakeCertificate(key.get(), c.from, c.to);
        OneShotTlsServer server(cert.get(), key.get());
        CLineSocket socket;
        ASSERT_EQ(socket.Connect("127.0.0.1", server.Port()), CLineSocket::CR_Connected);
        socket.SetPinnedCertificate(c.pinned ? FingerprintOf(cert.get()) : "");
        EXPECT_EQ(socket.StartTls(""), c.accepted) << c.name << ": " << socket.GetLastFailure();
        EXPECT_NE(socket.GetLastFailure().find(c.reason), std::string::npos)
            << c.name << ": " << socket.GetLastFailure();
        EXPECT_EQ(socket.RefusedCertificate().trustable, c.trustable) << c.name;
        socket.Close();
    }
}

}  // namespace
