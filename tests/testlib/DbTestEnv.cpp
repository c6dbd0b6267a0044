#include "DbTestEnv.h"

DbTestEnv::DbTestEnv()
    : m_env(std::make_unique<CAppEnvironment>("InboxWarden",
                                              CAppEnvironment::AE_IniInProgramFolder)) {
    m_env->GetMainLog().Open("", CLogFile::LF_Enabled | CLogFile::LF_Truncate, 50);
    CAppEnvironment::SetInstance(m_env.get());
}

DbTestEnv::~DbTestEnv() {
    if (CAppEnvironment::Instance() == m_env.get()) {
        CAppEnvironment::SetInstance(nullptr);
    }
    m_env->GetMainLog().Close();
}

std::string DbTestEnv::MainLogText() {
    return TempHome::ReadFile(m_env->GetMainLog().GetPath());
}
