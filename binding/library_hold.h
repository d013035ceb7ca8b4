/* Wrapper calls in flight keep the signature library mapped: script code that runs while a
 * call converts its items or writes its outputs (a __del__, say) may unload the library,
 * and the call still releases what the library returned through the table. KTUnload then
 * detaches the library at once and leaves the close to the last call that ends.
 *
 * Process-wide and unguarded, like the loader: callers hold the interpreter lock. */
#pragma once

namespace Tavrel {

void hold_library();
void release_library();

/* For KTUnload: true when calls are in flight, and the close was taken over by them. */
bool defer_close(void *handle);

}  // namespace Tavrel
