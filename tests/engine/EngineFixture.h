#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "RecordingOwner.h"
#include "TempHome.h"
#include "engine/CInboxWardenEngine.h"
#include "lists/CFilterLists.h"
#include "support/CAppEnvironment.h"

// A throwaway program folder with its own settings file and database, the
// process environment pointing at it, and the current folder inside it (the
// challenge files are looked up there).
class EngineFixture : public ::testing::Test {
protected:
    EngineFixture() {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd)) {
            m_oldCwd = cwd;
        }
        if (chdir(home.Path().c_str()) != 0) {
            ADD_FAILURE() << "chdir";
        }
        env = std::make_unique<CAppEnvironment>("InboxWarden",
                                                CAppEnvironment::AE_IniInProgramFolder);
        CAppEnvironment::SetInstance(env.get());
        env->GetMainLog().Open("", CLogFile::LF_Enabled, 10);
        // The engine's settings decide whether the main log writes; the
        // tests read it.
        env->GetSettings().WriteBool("EnableLogging", true, "General");
        CFilterLists::Instance().Reload();
    }
    ~EngineFixture() override {
        CAppEnvironment::SetInstance(nullptr);
        if (!m_oldCwd.empty() && chdir(m_oldCwd.c_str()) != 0) {
            ADD_FAILURE() << "chdir back";
        }
    }

    CSettings& Settings() { return env->GetSettings(); }
    std::string MainLogText() { return TempHome::ReadFile(home.File("InboxWarden.log")); }

    TempHome home;
    std::unique_ptr<CAppEnvironment> env;
    RecordingOwner owner;

private:
    std::string m_oldCwd;
};
