// The hashing thread: digests each slot in place and measures the peak of
// 16-bit samples.
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

u32 G_PIPELINE::thread_hash() {
    for (;;) {
        const u64 nh = n_hashed.load(std::memory_order_relaxed);
        const u64 s = nh & buffers_mask;
        while (n_read.load(acq) == nh) {
            if (status.load(acq) != 0 || ctrl_c_typed.load(acq) || done.load(acq)) break;
            if (h_event_read.is_open.load(acq)) h_event_read.set();
            if (h_event_hash.is_open.load(acq)) h_event_hash.wait();
        }
        if (status.load(acq) != 0 || ctrl_c_typed.load(acq)) break;
        if (n_read.load(acq) == nh) break;  // done, and nothing left
        const s64 count = p_read_count[s].load(acq);
        if (count == 0) break;  // the end mark
        if (hashing && p_HASH->hash_data(hash_index, pp_DATA[s], static_cast<u64>(count)) != 0) {
            status.store(0xFFFFFFFFu, rel);
            std::fputs("p_HASH->hash_data failed\n", stderr);
            break;
        }
        if (peak) {
            s32 m = scan_peak(pp_DATA[s], count, peak_level.load(std::memory_order_relaxed));
            peak_level.store(m, rel);
            if (m >= 32767 && !hashing) {
                status.store(static_cast<u32>(m), rel);  // full scale: nothing more to learn
                break;
            }
        }
        n_hashed.store(nh + 1, rel);
        if (h_event_read.is_open.load(acq)) h_event_read.set();
    }
    if (h_event_read.is_open.load(acq)) h_event_read.set();
    return status.load();
}
