#pragma once
// Per-input pipeline: a ring of slots cut from the run's buffer block and the
// threads that hand the slots on without copying them.
//
// Hand-over: three counters (n_read, n_hashed, n_compared), each with one
// writing thread; counter n stands for slot n & buffers_mask. A thread
// finishes its work on a slot before it advances the counter that gives the
// slot on (release store), and reads a counter before the slot (acquire
// load). Auto-reset events wake sleepers; every waiter re-checks its
// conditions after a wake, and a consumer wakes its producer before it
// sleeps, so no wake-up is lost and no two partners sleep at once.
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "os/thread.h"

class G_FILE;
class G_CRYPT;

struct G_THREAD {
    u64 stack_size = 0;
    u32 creation_flags = 0;
    void* security = nullptr;
    os::thread handle{};
    u32 id = 0;
    bool is_running = false;
};

// Auto-reset event: a signal given while nobody waits stays set until the
// next wait takes it. retire() gives a last signal and closes it for new
// waits; the object itself lives as long as its pipeline.
class G_EVENT {
public:
    std::atomic<bool> is_open{false};

    bool create();
    void set();
    void wait();
    bool wait_for_ms(u32 ms);  // true when signalled
    void retire();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

class G_PIPELINE {
public:
    G_PIPELINE* p_peer = nullptr;
    G_FILE* h_file = nullptr;
    G_FILE* h_file_unaligned = nullptr;
    G_FILE* h_file_log = nullptr;
    G_THREAD h_thread_read;
    G_THREAD h_thread_hash;
    G_THREAD h_thread_comp;
    G_THREAD h_thread_text;
    G_EVENT h_event_read;
    G_EVENT h_event_hash;
    G_EVENT h_event_comp;
    G_EVENT h_event_text;
    s64 file_size = 0;
    s64 bytes_left = 0;
    u8** pp_DATA = nullptr;
    std::atomic<s64>* p_read_count = nullptr;
    u64 page_size = 0;
    u64 write_chunk = 524288;
    u64 buffers_shift = 0;
    u64 number_of_buffers = 0;
    u64 buffers_mask = 0;
    std::atomic<u64> n_compared{0};
    std::atomic<u64> n_hashed{0};
    std::atomic<u64> n_read{0};
    std::atomic<s64> last_count{0};
    std::atomic<u64> n_filled{0};
    bool is_primary = true;
    bool bench = false;
    bool verbose = false;
    bool quiet = false;
    bool has_log = false;
    bool hashing = false;
    bool peak = false;
    std::atomic<bool> compare{false};
    bool progress = false;
    std::atomic<bool> differs{false};
    std::atomic<bool> diff_shown{false};
    bool thread_affinity = false;
    std::atomic<bool> feeds_writer{false};
    bool is_writer = false;
    std::atomic<bool> done{false};
    G_CRYPT* p_HASH = nullptr;
    u64 hash_index = 0;
    u64 cpu_mask = 0;
    u64 cpu_first = 0;
    u64 cpu_next = 0;
    std::atomic<s32> peak_level{0};
    std::atomic<u64> smaller_file{0};
    std::atomic<u32> status{0};
    s64 start_ms = 0;

    // What the run recorded, for the exit status.
    std::atomic<u64> bad_blocks{0};       // unreadable blocks replaced by 0xAD
    std::atomic<bool> reached_end{false}; // reader published its end mark
    std::atomic<bool> copy_short{false};  // writer stopped before the source's end
    s64 start_position = 0;               // where h_file stood when the run began
    bool stream_target = false;           // writer onto a standard stream: never sought or cut

    // The progress line and the difference listing share standard error:
    // each is written whole under this lock, diff_shown with it.
    std::mutex console_mutex;

    // Cutting a copy target at an unreadable block: the reader asks, and the
    // cut is made by whichever of reader and writer comes last, so that no
    // write of the writer lands after it.
    std::mutex cut_mutex;
    bool cut_requested = false;
    bool writer_finished = false;
    s64 cut_at = 0;
    void request_cut(s64 position);  // on the writer pipeline, by the reader

    G_PIPELINE(G_CRYPT* p_HASH, u64 hash_index, G_FILE* h_file, G_FILE* h_file_unaligned,
               G_FILE* h_file_log, u8* slot0, u64 page_size, u64 buffers_shift, bool compare,
               bool peak, bool bench, bool verbose, bool quiet, bool thread_affinity,
               bool is_writer);
    ~G_PIPELINE();
    G_PIPELINE(const G_PIPELINE&) = delete;
    G_PIPELINE& operator=(const G_PIPELINE&) = delete;

    bool run();
    u32 start_threads();
    void join_threads();
    void pin_thread(G_THREAD& t);
    u64 compute_cpu_first() const;

    u32 thread_read();
    u32 thread_write();
    u32 thread_hash();
    u32 thread_comp();
    u32 thread_text();

    G_PIPELINE* primary() { return is_primary ? this : p_peer; }
    // Whether the run ended with its job done, for the exit status.
    bool failed() const;

private:
    void release_events();
    bool peer_rules() const;
    bool clamp_to_end_ = false;
    s64 read_slot(u8* data, u64 size);
};

u32 th_read_bootstrap(void* p);
u32 th_write_bootstrap(void* p);
u32 th_hash_bootstrap(void* p);
u32 th_comp_bootstrap(void* p);
u32 th_text_bootstrap(void* p);

// Peak magnitude of the 16-bit samples of a slot, from the last sample,
// stopping at full scale; `level` is the peak so far.
s32 scan_peak(const u8* data, s64 count, s32 level);

// One difference block for the word at `offset`: `n` bytes of each input
// (8, or fewer for the last bytes of the common length).
int format_difference(char* block, size_t size, u64 offset, const u8* a, const u8* b, size_t n);

// Progress figures, in whole slots (MB = 2^20 bytes).
u64 progress_mb(u64 page_size, u64 n_filled);
u64 progress_rate(u64 mb, u64 elapsed_ms);
