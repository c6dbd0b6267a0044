#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// The loopback Dovecot (POP3) and Postfix (SMTP) that scripts/mailservers.sh
// starts, as described by the env file named by IW_MAIL_ENV (the realserver
// CTest fixture sets it). Gives the tests the ports, the users and direct
// access to the Maildirs behind the servers.
//
// Known users: "me" (the user's own mailbox), "friend", "stranger" (an unknown
// sender), "bench" and "spare"; Users() lists them. Any other address at
// Domain() is delivered too, to a Maildir of its own, but cannot log in.
class MailServers {
public:
    // Read once per process.
    static const MailServers& Get();

    bool Available() const { return m_available; }
    // Why the servers are unavailable, for the skip message.
    const std::string& Why() const { return m_why; }

    const std::string& Host() const { return m_host; }
    unsigned Pop3Port() const { return m_pop3Port; }
    unsigned SmtpPort() const { return m_smtpPort; }
    const std::string& Domain() const { return m_domain; }
    // The secure services: POP3S, submission (STARTTLS and a login
    // required) and SMTPS (implicit TLS, a login required). The plain POP3
    // port offers STLS.
    unsigned Pop3sPort() const { return Port("IW_MAIL_POP3S_PORT"); }
    unsigned SubmissionPort() const { return Port("IW_MAIL_SUBMISSION_PORT"); }
    unsigned SmtpsPort() const { return Port("IW_MAIL_SMTPS_PORT"); }
    // The servers' self-signed certificate, to trust as TlsCaFile.
    std::string CaFile() const { return Value("IW_MAIL_CA_FILE"); }
    // Another loopback address with the same POP3 services, one the
    // certificate does not name.
    std::string OtherHost() const { return Value("IW_MAIL_OTHER_HOST"); }
    // A loopback address whose plain POP3 port offers no STLS.
    std::string NoStlsHost() const { return Value("IW_MAIL_NO_STLS_HOST"); }
    // A key of the env file, empty when absent.
    std::string Value(const std::string& key) const;
    const std::vector<std::string>& Users() const { return m_users; }
    // "me" gives "me@iw.test"; an argument with "@" is returned as it is.
    std::string Address(const std::string& user) const;
    // The POP3 password of a known user; empty for any other.
    std::string Password(const std::string& user) const;
    // The Maildir of a user or address at the test domain, without a final "/".
    std::string Maildir(const std::string& userOrAddress) const;
    const std::string& DovecotLog() const { return m_dovecotLog; }
    const std::string& PostfixLog() const { return m_postfixLog; }

    // Puts a message into the mailbox exactly as given (Dovecot serves it at
    // the next login); returns its file, empty on failure. Messages dropped
    // one after another are served in that order.
    std::string Drop(const std::string& userOrAddress, const std::string& message) const;
    // The mailbox's message files (new and seen), in delivery order.
    std::vector<std::string> List(const std::string& userOrAddress) const;
    size_t Count(const std::string& userOrAddress) const;
    // The texts of List(), as stored (Postfix's deliveries end lines with LF;
    // POP3 serves them with CRLF).
    std::vector<std::string> ReadAll(const std::string& userOrAddress) const;
    // Removes every message of the mailbox.
    void Clear(const std::string& userOrAddress) const;
    // Waits at most timeout until the mailbox holds at least count messages.
    bool WaitForCount(const std::string& userOrAddress, size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(15)) const;

    // Submits a message through the SMTP server with a small client of its
    // own (independent of the clients under test). message is the header and
    // body with CRLF line ends; dots are stuffed here. Delivery is
    // asynchronous: follow with WaitForCount. On failure, error gets the
    // server's reply or the socket trouble.
    bool Send(const std::string& from, const std::vector<std::string>& to,
              const std::string& message, std::string* error = nullptr) const;

    static std::string ReadFile(const std::string& path);

private:
    MailServers();
    void Load(const std::string& envFile);
    unsigned Port(const std::string& key) const;
    // Creates the Maildir's folders if missing, owned by the mail user.
    bool EnsureMaildir(const std::string& maildir) const;

    bool m_available = false;
    std::string m_why;
    std::map<std::string, std::string> m_values;
    std::string m_host;
    unsigned m_pop3Port = 0;
    unsigned m_smtpPort = 0;
    std::string m_domain;
    std::string m_root;
    std::vector<std::string> m_users;
    std::string m_dovecotLog;
    std::string m_postfixLog;
    int m_uid = -1;
    int m_gid = -1;
};

// Skips the current test, with the reason, when the servers are unavailable.
#define IW_REQUIRE_MAIL_SERVERS()                                                              \
    do {                                                                                       \
        if (!MailServers::Get().Available()) {                                                 \
            GTEST_SKIP() << "loopback mail servers unavailable: " << MailServers::Get().Why(); \
        }                                                                                      \
    } while (0)

// The same, and also skips when the servers were started without their TLS
// services (no certificate to trust).
#define IW_REQUIRE_TLS_MAIL_SERVERS()                                                          \
    do {                                                                                       \
        IW_REQUIRE_MAIL_SERVERS();                                                             \
        if (MailServers::Get().CaFile().empty()) {                                             \
            GTEST_SKIP() << "loopback mail servers unavailable: started without TLS services"; \
        }                                                                                      \
    } while (0)
