#pragma once

#include <cstddef>
#include <string>

struct ssl_st;
struct ssl_ctx_st;
struct x509_st;

// The TLS client side of one connected socket (OpenSSL 3), at least TLS 1.2.
// It never waits itself: every call does what the socket allows now and says
// whether it must wait for the socket to become readable or writable, so that
// the caller keeps its own time limits and abort checks. The peer's
// certificate is checked against the system's trust store plus an optional
// PEM file, and against the host name or address the caller connected to.
class CTlsSession {
public:
    enum IoResult { IO_Done, IO_WantRead, IO_WantWrite, IO_Closed, IO_Error };

    // The server's certificate, as shown to a user deciding to trust it.
    struct PeerCertificate {
        std::string subject;
        std::string issuer;
        std::string notBefore;
        std::string notAfter;
        std::string sha256;  // "AB:CD:..." (32 bytes)
        // Refused only because nothing vouches for it (self-signed, unknown
        // issuer) or because it is not the pinned one: it is within its
        // dates and names the host, so trusting it by fingerprint is sound.
        bool trustable = false;
        // A pinned fingerprint that the server's certificate no longer has.
        bool changed = false;
    };

    CTlsSession() = default;
    ~CTlsSession();
    CTlsSession(const CTlsSession&) = delete;
    CTlsSession& operator=(const CTlsSession&) = delete;

    // Prepares the session on fd (which must be non-blocking). host is what
    // the certificate must name: a host name, or an IPv4/IPv6 literal (in
    // brackets or not). caFile, when not empty, adds trusted certificates.
    // pin, when not empty, is the SHA-256 fingerprint of the one certificate
    // accepted for this server whoever issued it; the host name and the dates
    // are still checked, and any other certificate is refused.
    bool Begin(int fd, const std::string& host, const std::string& caFile, std::string& error,
               const std::string& pin = std::string());
    IoResult Handshake(std::string& error);
    // got: bytes read (only with IO_Done).
    IoResult Read(char* buffer, int size, int& got, std::string& error);
    // written: bytes taken (only with IO_Done; may be fewer than length).
    IoResult Write(const char* data, size_t length, size_t& written, std::string& error);
    // Sends close_notify if the socket takes it now; never waits.
    void Shutdown();
    // The protocol and cipher agreed on, for the traffic log.
    std::string Description() const;

    // Plain words for a certificate check's result code (X509_V_ERR_...),
    // naming the host on a name mismatch.
    static std::string VerifyErrorText(long code, const std::string& host);
    // The first queued OpenSSL error in words ("wrong version number"), or
    // what when none is queued; clears the queue.
    static std::string OpenSslReason(const char* what);
    // The certificate of a refused handshake (empty subject and fingerprint
    // when none was received).
    const PeerCertificate& Refused() const { return m_refused; }
    // A fingerprint in the one form compared: upper-case hex pairs joined by
    // ":". Empty for text that is not 32 bytes of hex (colons and blanks
    // between pairs allowed).
    static std::string NormalFingerprint(const std::string& text);

private:
    IoResult Classify(int rc, const char* what, std::string& error);
    static int VerifyCallback(int preverified, struct x509_store_ctx_st* ctx);
    void DescribeRefused(long verifyResult);

    ssl_ctx_st* m_ctx = nullptr;
    ssl_st* m_ssl = nullptr;
    std::string m_host;
    std::string m_pin;
    // The server's own certificate, held from the check on.
    x509_st* m_leaf = nullptr;
    bool m_pinMismatch = false;
    PeerCertificate m_refused;
};
