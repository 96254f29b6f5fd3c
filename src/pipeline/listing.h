#pragma once
// The difference listing: blocks collected and written in large pieces, on
// standard error and, as UTF-16LE, in the log file.
#include <cstring>
#include <mutex>
#include <vector>

#include "io/G_FILE.h"
#include "pipeline/G_PIPELINE.h"

// Calls f(w, n) for every 8-byte word (n < 8 for the last bytes) at which
// a and b differ, in order, while f returns true. Runs of equal bytes are
// skipped at memory speed; only differing runs are walked word by word.
template <typename F>
void each_differing_word(const u8* a, const u8* b, u64 count, F f) {
    constexpr u64 run = 4096;
    for (u64 at = 0; at < count; at += run) {
        const u64 len = count - at < run ? count - at : run;
        if (std::memcmp(a + at, b + at, len) == 0) continue;
        for (u64 w = at; w < at + len; w += 8) {
            const u64 n = count - w < 8 ? count - w : 8;
            if (std::memcmp(a + w, b + w, n) != 0 && !f(w, n)) return;
        }
    }
}

// Listing output collected and written in large pieces, so that millions
// of blocks cost a few system calls, not one each.
struct listing {
    std::vector<char> text;     // console
    std::vector<char> utf16;    // log file, UTF-16LE
    size_t text_used = 0;
    size_t utf16_used = 0;
    G_FILE* log = nullptr;
    G_PIPELINE* owner = nullptr;  // its console_mutex and diff_shown
    bool bare = false;            // no progress line on the screen

    static constexpr size_t capacity = 1 << 16;
    listing() : text(capacity + 1024), utf16(2 * capacity + 2048) {}

    // The "\n\n" that ends a progress line is decided when the text goes
    // out, under the lock the progress thread prints under: a line printed
    // while blocks were collected comes before all of them.
    void flush() {
        if (text_used) {
            std::lock_guard<std::mutex> lock(owner->console_mutex);
            if (!bare && !owner->diff_shown.load(std::memory_order_acquire)) std::fwrite("\n\n", 1, 2, stderr);
            std::fwrite(text.data(), 1, text_used, stderr);
            owner->diff_shown.store(true, std::memory_order_release);
            text_used = 0;
        }
        if (utf16_used) {
            // A failed write stays in the log's error_w; the listing goes on.
            if (log && log->is_open) log->write(utf16.data(), static_cast<u32>(utf16_used));
            utf16_used = 0;
        }
    }
    void add(const char* block, int length, bool to_log) {
        if (text_used + length > capacity) flush();
        std::memcpy(text.data() + text_used, block, static_cast<size_t>(length));
        text_used += static_cast<size_t>(length);
        if (to_log) {
            for (int i = 0; i < length; ++i) {
                utf16[utf16_used++] = block[i];
                utf16[utf16_used++] = 0;
            }
        }
    }
};
