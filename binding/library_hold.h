/* Wrapper calls in flight keep the signature library mapped: script code that runs while a
 * call converts its items or writes its outputs (a __del__, say) may unload the library,
 * and the call still releases what the library returned through the table. KTUnload then
 * detaches the library at once and leaves the close to the last call that ends.
 *
 * Process-wide and unguarded, like the loader: callers hold the interpreter lock. Holding
 * and releasing are inline: every wrapper call does both. */
#pragma once

namespace Tavrel {

namespace library_hold_state {
inline unsigned long calls_in_flight = 0;
inline void *deferred_handle = nullptr;  // closed when the last call ends
void close_deferred();
}  // namespace library_hold_state

inline void hold_library() { ++library_hold_state::calls_in_flight; }

inline void release_library() {
    if (--library_hold_state::calls_in_flight == 0 && library_hold_state::deferred_handle)
        library_hold_state::close_deferred();
}

/* For KTUnload: true when calls are in flight, and the close was taken over by them. */
bool defer_close(void *handle);

}  // namespace Tavrel
