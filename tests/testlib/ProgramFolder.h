#pragma once

#include <functional>
#include <memory>
#include <string>

#include "ScopedAppEnvironment.h"
#include "ScopedCwd.h"
#include "TempHome.h"
#include "support/CSettings.h"

// A throwaway program folder with its own settings file, database and main
// log, the program's environment installed on it and the current folder
// inside it (the challenge files are looked up there); all of it undone with
// the object. `complain` hears a failed chdir (see ScopedCwd).
class ProgramFolder {
public:
    explicit ProgramFolder(std::function<void(const char*)> complain = nullptr);
    ProgramFolder(const ProgramFolder&) = delete;
    ProgramFolder& operator=(const ProgramFolder&) = delete;

    CSettings& Settings() { return env->GetSettings(); }
    std::string MainLogText() const { return TempHome::ReadFile(home.File("InboxWarden.log")); }

    // In this order: the folder exists before the current folder moves into
    // it, and the environment reads its settings file there.
    TempHome home;
    ScopedCwd cwd;
    ScopedAppEnvironment env;
};
