// The comparing thread: slot n of the first ring against slot n of the
// second, in 8-byte words, listing every word that differs.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "app/report.h"
#include "io/G_FILE.h"
#include "pipeline/G_PIPELINE.h"

namespace {
constexpr auto acq = std::memory_order_acquire;
constexpr auto rel = std::memory_order_release;

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
            if (!bare && !owner->diff_shown.load(acq)) std::fwrite("\n\n", 1, 2, stderr);
            std::fwrite(text.data(), 1, text_used, stderr);
            owner->diff_shown.store(true, rel);
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

// Two hex digits per byte, blanks for a byte beyond the common length.
void word_text(char* out, const u8* w, size_t n) {
    static const char hex[] = "0123456789abcdef";
    int o = 0;
    for (size_t i = 0; i < 8; ++i) {
        if (i == 2 || i == 4 || i == 6) out[o++] = ' ';
        if (i < n) {
            out[o++] = hex[w[i] >> 4];
            out[o++] = hex[w[i] & 15];
        } else {
            out[o++] = ' ';
            out[o++] = ' ';
        }
    }
    out[o] = '\0';
}
}  // namespace

namespace {
// "%08llx": at least 8 lower-case digits, more when the offset needs them.
int offset_text(char* out, u64 offset) {
    static const char hex[] = "0123456789abcdef";
    int digits = 8;
    while (digits < 16 && (offset >> (4 * digits)) != 0) ++digits;
    for (int i = digits - 1; i >= 0; --i, offset >>= 4) out[i] = hex[offset & 15];
    return digits;
}

int line_text(char* out, u64 offset, const u8* w, size_t n) {
    int o = offset_text(out, offset);
    out[o++] = ':';
    out[o++] = '[';
    word_text(out + o, w, n);
    o += 19;
    out[o++] = ']';
    out[o++] = '\n';
    return o;
}
}  // namespace

// Formatted by hand: a listing of millions of blocks runs at output speed.
int format_difference(char* block, size_t size, u64 offset, const u8* a, const u8* b, size_t n) {
    if (size < 2 * (16 + 2 + 19 + 2) + 2) return 0;
    int o = line_text(block, offset, a, n);
    o += line_text(block + o, offset, b, n);
    block[o++] = '\n';
    block[o] = '\0';
    return o;
}

u32 G_PIPELINE::thread_comp() {
    G_PIPELINE* const peer = p_peer;
    listing out;
    out.log = has_log ? h_file_log : nullptr;
    out.owner = this;
    out.bare = quiet && !verbose;
    char block[512];

    auto wake_readers = [&] {
        if (h_event_read.is_open.load(acq)) h_event_read.set();
        if (peer->h_event_read.is_open.load(acq)) peer->h_event_read.set();
    };

    for (;;) {
        const u64 nc = n_compared.load(std::memory_order_relaxed);
        const u64 s = nc & buffers_mask;
        for (;;) {
            if (n_read.load(acq) != nc && peer->n_read.load(acq) != nc) break;
            if (status.load(acq) != 0 || ctrl_c_typed.load(acq) || (done.load(acq) && peer->done.load(acq))) break;
            out.flush();  // nothing of the listing waits while we sleep
            wake_readers();
            if (h_event_comp.is_open.load(acq)) h_event_comp.wait();
        }
        const bool have_a = n_read.load(acq) != nc;
        const bool have_b = peer->n_read.load(acq) != nc;
        // An input that has ended has no bytes in this slot; one that has
        // merely not delivered yet tells nothing about the lengths.
        if ((have_a || done.load(acq)) && (have_b || peer->done.load(acq)) && (have_a || have_b)) {
            const s64 a = have_a ? p_read_count[s].load(acq) : 0;
            const s64 b = have_b ? peer->p_read_count[s].load(acq) : 0;
            if (a != b) smaller_file.store(a < b ? 1 : 2, rel);
        }
        if (status.load(acq) != 0 || ctrl_c_typed.load(acq) ||
            (done.load(acq) && peer->done.load(acq) && (!have_a || !have_b)))
            break;

        const s64 a = p_read_count[s].load(acq);
        const s64 b = peer->p_read_count[s].load(acq);
        const u64 common = static_cast<u64>(std::min(a, b));
        const u8* pa = pp_DATA[s];
        const u8* pb = peer->pp_DATA[s];
        const u64 base = nc * page_size;
        bool stop = false;
        // Runs of equal bytes are skipped at memory speed; differing runs
        // are walked word by word. The last partial word counts too.
        constexpr u64 run = 4096;
        for (u64 at = 0; at < common && !stop; at += run) {
            const u64 len = std::min(run, common - at);
            if (std::memcmp(pa + at, pb + at, len) == 0) continue;
            for (u64 w = at; w < at + len && !stop; w += 8) {
                const u64 n = std::min<u64>(8, common - w);
                if (std::memcmp(pa + w, pb + w, n) == 0) continue;
                int length = format_difference(block, sizeof block, base + w, pa + w, pb + w, n);
                out.add(block, length, out.log != nullptr);
                differs.store(true, rel);
                if (ctrl_c_typed.load(acq) || quiet) {
                    compare.store(false, rel);
                    peer->compare.store(false, rel);
                    stop = true;
                }
            }
        }
        out.flush();
        n_compared.store(nc + 1, rel);
        peer->n_compared.store(nc + 1, rel);
        wake_readers();
        if (!compare.load(acq)) break;
    }
    out.flush();
    wake_readers();
    return status.load();
}
