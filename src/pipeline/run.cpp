// Starting, pinning and joining the worker threads.
#include <cstdio>

#include "app/report.h"
#include "pipeline/G_PIPELINE.h"

u32 th_read_bootstrap(void* p) {
    static_cast<G_PIPELINE*>(p)->thread_read();
    return 0;
}
u32 th_write_bootstrap(void* p) {
    static_cast<G_PIPELINE*>(p)->thread_write();
    return 0;
}
u32 th_hash_bootstrap(void* p) {
    static_cast<G_PIPELINE*>(p)->thread_hash();
    return 0;
}
u32 th_comp_bootstrap(void* p) {
    static_cast<G_PIPELINE*>(p)->thread_comp();
    return 0;
}
u32 th_text_bootstrap(void* p) {
    static_cast<G_PIPELINE*>(p)->thread_text();
    return 0;
}

bool G_PIPELINE::run() {
    compare = compare.load() && p_peer != nullptr;
    if (is_writer) peak = hashing = false, compare = false;
    if (is_writer && p_peer) {
        p_peer->feeds_writer = true;
        p_peer->progress = p_peer->progress || !p_peer->quiet;
    }
    peak_level = 0;
    status = 0;
    p_read_count[0].store(1);
    if (!is_primary) {
        cpu_next = cpu_first;
        return false;
    }
    cpu_first = compute_cpu_first();
    cpu_next = cpu_first;
    const char* header;
    if (p_peer) {
        p_peer->is_primary = false;
        p_peer->verbose = false;
        p_peer->run();
        p_peer->start_threads();
        header = "%s[    MB:    MB][ average] [ buffers] time\n";
    } else {
        header = "%s[    MB][ average] time\n";
    }
    if (progress) std::fprintf(stderr, header, quiet ? "" : "\n");
    start_threads();
    join_threads();
    if (p_peer) p_peer->join_threads();
    if (progress) thread_text();
    return true;
}

u32 G_PIPELINE::start_threads() {
    n_filled = 0;
    last_count = 0;
    n_read = 0;
    n_hashed = 0;
    n_compared = 0;

    auto create = [this](G_THREAD& t, os::thread_entry entry, const char* text) -> u32 {
        t.stack_size = 65536;
        t.creation_flags |= 0x10000;  // reserve the stack, don't commit it
        u32 code = os::create_thread(t.handle, entry, this, t.stack_size);
        if (code != 0) {
            print_error(stderr, text, code);
            // Without this thread the others must still come to an end.
            status = code;
            return code;
        }
        t.id = t.handle.id;
        t.is_running = true;
        pin_thread(t);
        return 0;
    };

    if (u32 code = create(h_thread_read, is_writer ? th_write_bootstrap : th_read_bootstrap,
                          "h_thread_read = CreateThread(th_read_bootstrap)")) {
        done = true;
        if (p_peer) p_peer->h_event_read.set();
        return code;
    }
    if (!bench) {
        if (hashing || peak)
            if (u32 code = create(h_thread_hash, th_hash_bootstrap, "h_thread_hash = CreateThread(th_hash_bootstrap)"))
                return code;
        if (!is_primary) return 0;
        if (compare.load())
            if (u32 code = create(h_thread_comp, th_comp_bootstrap, "h_thread_comp = CreateThread(th_comp_bootstrap)"))
                return code;
    }
    if (is_primary && progress)
        if (u32 code = create(h_thread_text, th_text_bootstrap, "h_thread_text = CreateThread(th_text_bootstrap)"))
            return code;
    return 0;
}

void G_PIPELINE::join_threads() {
    for (G_THREAD* t : {&h_thread_read, &h_thread_hash, &h_thread_comp, &h_thread_text})
        if (t->is_running) os::join_thread(t->handle);
    // The comparing thread serves both pipelines: it has ended before the
    // second pipeline's events are retired.
    if (!is_primary && p_peer && p_peer->h_thread_comp.is_running) os::join_thread(p_peer->h_thread_comp.handle);
    for (G_THREAD* t : {&h_thread_read, &h_thread_hash, &h_thread_comp, &h_thread_text}) {
        if (t->is_running) {
            os::close_thread(t->handle);
            *t = G_THREAD{};
        }
    }
    // Retired only: the objects live until the pipeline is destroyed, after
    // both pipelines have been joined.
    release_events();
}

u64 G_PIPELINE::compute_cpu_first() const {
    u64 bit = 1;
    if (cpu_mask & 1) {
        while (bit != 0 && (cpu_mask & bit)) bit <<= 1;
    } else {
        return 0;
    }
    if (bit != 0) bit >>= 1;
    return bit;
}

void G_PIPELINE::pin_thread(G_THREAD& t) {
    if (!thread_affinity) return;
    if (t.is_running) os::set_thread_affinity(t.handle, cpu_next);
    auto inactive = [this](u64 b) { return b != 0 && !(cpu_mask & b); };
    if (is_primary) {
        if (cpu_next == 1) {
            cpu_next = cpu_first;
        } else {
            cpu_next >>= 2;
            while (inactive(cpu_next)) cpu_next >>= 2;
            if (cpu_next == 0) {
                cpu_next = cpu_first >> 1;
                while (inactive(cpu_next)) cpu_next >>= 1;
            }
        }
    } else {
        const u64 primary_first = p_peer ? p_peer->cpu_first : 0;
        if (cpu_next == primary_first) {
            cpu_next = cpu_first;
        } else {
            cpu_next <<= 2;
            while (inactive(cpu_next)) cpu_next <<= 2;
            if (cpu_next == 0) {
                cpu_next = cpu_first << 1;
                while (inactive(cpu_next)) cpu_next <<= 1;
            }
        }
    }
    if (cpu_next == 0) cpu_next = cpu_first;
}
