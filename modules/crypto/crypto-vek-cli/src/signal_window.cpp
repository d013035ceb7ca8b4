#include "signal_window.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <initializer_list>

namespace Zarn {
namespace Support {
namespace VekCli {

namespace {

// The C library's mask calls leave out the signals it keeps for itself (32 and 33), so
// the mask is set with the system call, on the kernel's 64-signal set.
uint64_t _T_ending_signals() {
    uint64_t ending = ~uint64_t(0);
    // Those whose default action is to ignore the signal, to stop or to continue.
    for (const int signal : {SIGCHLD, SIGCONT, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGURG, SIGWINCH})
        ending &= ~(uint64_t(1) << (signal - 1));
    return ending;
}

void _T_mask(int how, const uint64_t *set, uint64_t *previous) {
    ::syscall(SYS_rt_sigprocmask, how, set, previous, sizeof *set);
}

}  // namespace

signal_window::signal_window() {
    const uint64_t ending = _T_ending_signals();
    _T_mask(SIG_BLOCK, &ending, &_previous);
}

signal_window::~signal_window() { _T_mask(SIG_SETMASK, &_previous, nullptr); }

}  // namespace VekCli
}  // namespace Support
}  // namespace Zarn
