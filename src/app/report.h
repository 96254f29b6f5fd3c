#pragma once
// Console reporting and timing shared by every thread: no state of their own
// besides the counter frequency. Text is UTF-8 through the C streams.
#include <atomic>
#include <cstdio>

#include "os/types.h"

// Counts per second of the performance counter; set before main runs.
extern const s64 performance_frequency;
// Set once by the Ctrl+C handler, polled by every worker and the benchmark.
extern std::atomic<bool> ctrl_c_typed;

// "%s\n" with the operation text, then "   ^ERROR: %u, %s" with the code and
// the system's message ("(null)" when it has none, leaving the line open).
void print_error(FILE* stream, const char* operation_text, u32 code);

// Milliseconds on the performance-counter time line.
s64 now_ms();
// Counter value to milliseconds with the split arithmetic (no 64-bit overflow).
s64 counter_to_ms(s64 counter, s64 frequency);

// A duration on standard output, e.g. " 0.0 ", " 1:01.0 ", " 1:00:00.0 ".
void print_elapsed(u64 ms);
// Standard output holds an elapsed-time figure with no line end after it.
extern std::atomic<bool> stdout_mid_line;
// The same text into a buffer (for tests and whole-line output).
int format_elapsed(char* buffer, size_t size, u64 ms);
