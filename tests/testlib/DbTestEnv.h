#pragma once

#include <memory>
#include <string>

#include "TempHome.h"
#include "support/CAppEnvironment.h"

// A throwaway program folder with an installed environment whose main log is
// enabled, for tests of the database users.
class DbTestEnv {
public:
    DbTestEnv();
    ~DbTestEnv();
    DbTestEnv(const DbTestEnv&) = delete;
    DbTestEnv& operator=(const DbTestEnv&) = delete;

    const TempHome& Home() const { return m_home; }
    CAppEnvironment& Env() { return *m_env; }
    std::string DbPath() const { return m_home.File("InboxWarden.mdb"); }
    // Everything the main log holds so far.
    std::string MainLogText();

private:
    TempHome m_home;
    std::unique_ptr<CAppEnvironment> m_env;
};
