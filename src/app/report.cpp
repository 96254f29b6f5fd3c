#include "app/report.h"

#include <string>

#include "os/clock.h"
#include "os/console.h"

const s64 performance_frequency = os::performance_frequency();
std::atomic<bool> ctrl_c_typed{false};
std::atomic<bool> stdout_mid_line{false};

void print_error(FILE* stream, const char* operation_text, u32 code) {
    std::string text;
    bool has_text = os::error_text(code, text);
    // One call, so that a progress line of another thread cannot split it.
    std::fprintf(stream, "%s\n   ^ERROR: %u, %s", operation_text, code, has_text ? text.c_str() : "(null)");
}

s64 counter_to_ms(s64 c, s64 f) {
    // Whole seconds and remainder apart, so that no product leaves 64 bits.
    s64 ns = (c / f) * 1000000000 + ((c % f) * 1000000000) / f;
    return ns / 1000000;
}

s64 now_ms() { return counter_to_ms(os::performance_counter(), performance_frequency); }

int format_elapsed(char* buffer, size_t size, u64 ms) {
    int h = static_cast<int>((ms / 3600000) & 0xFFFF);
    int m = static_cast<int>((ms % 3600000) / 60000);
    int s = static_cast<int>((ms % 60000) / 1000);
    long long t = static_cast<long long>((ms % 1000) / 100);
    if (h != 0) return std::snprintf(buffer, size, "%2d:%02d:%02d.%lld ", h, m, s, t);
    if (m != 0) return std::snprintf(buffer, size, "%2d:%02d.%lld ", m, s, t);
    return std::snprintf(buffer, size, "%2d.%lld ", s, t);
}

void print_elapsed(u64 ms) {
    char text[48];
    format_elapsed(text, sizeof text, ms);
    std::fputs(text, stdout);
    std::fflush(stdout);  // the figure belongs to the progress line on screen now
    stdout_mid_line.store(true, std::memory_order_release);
}
