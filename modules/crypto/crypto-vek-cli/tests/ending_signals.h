// The signals whose default action ends a process, found by letting each end a child;
// those that cannot be caught, and those the C library keeps for itself, are left out.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace ending_signals {

inline std::vector<int> all() {
    std::vector<int> ending;
    for (int signal = 1; signal <= SIGRTMAX; ++signal) {
        if (signal == SIGKILL || signal == SIGSTOP || (signal > 31 && signal < SIGRTMIN)) continue;
        const pid_t child = ::fork();
        if (child == 0) {
            const rlimit noCore = {0, 0};
            ::setrlimit(RLIMIT_CORE, &noCore);
            ::signal(signal, SIG_DFL);
            sigset_t only;
            sigemptyset(&only);
            sigaddset(&only, signal);
            ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
            ::raise(signal);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, WUNTRACED);
        if (WIFSTOPPED(status)) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            continue;
        }
        if (WIFSIGNALED(status) && WTERMSIG(status) == signal) ending.push_back(signal);
    }
    return ending;
}

}  // namespace ending_signals
