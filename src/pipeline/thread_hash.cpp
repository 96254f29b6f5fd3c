// The hashing thread: digests each slot in place and measures the peak of
// 16-bit samples.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/report.h"
#include "hash/G_CRYPT.h"
#include "pipeline/G_PIPELINE.h"

namespace {
constexpr auto acq = std::memory_order_acquire;
constexpr auto rel = std::memory_order_release;
}  // namespace

// Largest magnitude among the samples, scanning from the last one and
// stopping at full scale. `m` is the level so far.
s32 scan_peak(const u8* data, s64 count, s32 m) {
    for (s64 k = count / 2; k >= 1; --k) {
        if (m >= 32767) break;
        s16 sample;
        std::memcpy(&sample, data + 2 * (k - 1), 2);
        s32 magnitude = sample < 0 ? -static_cast<s32>(sample) : sample;
        if (magnitude > m) m = magnitude;
    }
    return m;
}

u32 G_PIPELINE::thread_hash(G_HASH_WORKER& worker) {
    const int id = worker.consumer;
    const u32 algorithms = hashing ? p_HASH->alg_count : 0;
    const bool feeds_hash = worker.index < algorithms;
    const u64 context = hash_index * algorithms + worker.index;
    // The peak is measured by the first thread; alone it may stop early.
    const bool measures_peak = peak && worker.index == 0;
    for (;;) {
        const u64 nh = consumers[id].passed.load(std::memory_order_relaxed);
        while (n_read.load(acq) == nh && !done.load(acq) && !stopped()) worker.event.wait();
        if (stopped()) break;
        if (n_read.load(acq) == nh) break;  // the reader ended without more
        const u64 s = nh & buffers_mask;
        const s64 count = p_read_count[s].load(acq);
        if (count == 0) break;  // the end mark
        if (feeds_hash) {
            // In pieces, so that a slow algorithm (MD2: 9 MB/s) still sees
            // a stop within a few milliseconds.
            constexpr u64 piece = 262144;
            bool failed = false;
            for (u64 at = 0; at < static_cast<u64>(count) && !stopped(); at += piece) {
                const u64 n = std::min<u64>(piece, static_cast<u64>(count) - at);
                if (p_HASH->hash_data(context, pp_DATA[s] + at, n) != 0) {
                    failed = true;
                    break;
                }
            }
            if (failed) {
                std::fputs("p_HASH->hash_data failed\n", stderr);
                stop(0xFFFFFFFFu);
                break;
            }
            if (stopped()) break;
        }
        if (measures_peak) {
            s32 m = scan_peak(pp_DATA[s], count, peak_level.load(std::memory_order_relaxed));
            peak_level.store(m, rel);
            // Full scale: nothing more to learn. Only the peak stops here;
            // any other consumer of the input goes on.
            if (m >= 32767 && !feeds_hash) break;
        }
        release(id, nh + 1);
    }
    leave(id);
    return status.load();
}
