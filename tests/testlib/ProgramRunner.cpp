#include "ProgramRunner.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char** environ;

ProgramRunner::Result ProgramRunner::Run(const std::string& program,
                                         const std::vector<std::string>& args, int limitMs,
                                         int signalAfterMs) {
    Result run;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv = NullTerminated(all);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        return run;
    }
    auto start = std::chrono::steady_clock::now();
    bool signalled = false;
    bool killed = false;
    while (true) {
        auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
        if (signalAfterMs >= 0 && !signalled && elapsed >= signalAfterMs) {
            kill(pid, SIGTERM);
            signalled = true;
        }
        if (elapsed >= limitMs && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        struct pollfd p = {pipeFds[0], POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            char buffer[4096];
            ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            run.output.append(buffer, static_cast<size_t>(n));
        }
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = (!killed && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    return run;
}

std::vector<char*> ProgramRunner::NullTerminated(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    for (auto& word : words) {
        pointers.push_back(word.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}
