// Stand-ins for engine operations that a scan calls and that the fuzz
// targets never reach. Weak, so the real ones win wherever the core library
// brings them.
#include "engine/CInboxWardenEngine.h"

__attribute__((weak)) void CInboxWardenEngine::FilterNewEmail(CEmailData*) {}
__attribute__((weak)) void CInboxWardenEngine::ProcessTasks(const std::string&) {}
