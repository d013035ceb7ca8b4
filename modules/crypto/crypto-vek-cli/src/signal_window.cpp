#include "signal_window.h"

#include <pthread.h>

#include <initializer_list>

namespace Zarn {
namespace Support {
namespace VekCli {

namespace {

sigset_t _T_ending_signals() {
    sigset_t ending;
    sigfillset(&ending);
    // Those whose default action is to ignore the signal, to stop or to continue.
    for (const int signal : {SIGCHLD, SIGCONT, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGURG, SIGWINCH})
        sigdelset(&ending, signal);
    return ending;
}

}  // namespace

signal_window::signal_window() {
    const sigset_t ending = _T_ending_signals();
    ::pthread_sigmask(SIG_BLOCK, &ending, &_previous);
}

signal_window::~signal_window() { ::pthread_sigmask(SIG_SETMASK, &_previous, nullptr); }

}  // namespace VekCli
}  // namespace Support
}  // namespace Zarn
