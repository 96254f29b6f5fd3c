// The progress line, rewritten about every 100 ms.
#include <cstdio>
#include <mutex>

#include "app/report.h"
#include "pipeline/G_PIPELINE.h"

namespace {
constexpr auto acq = std::memory_order_acquire;
constexpr auto rel = std::memory_order_release;
}  // namespace

u32 G_PIPELINE::thread_text() {
    G_PIPELINE* const peer = p_peer;
    for (;;) {
        // Only reads the counters: each has its one writer elsewhere.
        if (!done.load(acq) && !(peer && peer->done.load(acq))) h_event_text.wait_for_ms(100);
        const u64 elapsed = static_cast<u64>(now_ms() - start_ms);
        if (elapsed != 0) {
            std::unique_lock<std::mutex> console(console_mutex);  // shared with the listing
            const u64 mb = progress_mb(page_size, n_filled.load(acq));
            if (peer) {
                // The partner first: a producer never trails what it feeds.
                const u64 other_read = peer->n_read.load(acq);
                const u64 own_read = n_read.load(acq);
                const u64 own = n_filled.load(acq), other = peer->n_filled.load(acq);
                const u64 rate = progress_rate(progress_mb(page_size, own < other ? own : other), elapsed);
                const long long lead = static_cast<long long>(progress_lead(own_read, other_read, number_of_buffers));
                std::fprintf(stderr, "\r[%6llu:%6llu][%3llu MB/s] [%4lli/%3llu] ", static_cast<unsigned long long>(mb),
                             static_cast<unsigned long long>(progress_mb(page_size, other)),
                             static_cast<unsigned long long>(rate), lead,
                             static_cast<unsigned long long>(number_of_buffers));
            } else {
                std::fprintf(stderr, "\r[%6llu][%3llu MB/s] ", static_cast<unsigned long long>(mb),
                             static_cast<unsigned long long>(progress_rate(mb, elapsed)));
            }
            diff_shown.store(false, rel);
            console.unlock();
            print_elapsed(elapsed);
        }
        if (ctrl_c_typed.load(acq) || done.load(acq) || (peer && peer->done.load(acq))) break;
    }
    return status.load();
}
