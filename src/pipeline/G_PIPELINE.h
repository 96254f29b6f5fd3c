#pragma once
// Per-input pipeline: a ring of slots cut from the run's buffer block and the
// threads that hand the slots on without copying them.
//
// Hand-over: the reading thread is the ring's one producer and publishes
// slots by advancing n_read. Every consumer of the ring (each hashing
// thread, the comparing thread, the writing thread, the verifying thread)
// has its own record in `consumers`, whose counter it alone advances once it
// is done with a slot. A slot may be filled again once every active
// consumer's counter has passed it; the producer knows no consumer by name.
// Work on a slot is finished before the counter that gives it on is stored
// (release), and a counter is read before the slot (acquire).
//
// Waking: every thread sleeps only on its own auto-reset event and checks
// its conditions again after each wake. A producer wakes its consumers after
// a publish; a consumer wakes its producer, and the consumers that follow it,
// after a release. A thread that ends, for any reason, first records that
// (done, its consumer record inactive, or the stop status) and then wakes
// every thread of both pipelines, so that no partner sleeps on a thread that
// is gone.
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "os/thread.h"
#include "os/types.h"

class G_FILE;
class G_CRYPT;

struct G_THREAD {
    u64 stack_size = 0;
    u32 creation_flags = 0;
    void* security = nullptr;
    os::thread handle{};
    u32 id = 0;
    bool is_running = false;
    std::atomic<bool> finished{false};  // its body has returned; set last
};

// Auto-reset event: a signal given while nobody waits stays set until the
// next wait takes it. Lives as long as its pipeline.
class G_EVENT {
public:
    std::atomic<bool> is_open{false};

    bool create();
    void set();
    void wait();
    bool wait_for_ms(u32 ms);  // true when signalled

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

// One consumer of a ring. `passed` counts the slots it has released and has
// one writer, the consumer. `upstream` is the counter it takes slots after:
// the producer's n_read, or the counter of the consumer whose work must come
// first (the verifying thread follows the writing thread). `active` is false
// once it needs no more slots; the producer then no longer waits for it.
struct G_CONSUMER {
    std::atomic<u64> passed{0};
    std::atomic<bool> active{false};
    G_EVENT* wake = nullptr;
    const std::atomic<u64>* upstream = nullptr;
};

class G_PIPELINE;

// The hashing threads of a pipeline: thread k feeds algorithm k of the hash
// set (and, for k = 0, measures the peak).
struct G_HASH_WORKER {
    G_PIPELINE* pipeline = nullptr;
    u32 index = 0;
    int consumer = -1;
    G_THREAD thread;
    G_EVENT event;
};

class G_PIPELINE {
public:
    static constexpr int max_hash_threads = 8;
    static constexpr int max_consumers = max_hash_threads + 3;

    G_PIPELINE* p_peer = nullptr;
    G_FILE* h_file = nullptr;
    G_FILE* h_file_unaligned = nullptr;
    G_FILE* h_file_log = nullptr;
    G_FILE* h_file_verify = nullptr;  // writer only: direct reads of the target
    u8* verify_buffer = nullptr;      // writer only: a slot and two units, aligned
    G_THREAD h_thread_read;
    G_THREAD h_thread_comp;
    G_THREAD h_thread_text;
    G_THREAD h_thread_verify;
    G_EVENT h_event_read;
    G_EVENT h_event_comp;
    G_EVENT h_event_text;
    G_EVENT h_event_verify;
    G_EVENT h_event_run;  // primary: a worker of either pipeline has finished
    G_HASH_WORKER hash_workers[max_hash_threads];
    u32 hash_threads = 0;
    s64 file_size = 0;
    s64 bytes_left = 0;
    u8** pp_DATA = nullptr;
    std::atomic<s64>* p_read_count = nullptr;
    u64 page_size = 0;
    u64 write_chunk = 524288;
    u64 buffers_shift = 0;
    u64 number_of_buffers = 0;
    u64 buffers_mask = 0;

    // The ring's consumers. Set up before the threads start, then each
    // record's counter and flag have the one writer named above.
    G_CONSUMER consumers[max_consumers];
    int consumer_count = 0;
    int comp_consumer = -1;    // the comparing thread's record on this ring
    int write_consumer = -1;   // source ring: the writing thread's record
    int verify_consumer = -1;  // source ring: the verifying thread's record

    std::atomic<u64> n_read{0};    // slots published (writer pipeline: slots written)
    std::atomic<s64> last_count{0};
    std::atomic<u64> n_filled{0};  // n_read after the last slot with data; one writer
    bool is_primary = true;
    bool bench = false;
    bool verbose = false;
    bool quiet = false;
    bool has_log = false;
    bool hashing = false;
    bool peak = false;
    bool verify = false;  // writer only: the target is read back and compared
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

    // Writer only, the verifying thread's findings.
    std::atomic<u64> verified_bytes{0};
    std::atomic<u64> differing_bytes{0};
    std::atomic<bool> verify_failed{false};

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
    u32 thread_hash(G_HASH_WORKER& worker);
    u32 thread_comp();
    u32 thread_text();
    u32 thread_verify();

    // The ring's rules, in one place.
    int add_consumer(G_EVENT* wake, const std::atomic<u64>* upstream);
    bool slot_free(u64 n) const;       // slot n may be filled: every active consumer passed n - ring
    bool has_consumer() const;         // some consumer still takes slots
    void publish(u64 n, s64 count);    // producer: slot n holds count bytes (0: the end mark)
    void release(int id, u64 passed);  // consumer id is done with every slot below `passed`
    void leave(int id);                // consumer id takes no more slots
    bool stopped() const;              // the run is to end: a failure or Ctrl+C
    void stop(u32 code);               // ends the run: this pipeline's status, the peer's, wakes all
    void wake_all();                   // every thread of both pipelines checks its conditions

    G_PIPELINE* primary() { return is_primary ? this : p_peer; }
    // Whether the run ended with its job done, for the exit status.
    bool failed() const;

private:
    void wake_own();
    void finished(G_THREAD& t);
    bool clamp_to_end_ = false;
    s64 read_slot(u8* data, u64 size);
    friend u32 th_read_bootstrap(void*);
    friend u32 th_write_bootstrap(void*);
    friend u32 th_hash_bootstrap(void*);
    friend u32 th_comp_bootstrap(void*);
    friend u32 th_text_bootstrap(void*);
    friend u32 th_verify_bootstrap(void*);
};

u32 th_read_bootstrap(void* p);
u32 th_write_bootstrap(void* p);
u32 th_hash_bootstrap(void* p);
u32 th_comp_bootstrap(void* p);
u32 th_text_bootstrap(void* p);
u32 th_verify_bootstrap(void* p);

// Peak magnitude of the 16-bit samples of a slot, from the last sample,
// stopping at full scale; `level` is the peak so far.
s32 scan_peak(const u8* data, s64 count, s32 level);

// One difference block for the word at `offset`: `n` bytes of each input
// (8, or fewer for the last bytes of the common length).
int format_difference(char* block, size_t size, u64 offset, const u8* a, const u8* b, size_t n);

// Progress figures, in whole slots (MB = 2^20 bytes).
u64 progress_mb(u64 page_size, u64 n_filled);
u64 progress_rate(u64 mb, u64 elapsed_ms);
// Slots by which a producer is ahead of its partner, as shown: never below 0
// nor above the ring (the two counters are read at slightly different times).
u64 progress_lead(u64 own, u64 other, u64 number_of_buffers);
