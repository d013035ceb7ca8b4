// Test controls inside the stand-in: call counts and trace, injected faults and
// delays, the long-signature switch, and the environment variables that set them.
#pragma once

#include "kt_types.h"

namespace tavrel_standin {

// Entry of a function that returns a status: counts and traces the call, sleeps for
// its delay (holding no lock), and returns the injected status, 0 when none applies.
DWORD enter(const char *function) noexcept;

// Entry of a function without a status: counts, traces and sleeps as enter().
void note_call(const char *function) noexcept;

// Appends one line to the call trace file, if one is set. Never fails visibly.
void trace_line(const char *line) noexcept;

// Applies the TAVREL_STANDIN_* variables that KTInitialize reads (faults, delays,
// long signatures, write pause); a variable already applied with the same text is skipped.
// Returns 0 or TAVREL_STANDIN_ERROR_CONTROL.
DWORD apply_environment() noexcept;

bool long_signatures() noexcept;
// TAVREL_STANDIN_WRITE_PAUSE: whether a file the library writes for its caller stops half
// way; pause_write then traces "half-written <path>" and sleeps for the pause.
bool write_paused() noexcept;
void pause_write(const char *path) noexcept;
// Whether KTFreeMemory traces which buffer it freed (TavrelStandin_SetReleaseTrace).
bool trace_releases() noexcept;

// TavrelStandin_Reset's share: forgets every control and the applied environment.
void reset_controls() noexcept;

// Slot of an exported function name, -1 for an unknown name or null.
long function_slot(const char *function) noexcept;

}  // namespace tavrel_standin
