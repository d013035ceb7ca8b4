// A stretch of work that the signals which end a command must not cut in two.
#pragma once

#include <cstdint>

namespace Zarn {
namespace Support {
namespace VekCli {

// Blocks, in the calling thread (the tool has no other), every signal whose default
// action ends the process and that can be blocked, the two real-time signals the C
// library keeps for itself among them, while it lives, then restores the mask it found:
// such a signal that arrives meanwhile takes effect when the window closes, after the
// work it guards is complete or its failure is recorded. Only SIGKILL, and a fault of the
// process itself, still end it inside.
class signal_window {
public:
    signal_window();
    ~signal_window();
    signal_window(const signal_window &) = delete;
    signal_window &operator=(const signal_window &) = delete;

private:
    uint64_t _previous = 0;  // the kernel's signal set: bit n-1 for signal n
};

}  // namespace VekCli
}  // namespace Support
}  // namespace Zarn
