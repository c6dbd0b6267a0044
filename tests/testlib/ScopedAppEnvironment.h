#pragma once

#include "support/CAppEnvironment.h"

// The program's environment on the program folder INBOXWARDEN_HOME names,
// installed as the instance while the object lives. Uninstalling it on every
// way out keeps a failed check from leaving the next test an instance that no
// longer exists.
class ScopedAppEnvironment {
public:
    ScopedAppEnvironment();
    ~ScopedAppEnvironment();
    ScopedAppEnvironment(const ScopedAppEnvironment&) = delete;
    ScopedAppEnvironment& operator=(const ScopedAppEnvironment&) = delete;

    CAppEnvironment& Get() { return m_env; }
    CAppEnvironment* operator->() { return &m_env; }

private:
    CAppEnvironment m_env;
};
