#pragma once
// Backend-internal shared state.
namespace os::posix {
// Points the process's standard output at standard error, keeping a copy
// of the original for the data (idempotent).
void redirect_stdout();
// The data handle of the original standard output (claimed once).
int take_stdout_data();
}  // namespace os::posix
