#include "mail/CTlsSession.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "mail/CTlsTrustStore.h"

namespace {

// The socket BIO of OpenSSL writes with write(), and a peer that closed
// would raise SIGPIPE and end the program; this one sends with MSG_NOSIGNAL.
int SocketOf(BIO* bio) {
    return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

int BioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    ssize_t n = send(SocketOf(bio), data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            BIO_set_retry_write(bio);
        }
        return -1;
    }
    return static_cast<int>(n);
}

int BioRead(BIO* bio, char* buffer, int size) {
    BIO_clear_retry_flags(bio);
    ssize_t n = recv(SocketOf(bio), buffer, static_cast<size_t>(size), 0);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            BIO_set_retry_read(bio);
        }
        return -1;
    }
    return static_cast<int>(n);
}

int BioPuts(BIO* bio, const char* text) {
    return BioWrite(bio, text, static_cast<int>(strlen(text)));
}

long BioCtrl(BIO*, int command, long, void*) {
    // Nothing is buffered here, so a flush is always complete.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* SocketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "iw socket");
        if (m) {
            BIO_meth_set_write(m, BioWrite);
            BIO_meth_set_read(m, BioRead);
            BIO_meth_set_puts(m, BioPuts);
            BIO_meth_set_ctrl(m, BioCtrl);
            BIO_meth_set_create(m, BioCreate);
        }
        return m;
    }();
    return method;
}

}  // namespace

