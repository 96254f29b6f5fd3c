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
#include "pipeline/listing.h"

namespace {
constexpr auto acq = std::memory_order_acquire;
constexpr auto rel = std::memory_order_release;

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
    const int mine = comp_consumer, theirs = peer->comp_consumer;

    for (;;) {
        const u64 nc = consumers[mine].passed.load(std::memory_order_relaxed);
        const u64 s = nc & buffers_mask;
        // Slot nc of each input, or that input's end.
        for (;;) {
            if (stopped()) goto end;
            const bool ready_a = n_read.load(acq) != nc || done.load(acq);
            const bool ready_b = peer->n_read.load(acq) != nc || peer->done.load(acq);
            if (ready_a && ready_b) break;
            out.flush();  // nothing of the listing waits while we sleep
            h_event_comp.wait();
        }
        const bool have_a = n_read.load(acq) != nc;
        const bool have_b = peer->n_read.load(acq) != nc;
        if (!have_a && !have_b) break;
        // An input that ended without its end mark was stopped: nothing to tell.
        if (stopped()) break;
        {
            const s64 a = have_a ? p_read_count[s].load(acq) : 0;
            const s64 b = have_b ? peer->p_read_count[s].load(acq) : 0;
            if (a != b) smaller_file.store(a < b ? 1 : 2, rel);
            const u64 common = static_cast<u64>(std::min(a, b));
            const u8* pa = pp_DATA[s];
            const u8* pb = peer->pp_DATA[s];
            const u64 base = nc * page_size;
            // The last partial word counts too.
            each_differing_word(pa, pb, common, [&](u64 w, u64 n) {
                int length = format_difference(block, sizeof block, base + w, pa + w, pb + w, n);
                out.add(block, length, out.log != nullptr);
                differs.store(true, rel);
                if (!ctrl_c_typed.load(acq) && !quiet) return true;
                compare.store(false, rel);
                peer->compare.store(false, rel);
                return false;
            });
            out.flush();
            if (have_a) release(mine, nc + 1);
            if (have_b) peer->release(theirs, nc + 1);
            // Past the end of either input there is nothing to compare.
            if (a == 0 || b == 0 || !have_a || !have_b) break;
        }
        if (!compare.load(acq)) break;
    }
end:
    out.flush();
    leave(mine);
    peer->leave(theirs);
    return status.load();
}
