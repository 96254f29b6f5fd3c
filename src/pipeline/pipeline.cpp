// The pipeline object, its events, and the ring set-up of the run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/G_APP.h"
#include "pipeline/G_PIPELINE.h"

bool G_EVENT::create() {
    signalled_ = false;
    is_open.store(true);
    return true;
}

void G_EVENT::set() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!signalled_) {
        signalled_ = true;
        cv_.notify_one();
    }
}

void G_EVENT::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return signalled_; });
    signalled_ = false;
}

bool G_EVENT::wait_for_ms(u32 ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    bool got = cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return signalled_; });
    signalled_ = false;
    return got;
}

G_PIPELINE::G_PIPELINE(G_CRYPT* hash, u64 index, G_FILE* file, G_FILE* file_unaligned, G_FILE* file_log, u8* slot0,
                       u64 page, u64 shift, bool compare_, bool peak_, bool bench_, bool verbose_, bool quiet_,
                       bool affinity, bool writer)
    : p_HASH(hash), hash_index(index) {
    for (G_EVENT* e : {&h_event_read, &h_event_comp, &h_event_text, &h_event_verify, &h_event_run}) e->create();
    for (G_HASH_WORKER& w : hash_workers) w.event.create();
    h_file = file;
    h_file_unaligned = file_unaligned;
    h_file_log = file_log;
    page_size = page;
    write_chunk = 524288;
    buffers_shift = shift;
    number_of_buffers = u64{1} << shift;
    buffers_mask = number_of_buffers - 1;

    pp_DATA = static_cast<u8**>(std::calloc(number_of_buffers, sizeof(*pp_DATA)));
    if (!pp_DATA) {
        std::fputs("pp_DATA = (uint8_t **)malloc(count * sizeof(*pp_DATA));  failed to allocate memory\n", stderr);
        std::exit(12);
    }
    p_read_count = static_cast<std::atomic<s64>*>(std::calloc(number_of_buffers, sizeof(*p_read_count)));
    if (!p_read_count) {
        std::fputs("p_read_count = (ssize_t *)malloc(count * sizeof(*p_read_count));  failed to allocate memory\n",
                   stderr);
        std::exit(12);
    }
    for (u64 i = 0; i < number_of_buffers; ++i) pp_DATA[i] = slot0 + i * page_size;

    is_primary = true;
    bench = bench_;
    quiet = quiet_;
    peak = peak_;
    compare = compare_;
    thread_affinity = affinity;
    is_writer = writer;
    verbose = bench_ || verbose_;
    has_log = h_file_log != nullptr;
    hashing = p_HASH && p_HASH->is_ready;
    progress = verbose || (compare_ && !quiet_);
    cpu_mask = os::active_processor_mask();
    cpu_first = cpu_next = 1;
    start_ms = now_ms();
}

G_PIPELINE::~G_PIPELINE() {
    if (pp_DATA) {
        std::memset(pp_DATA, 0, number_of_buffers * sizeof(*pp_DATA));
        std::free(pp_DATA);
    }
    if (p_read_count) {
        std::memset(static_cast<void*>(p_read_count), 0, number_of_buffers * sizeof(*p_read_count));
        std::free(p_read_count);
    }
    pp_DATA = nullptr;
    p_read_count = nullptr;
    auto reap = [](G_THREAD& t) {
        if (t.is_running) os::join_thread(t.handle);
        os::close_thread(t.handle);
        t.is_running = false;
    };
    for (G_THREAD* t : {&h_thread_read, &h_thread_comp, &h_thread_text, &h_thread_verify}) reap(*t);
    for (G_HASH_WORKER& w : hash_workers) reap(w.thread);
}

bool G_PIPELINE::failed() const {
    if (status.load() != 0) return true;
    return copy_short.load() || verify_failed.load();
}

// --- The ring's rules ---

int G_PIPELINE::add_consumer(G_EVENT* wake, const std::atomic<u64>* upstream) {
    if (consumer_count == max_consumers) return -1;
    G_CONSUMER& c = consumers[consumer_count];
    c.passed.store(0, std::memory_order_relaxed);
    c.wake = wake;
    c.upstream = upstream;
    c.active.store(true, std::memory_order_release);
    return consumer_count++;
}

bool G_PIPELINE::slot_free(u64 n) const {
    for (int i = 0; i < consumer_count; ++i) {
        const G_CONSUMER& c = consumers[i];
        if (!c.active.load(std::memory_order_acquire)) continue;
        if (n - c.passed.load(std::memory_order_acquire) >= number_of_buffers) return false;
    }
    return true;
}

bool G_PIPELINE::has_consumer() const {
    for (int i = 0; i < consumer_count; ++i)
        if (consumers[i].active.load(std::memory_order_acquire)) return true;
    return false;
}

void G_PIPELINE::publish(u64 n, s64 count) {
    p_read_count[n & buffers_mask].store(count, std::memory_order_release);
    n_read.store(n + 1, std::memory_order_release);
    last_count.store(count, std::memory_order_release);
    if (count != 0) n_filled.store(n + 1, std::memory_order_release);
    else reached_end.store(true, std::memory_order_release);
    for (int i = 0; i < consumer_count; ++i)
        if (consumers[i].upstream == &n_read && consumers[i].active.load(std::memory_order_acquire))
            consumers[i].wake->set();
}

