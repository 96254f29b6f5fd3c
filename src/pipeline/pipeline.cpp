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

void G_EVENT::retire() {
    // A last signal first, so that a thread that saw is_open and is about
    // to wait wakes at once; later waiters see it closed and do not sleep.
    is_open.store(false);
    set();
}

G_PIPELINE::G_PIPELINE(G_CRYPT* hash, u64 index, G_FILE* file, G_FILE* file_unaligned, G_FILE* file_log, u8* slot0,
                       u64 page, u64 shift, bool compare_, bool peak_, bool bench_, bool verbose_, bool quiet_,
                       bool affinity, bool writer)
    : p_HASH(hash), hash_index(index) {
    h_event_read.create();
    h_event_hash.create();
    h_event_comp.create();
    h_event_text.create();
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
    release_events();
    for (G_THREAD* t : {&h_thread_read, &h_thread_hash, &h_thread_comp, &h_thread_text}) {
        if (t->is_running) os::join_thread(t->handle);
        os::close_thread(t->handle);
        t->is_running = false;
    }
}

void G_PIPELINE::release_events() {
    for (G_EVENT* e : {&h_event_text, &h_event_comp, &h_event_hash, &h_event_read})
        if (e->is_open.load()) e->retire();
}

bool G_PIPELINE::failed() const {
    const u32 st = status.load();
    if (st == 0) return copy_short.load();
    // A full-scale peak ends a peak-only measurement early: not a failure.
    if (!is_writer && peak && !hashing && (st == 32767 || st == 32768)) return false;
    return true;
}

u64 progress_mb(u64 page, u64 filled) { return ((page >> 9) * filled) >> 11; }

u64 progress_rate(u64 mb, u64 elapsed_ms) { return elapsed_ms ? mb * 1000 / elapsed_ms : 0; }

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
