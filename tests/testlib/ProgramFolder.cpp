#include "ProgramFolder.h"

#include "lists/CFilterLists.h"

ProgramFolder::ProgramFolder(std::function<void(const char*)> complain)
    : cwd(home.Path(), std::move(complain)) {
    env->GetMainLog().Open("", CLogFile::LF_Enabled, 10);
    // The engine's settings decide whether the main log writes; the tests
    // read it.
    env->GetSettings().WriteBool("EnableLogging", true, "General");
    CFilterLists::Instance().Reload();
}