void G_PIPELINE::release(int id, u64 passed) {
    G_CONSUMER& me = consumers[id];
    me.passed.store(passed, std::memory_order_release);
    h_event_read.set();  // the producer (a writer pipeline's thread has none waiting here)
    for (int i = 0; i < consumer_count; ++i)
        if (consumers[i].upstream == &me.passed) consumers[i].wake->set();
}

void G_PIPELINE::leave(int id) {
    if (id < 0) return;
    consumers[id].active.store(false, std::memory_order_release);
    wake_all();
}

bool G_PIPELINE::stopped() const {
    return status.load(std::memory_order_acquire) != 0 || ctrl_c_typed.load(std::memory_order_acquire);
}

void G_PIPELINE::stop(u32 code) {
    u32 expected = 0;
    status.compare_exchange_strong(expected, code, std::memory_order_acq_rel);
    if (p_peer) {
        expected = 0;
        p_peer->status.compare_exchange_strong(expected, 0xFFFFFFFFu, std::memory_order_acq_rel);
    }
    wake_all();
}

void G_PIPELINE::wake_own() {
    for (G_EVENT* e : {&h_event_read, &h_event_comp, &h_event_text, &h_event_verify, &h_event_run}) e->set();
    for (G_HASH_WORKER& w : hash_workers) w.event.set();
}

void G_PIPELINE::wake_all() {
    wake_own();
    if (p_peer) p_peer->wake_own();
}

// A worker's last act: it is gone, and the run thread may look.
void G_PIPELINE::finished(G_THREAD& t) {
    t.finished.store(true, std::memory_order_release);
    wake_all();
}

u64 progress_mb(u64 page, u64 filled) { return ((page >> 9) * filled) >> 11; }

u64 progress_rate(u64 mb, u64 elapsed_ms) { return elapsed_ms ? mb * 1000 / elapsed_ms : 0; }

u64 progress_lead(u64 own, u64 other, u64 ring) {
    if (own <= other) return 0;
    return own - other < ring ? own - other : ring;
}

u32 G_APP::setup_pipelines() {
    const bool print_info = !opt_quiet && (opt_verbose || opt_compare || opt_write);
    memory.print_info = print_info;

    const bool two_rings = !single_file && !opt_write;
    const u64 exponent = opt_normalize ? 6 : buffers_shift + (two_rings ? 1 : 0);
    const u64 ring_bytes = page_size << exponent;
    u64 units = ring_bytes / memory.large_page_size;
    if (units == 0) {
        units = 1;
        u64 q = memory.large_page_size / ring_bytes;
        u64 grow = 0;
        while ((u64{2} << grow) <= q) ++grow;
        if (q >= 2) buffers_shift += grow;
    }
    if (opt_write && opt_verify && !opt_normalize) {
        // A verified copy reads back into a slot and two units of its own,
        // after the ring.
        const u64 lp = memory.large_page_size;
        const u64 wanted = (page_size << buffers_shift) + page_size + 8192;
        if (units * lp < wanted) units = (wanted + lp - 1) / lp;
    }
    if (print_info) {
        const unsigned long long count = 1ull << buffers_shift;
        if (page_size >= 1048576)
            std::fprintf(stderr, ":: using %4llu MB blocks for file IO, count %llu\n",
                         static_cast<unsigned long long>(page_size >> 20), count);
        else if (page_size >= 1024)
            std::fprintf(stderr, ":: using %4llu KB blocks for file IO, count %llu\n",
                         static_cast<unsigned long long>(page_size >> 10), count);
        else
            std::fprintf(stderr, ":: using %4llu B blocks for file IO, count %llu\n",
                         static_cast<unsigned long long>(page_size), count);
    }

    if (memory.alloc(units) != 0) return 0xFFFFFFFFu;
    buffer = static_cast<u8*>(memory.address);
    if (opt_normalize) {
        norm_buffer = buffer;
        return 0;
    }

    pipeline1 = new G_PIPELINE(&crypt, 0, &hFileIn1, nullptr, &hFileLog, buffer, page_size, buffers_shift, opt_compare,
                               opt_peak, opt_bench, opt_verbose, opt_quiet, opt_thread_affinity, false);
    pipeline1->start_position = hFileIn1.get_file_pointer();
    if (single_file) return 0;
    if (opt_write) {
        pipeline2 = new G_PIPELINE(&crypt, 1, &hFileOut, &hFileOutUnaligned, &hFileLog, buffer, page_size,
                                   buffers_shift, false, false, opt_bench, opt_verbose, opt_quiet,
                                   opt_thread_affinity, true);
        pipeline2->start_position = hFileOut.get_file_pointer();
        if (opt_verify) {
            pipeline2->verify = true;
            pipeline2->h_file_verify = &hFileVerify;
            pipeline2->verify_buffer = buffer + (page_size << buffers_shift);
        }
    } else {
        pipeline2 = new G_PIPELINE(&crypt, 1, &hFileIn2, nullptr, &hFileLog, buffer + (page_size << buffers_shift),
                                   page_size, buffers_shift, opt_compare, opt_peak, opt_bench, opt_verbose, opt_quiet,
                                   opt_thread_affinity, false);
        pipeline2->start_position = hFileIn2.get_file_pointer();
    }
    pipeline1->p_peer = pipeline2;
    pipeline2->p_peer = pipeline1;
    return 0;
}
