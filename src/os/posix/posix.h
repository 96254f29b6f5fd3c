#pragma once
// Backend-internal shared state.
#include <atomic>

namespace os::posix {
// Set by interrupt_io: a read or write interrupted by a signal is then
// given up (operation_aborted) instead of being tried again.
extern std::atomic<bool> io_aborted;
// Points the process's standard output at standard error, keeping a copy
// of the original for the data (idempotent).
void redirect_stdout();
// The data handle of the original standard output (claimed once).
int take_stdout_data();
}  // namespace os::posix
