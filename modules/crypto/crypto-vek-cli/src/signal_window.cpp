#include "signal_window.h"

#include <pthread.h>

#include <initializer_list>

namespace Zarn {
namespace Support {
namespace VekCli {

signal_window::signal_window() {
    sigset_t ending;
    sigemptyset(&ending);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaddset(&ending, signal);
    ::pthread_sigmask(SIG_BLOCK, &ending, &_previous);
}

signal_window::~signal_window() { ::pthread_sigmask(SIG_SETMASK, &_previous, nullptr); }

}  // namespace VekCli
}  // namespace Support
}  // namespace Zarn
