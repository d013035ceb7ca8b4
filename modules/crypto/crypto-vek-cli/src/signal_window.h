// A stretch of work that the signals which end a command must not cut in two.
#pragma once

#include <signal.h>

namespace Zarn {
namespace Support {
namespace VekCli {

// Blocks, in the calling thread (the tool has no other), every signal whose default
// action ends the process and that can be blocked, while it lives, then restores the mask
// it found: such a signal that arrives meanwhile takes effect when the window closes,
// after the work it guards is complete or its failure is recorded. Only SIGKILL, and a
// fault of the process itself, still end it inside.
class signal_window {
public:
    signal_window();
    ~signal_window();
    signal_window(const signal_window &) = delete;
    signal_window &operator=(const signal_window &) = delete;

private:
    sigset_t _previous;
};

}  // namespace VekCli
}  // namespace Support
}  // namespace Zarn
