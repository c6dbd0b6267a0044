#include "LoopbackAccount.h"

#include <utility>

LoopbackAccount::LoopbackAccount(int smtpPort, int popPort, std::string login, std::string password)
    : m_smtpPort(smtpPort),
      m_popPort(popPort),
      m_login(std::move(login)),
      m_password(std::move(password)) {}

void LoopbackAccount::WriteTo(CSettings& settings) const {
    settings.WriteString("SmtpName", "127.0.0.1", "General");
    settings.WriteInt("SmtpPort", m_smtpPort, "General");
    settings.WriteString("AccountsList", "Home", "General");
    settings.WriteBool("Filter", true, "Home");
    settings.WriteString("emailAddress", "me@home.example", "Home");
    settings.WriteString("PopName", "127.0.0.1", "Home");
    settings.WriteInt("PopPort", m_popPort, "Home");
    settings.WriteString("PopLogin", m_login, "Home");
    settings.WriteString("!PopPassword", m_password, "Home");
}
