#pragma once

#include <string>

#include "support/CSettings.h"

// The settings of one filtered POP3 account "Home" (me@home.example) on a
// loopback server, sending through a loopback SMTP server: what a test
// writes before it starts an engine on a scripted mailbox.
//
//   LoopbackAccount(smtp.Port(), pop.Port(), "user", "pw").WriteTo(settings);
class LoopbackAccount {
public:
    LoopbackAccount(int smtpPort, int popPort, std::string login, std::string password);

    // The account becomes the only one of AccountsList.
    void WriteTo(CSettings& settings) const;

private:
    int m_smtpPort;
    int m_popPort;
    std::string m_login;
    std::string m_password;
};
