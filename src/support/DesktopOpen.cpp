#include "support/DesktopOpen.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <vector>

extern char** environ;

bool OpenWithDesktop(const std::string& target) {
    if (target.empty()) {
        return false;
    }
    // "--" would be taken as a file name by xdg-open; a leading "-" must not
    // become an option, so such a target is made a relative path.
    std::string argument = target[0] == '-' ? "./" + target : target;
    std::vector<char*> argv{const_cast<char*>("xdg-open"), argument.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv.data(), environ) != 0) {
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
