#include "ScopedAppEnvironment.h"

ScopedAppEnvironment::ScopedAppEnvironment()
    : m_env("InboxWarden", CAppEnvironment::AE_IniInProgramFolder) {
    CAppEnvironment::SetInstance(&m_env);
}

ScopedAppEnvironment::~ScopedAppEnvironment() {
    CAppEnvironment::SetInstance(nullptr);
}