std::string CTlsSession::OpenSslReason(const char* what) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return what;
    }
    const char* reason = ERR_reason_error_string(code);
    if (reason) {
        return reason;
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

namespace {

std::string WithoutBrackets(const std::string& host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        return host.substr(1, host.size() - 2);
    }
    return host;
}

bool IsAddressLiteral(const std::string& host) {
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

CTlsSession::~CTlsSession() {
    X509_free(m_leaf);
    if (m_ssl) {
        SSL_free(m_ssl);
    }
    if (m_ctx) {
        SSL_CTX_free(m_ctx);
    }
}

std::string CTlsSession::VerifyErrorText(long code, const std::string& host) {
    if (code == X509_V_ERR_HOSTNAME_MISMATCH || code == X509_V_ERR_IP_ADDRESS_MISMATCH) {
        return "host name mismatch: " + WithoutBrackets(host);
    }
    const char* text = X509_verify_cert_error_string(code);
    return text ? text : "certificate not accepted (" + std::to_string(code) + ")";
}

bool CTlsSession::Begin(int fd, const std::string& host, const std::string& caFile,
                        std::string& error, const std::string& pin) {
    ERR_clear_error();
    m_host = WithoutBrackets(host);
    if (!pin.empty()) {
        m_pin = NormalFingerprint(pin);
        if (m_pin.empty()) {
            error = "TLS set-up failed: the trusted certificate fingerprint is not valid";
            return false;
        }
    }
    m_ctx = SSL_CTX_new(TLS_client_method());
    BIO_METHOD* method = SocketMethod();
    if (!m_ctx || !method) {
        error = "TLS set-up failed: " + OpenSslReason("out of memory");
        return false;
    }
    SSL_CTX_set_min_proto_version(m_ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, nullptr);
    // A peer that drops the connection without close_notify has closed it;
    // the mail protocols' own framing tells a cut reply from a whole one.
    SSL_CTX_set_options(m_ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_mode(m_ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Whole records (and what follows them) in one receive, not a header first.
    SSL_CTX_set_read_ahead(m_ctx, 1);
    X509_STORE* trusted = CTlsTrustStore::Get(caFile, error);
    if (!trusted) {
        return false;
    }
    SSL_CTX_set1_cert_store(m_ctx, trusted);
    X509_STORE_free(trusted);  // the context holds its own reference
    m_ssl = SSL_new(m_ctx);
    BIO* bio = m_ssl ? BIO_new(method) : nullptr;
    if (!bio) {
        error = "TLS set-up failed: " + OpenSslReason("out of memory");
        return false;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    SSL_set_bio(m_ssl, bio, bio);
    SSL_set_app_data(m_ssl, this);
    SSL_set_verify(m_ssl, SSL_VERIFY_PEER, &CTlsSession::VerifyCallback);

    X509_VERIFY_PARAM* param = SSL_get0_param(m_ssl);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    bool named;
    if (IsAddressLiteral(m_host)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(param, m_host.c_str()) == 1;
    } else {
        named = X509_VERIFY_PARAM_set1_host(param, m_host.c_str(), 0) == 1 &&
                SSL_set_tlsext_host_name(m_ssl, m_host.c_str()) == 1;
    }
    if (!named) {
        error = "TLS set-up failed: cannot check certificates for \"" + m_host + "\"";
        ERR_clear_error();
        return false;
    }
    SSL_set_connect_state(m_ssl);
    return true;
}

CTlsSession::IoResult CTlsSession::Classify(int rc, const char* what, std::string& error) {
    int code = SSL_get_error(m_ssl, rc);
    switch (code) {
        case SSL_ERROR_WANT_READ:
            return IO_WantRead;
        case SSL_ERROR_WANT_WRITE:
            return IO_WantWrite;
        case SSL_ERROR_ZERO_RETURN:
            return IO_Closed;
        case SSL_ERROR_SYSCALL:
            if (ERR_peek_error() == 0) {
                if (errno == 0) {
                    return IO_Closed;
                }
                error = std::string(what) + ": " + strerror(errno);
                return IO_Error;
            }
            [[fallthrough]];
        default:
            error = std::string(what) + ": " + OpenSslReason("protocol error");
            return IO_Error;
    }
}

CTlsSession::IoResult CTlsSession::Handshake(std::string& error) {
    if (!m_ssl) {
        error = "TLS not set up";
        return IO_Error;
    }
    ERR_clear_error();
    errno = 0;
    int rc = SSL_do_handshake(m_ssl);
    if (rc == 1) {
        return IO_Done;
    }
    long verify = SSL_get_verify_result(m_ssl);
    if (verify != X509_V_OK) {
        ERR_clear_error();
        DescribeRefused(verify);
        if (m_refused.changed) {
            error = "Certificate not accepted: the server's certificate changed (trusted " + m_pin +
                    ", offered " + m_refused.sha256 + ")";
        } else {
            error = "Certificate not accepted: " + VerifyErrorText(verify, m_host);
        }
        return IO_Error;
    }
    IoResult result = Classify(rc, "TLS handshake failed", error);
    if (result == IO_Closed) {
        error = "TLS handshake failed: the server closed the connection";
        return IO_Error;
    }
    return result;
}

CTlsSession::IoResult CTlsSession::Read(char* buffer, int size, int& got, std::string& error) {
    got = 0;
    if (!m_ssl || size <= 0) {
        error = "TLS not set up";
        return IO_Error;
    }
    ERR_clear_error();
    errno = 0;
    size_t n = 0;
    if (SSL_read_ex(m_ssl, buffer, static_cast<size_t>(size), &n) == 1) {
        got = static_cast<int>(n);
        return IO_Done;
    }
    return Classify(0, "TLS receive", error);
}

CTlsSession::IoResult CTlsSession::Write(const char* data, size_t length, size_t& written,
                                         std::string& error) {
    written = 0;
    if (!m_ssl) {
        error = "TLS not set up";
        return IO_Error;
    }
    ERR_clear_error();
    errno = 0;
    // OpenSSL wants the same buffer again after a retry; callers pass the
    // unsent rest, which starts at the same bytes.
    size_t n = 0;
    if (SSL_write_ex(m_ssl, data, std::min<size_t>(length, INT_MAX), &n) == 1) {
        written = n;
        return IO_Done;
    }
    IoResult result = Classify(0, "TLS send", error);
    if (result == IO_Closed) {
        error = "TLS send: the server closed the connection";
        return IO_Error;
    }
    return result;
}

void CTlsSession::Shutdown() {
    if (m_ssl && SSL_is_init_finished(m_ssl)) {
        ERR_clear_error();
        SSL_shutdown(m_ssl);
        ERR_clear_error();
    }
}

std::string CTlsSession::Description() const {
    if (!m_ssl) {
        return {};
    }
    const char* cipher = SSL_get_cipher_name(m_ssl);
    return std::string(SSL_get_version(m_ssl)) + " " + (cipher ? cipher : "");
}

namespace {

// What only says that nobody known vouches for the certificate; a pin
// answers exactly that question, and nothing else.
bool IsTrustError(long code) {
    switch (code) {
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_INVALID_CA:
            return true;
        default:
            return false;
    }
}

std::string Fingerprint(X509* cert) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (cert == nullptr || X509_digest(cert, EVP_sha256(), digest, &length) != 1) {
        return {};
    }
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        char pair[4];
        snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", digest[i]);
        text += pair;
    }
    return text;
}

std::string NameText(const X509_NAME* name) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr) {
        return {};
    }
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    std::string text(data != nullptr && length > 0 ? std::string(data, static_cast<size_t>(length))
                                                   : std::string());
    BIO_free(bio);
    return text;
}

std::string TimeText(const ASN1_TIME* time) {
    struct tm parts {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) {
        return {};
    }
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

}  // namespace

std::string CTlsSession::NormalFingerprint(const std::string& text) {
    std::string hex;
    for (char c : text) {
        if (isxdigit(static_cast<unsigned char>(c))) {
            hex += static_cast<char>(toupper(static_cast<unsigned char>(c)));
        } else if (c != ':' && c != ' ') {
            return {};
        }
    }
    if (hex.size() != 64) {
        return {};
    }
    std::string normal;
    for (size_t i = 0; i < hex.size(); i += 2) {
        normal += (i == 0 ? "" : ":") + hex.substr(i, 2);
    }
    return normal;
}

int CTlsSession::VerifyCallback(int preverified, X509_STORE_CTX* ctx) {
    SSL* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self = ssl ? static_cast<CTlsSession*>(SSL_get_app_data(ssl)) : nullptr;
    if (self == nullptr) {
        return preverified;
    }
    X509* leaf = X509_STORE_CTX_get0_cert(ctx);
    if (self->m_leaf == nullptr && leaf != nullptr && X509_up_ref(leaf) == 1) {
        self->m_leaf = leaf;
    }
    if (self->m_pin.empty()) {
        return preverified;
    }
    if (Fingerprint(leaf) != self->m_pin) {
        self->m_pinMismatch = true;
        X509_STORE_CTX_set_error(ctx, X509_V_ERR_CERT_REJECTED);
        return 0;
    }
    int error = X509_STORE_CTX_get_error(ctx);
    if (preverified || !IsTrustError(error)) {
        return preverified;
    }
    X509_STORE_CTX_set_error(ctx, X509_V_OK);
    return 1;
}

void CTlsSession::DescribeRefused(long verifyResult) {
    m_refused = PeerCertificate();
    if (m_leaf == nullptr) {
        return;
    }
    m_refused.subject = NameText(X509_get_subject_name(m_leaf));
    m_refused.issuer = NameText(X509_get_issuer_name(m_leaf));
    m_refused.notBefore = TimeText(X509_get0_notBefore(m_leaf));
    m_refused.notAfter = TimeText(X509_get0_notAfter(m_leaf));
    m_refused.sha256 = Fingerprint(m_leaf);
    m_refused.changed = m_pinMismatch;
    // Trusting by fingerprint overrides who vouches for a certificate, never
    // its dates or the name it was made for.
    bool named = IsAddressLiteral(m_host)
                     ? X509_check_ip_asc(m_leaf, m_host.c_str(), 0) == 1
                     : X509_check_host(m_leaf, m_host.c_str(), 0,
                                       X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) == 1;
    bool current = X509_cmp_current_time(X509_get0_notBefore(m_leaf)) < 0 &&
                   X509_cmp_current_time(X509_get0_notAfter(m_leaf)) > 0;
    m_refused.trustable = named && current && (m_pinMismatch || IsTrustError(verifyResult));
}
