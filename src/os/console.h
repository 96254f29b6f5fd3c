#pragma once
// Process start-up, console text and the Ctrl+C notice.
//
// The core prints UTF-8 through the C streams stdout and stderr; the backend
// makes that work on the console (Windows: UTF-8 code page, arguments
// converted from UTF-16 at the entry).
#include <string>

#include "os/types.h"

namespace os {

// Called once at the entry: console text mode and locale for the character
// conversion only (numbers always print with a decimal point). A standard
// stream that is closed at the start is given the null device (Linux), so
// that no file opened later takes its number and receives console text;
// on Windows an absent standard handle stays absent.
void init_console();

// Whether standard stream `n` (0 input, 1 output, 2 error) was closed or
// absent when the process started. Its text goes nowhere.
bool std_stream_closed(int n);

// The handle that the process's text on standard output (1) or standard
// error (2) goes to now, for comparing it with a file; not to be closed.
// invalid_handle when absent.
handle text_handle(int n);

// 8-bit text of the console's code page (1251, that of the entry's locale
// "bg-BG") as UTF-8: every byte becomes one character.
std::string eight_bit_text(const u8* bytes, size_t count);

// From now on the process's standard output stream (the C stdout) writes to
// standard error; the original standard-output handle stays available for
// take_std_handle(true). Unbuffered afterwards. Idempotent.
void redirect_stdout_to_stderr();

// Installs the Ctrl+C handler. On Ctrl+C (SIGINT) `notice` is written to
// standard error with one async-signal-safe write and `on_ctrl_c` runs on
// the signalling context; it must only set flags. Other console events
// (Ctrl+Break, SIGQUIT, SIGTERM) keep the system's default: the process ends.
// A write to a closed pipe becomes an error result (broken_pipe), never a
// silent death of the process.
void install_ctrl_c_handler(void (*on_ctrl_c)(), const char* notice);

bool is_debugger_present();
// Reads one character from standard input (the debugger pause).
int read_char();

// Enables a named privilege of the process token; every failure is ignored.
void enable_privilege(const char* name);

// The system's message text for a Windows error number, or false when the
// system has none (then the caller prints "(null)"). The text ends with a
// line end, as the system's messages do.
bool error_text(u32 code, std::string& text);

}  // namespace os
