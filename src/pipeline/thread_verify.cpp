// The verifying thread: reads back from the target, through its own direct
// handle, what the writing thread has written of each slot, and compares it
// with the slot before the slot may be filled again.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/report.h"
#include "io/G_FILE.h"
#include "pipeline/G_PIPELINE.h"
#include "pipeline/listing.h"

namespace {
constexpr auto acq = std::memory_order_acquire;
constexpr auto rel = std::memory_order_release;
constexpr u64 unit = 4096;  // direct reads start and end on this boundary
}  // namespace

u32 G_PIPELINE::thread_verify() {
    G_PIPELINE* const src = p_peer;
    const int id = src->verify_consumer;
    const G_CONSUMER& writer = src->consumers[src->write_consumer];
    listing out;
    out.log = has_log ? h_file_log : nullptr;
    out.owner = src;  // the progress line's lock
    out.bare = quiet && !verbose;
    char block[512];
    u64 verified = 0, differing = 0;

    for (;;) {
        const u64 nv = src->consumers[id].passed.load(std::memory_order_relaxed);
        // Only what the writer has finished with.
        while (writer.passed.load(acq) == nv && writer.active.load(acq) && !stopped()) {
            out.flush();
            h_event_verify.wait();
        }
        if (stopped()) break;
        if (writer.passed.load(acq) == nv) break;  // the writer has ended
        const u64 s = nv & buffers_mask;
        const u64 count = static_cast<u64>(src->p_read_count[s].load(acq));
        if (count == 0) break;
        // Every slot but the last is full, so slot nv starts here.
        const u64 at = static_cast<u64>(start_position) + nv * page_size;
        const u64 first = at & ~(unit - 1);
        const u64 length = ((at + count + unit - 1) & ~(unit - 1)) - first;
        u64 got = 0;
        if (h_file_verify->seek(static_cast<s64>(first), os::file_begin) < 0 && h_file_verify->error_r != 0) {
            print_error(stderr, "\nh_file_verify->seek()", h_file_verify->error_r);
            verify_failed.store(true, rel);
            stop(h_file_verify->error_r);
            break;
        }
        // Only the slot's bytes are needed: the rest of its last unit may be
        // still in writing, and a read that ended short at the file's end
        // cannot go on from there (a direct read starts on a unit).
        const u64 needed = (at - first) + count;
        while (got < needed && (got & (unit - 1)) == 0) {
            s64 r = h_file_verify->read(verify_buffer + got, static_cast<u32>(length - got));
            if (r < 0) {
                if (!ctrl_c_typed.load(acq)) print_error(stderr, "\nh_file_verify->read()", h_file_verify->error_r);
                verify_failed.store(true, rel);
                stop(h_file_verify->error_r);
                goto end;
            }
            if (r == 0) break;
            got += static_cast<u64>(r);
        }
        {
            const u8* a = src->pp_DATA[s];
            const u8* b = verify_buffer + (at - first);
            const u64 have = got > at - first ? std::min<u64>(got - (at - first), count) : 0;
            differing += count - have;  // bytes the target does not hold at all
            each_differing_word(a, b, have, [&](u64 w, u64 n) {
                for (u64 k = 0; k < n; ++k) differing += a[w + k] != b[w + k];
                int text = format_difference(block, sizeof block, at + w, a + w, b + w, n);
                out.add(block, text, out.log != nullptr);
                return true;
            });
            verified += count;
            verified_bytes.store(verified, rel);
            differing_bytes.store(differing, rel);
        }
        out.flush();
        src->release(id, nv + 1);
    }
end:
    out.flush();
    src->leave(id);
    return status.load();
}
