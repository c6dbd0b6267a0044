#pragma once

#include <string>
#include <vector>

// Runs a program of the build as a child process, with the test's
// environment (so INBOXWARDEN_HOME reaches it), collecting its output.
class ProgramRunner {
public:
    struct Result {
        int status = -1;     // exit status, or -1 when it could not start or had to be killed
        std::string output;  // stdout and stderr together
    };

    // Killed after limitMs; with signalAfterMs >= 0 it gets SIGTERM at that time.
    static Result Run(const std::string& program, const std::vector<std::string>& args,
                      int limitMs = 20000, int signalAfterMs = -1);

    // The null-terminated array of pointers into words that posix_spawn
    // takes for argv or envp; words must outlive it.
    static std::vector<char*> NullTerminated(std::vector<std::string>& words);
};
