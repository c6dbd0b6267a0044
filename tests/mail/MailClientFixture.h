#pragma once

#include <gtest/gtest.h>

#include <string>

#include "mail/CMailContent.h"
#include "support/CLogFile.h"
#include "testlib/ScopedSocketTimeouts.h"
#include "testlib/TempHome.h"

// A POP3 or SMTP client test: short socket time-outs, and traffic and error
// logs in a throwaway folder that the tests read back (a password must never
// reach them).
class MailClientFixture : public ::testing::Test {
protected:
    MailClientFixture() : m_traffic(m_home.Path(), "Test"), m_errors(m_home.Path(), "Test") {
        m_traffic.Open("Traffic", CLogFile::LF_Enabled, 10);
        m_errors.Open("Errors", CLogFile::LF_Enabled, 10);
    }

    template <typename Client>
    void Attach(Client& client) {
        client.SetTrafficLog(&m_traffic);
        client.SetErrorLog(&m_errors);
    }
    std::string TrafficText() { return TempHome::ReadFile(m_traffic.GetPath()); }
    std::string ErrorText() { return TempHome::ReadFile(m_errors.GetPath()); }
    std::string Logs() { return TrafficText() + ErrorText(); }

    // A message from me@here.org to Ann.
    static CMailContent Letter(const std::string& body = "text\r\n") {
        CMailContent message;
        message.m_from = "me@here.org";
        message.m_subject = "Greetings";
        message.m_body = body;
        message.AddRecipient("ann@a.org", "Ann ");
        return message;
    }

    TempHome m_home;
    ScopedSocketTimeouts m_timeouts;
    CLogFile m_traffic;
    CLogFile m_errors;
};
