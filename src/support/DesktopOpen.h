#pragma once

#include <string>

// Hands a file, folder or address to the desktop's open operation
// (xdg-open), as one argument and never through a shell. True when the
// opener ran and reported success.
bool OpenWithDesktop(const std::string& target);
