// Starting, pinning and joining the worker threads.
#include <cstdio>

#include "app/report.h"
#include "hash/G_CRYPT.h"
#include "pipeline/G_PIPELINE.h"

u32 th_read_bootstrap(void* p) {
    auto* pipe = static_cast<G_PIPELINE*>(p);
    pipe->thread_read();
    pipe->finished(pipe->h_thread_read);
    return 0;
}
u32 th_write_bootstrap(void* p) {
    auto* pipe = static_cast<G_PIPELINE*>(p);
    pipe->thread_write();
    pipe->finished(pipe->h_thread_read);
    return 0;
}
u32 th_hash_bootstrap(void* p) {
    auto* w = static_cast<G_HASH_WORKER*>(p);
    w->pipeline->thread_hash(*w);
    w->pipeline->finished(w->thread);
    return 0;
}
u32 th_comp_bootstrap(void* p) {
    auto* pipe = static_cast<G_PIPELINE*>(p);
    pipe->thread_comp();
    pipe->finished(pipe->h_thread_comp);
    return 0;
}
u32 th_text_bootstrap(void* p) {
    auto* pipe = static_cast<G_PIPELINE*>(p);
    pipe->thread_text();
    pipe->finished(pipe->h_thread_text);
    return 0;
}
u32 th_verify_bootstrap(void* p) {
    auto* pipe = static_cast<G_PIPELINE*>(p);
    pipe->thread_verify();
    pipe->finished(pipe->h_thread_verify);
    return 0;
}

namespace {
// Every worker record of a pipeline, hashing threads included.
template <typename F>
void each_thread(G_PIPELINE& p, F f) {
    for (G_THREAD* t : {&p.h_thread_read, &p.h_thread_comp, &p.h_thread_text, &p.h_thread_verify}) f(*t);
    for (G_HASH_WORKER& w : p.hash_workers) f(w.thread);
}

bool all_finished(G_PIPELINE& p) {
    bool all = true;
    each_thread(p, [&](G_THREAD& t) {
        if (t.is_running && !t.finished.load(std::memory_order_acquire)) all = false;
    });
    return all;
}
}  // namespace

// The consumers of both rings, before any thread starts.
static void set_up_consumers(G_PIPELINE& first, G_PIPELINE* second) {
    auto hashers = [](G_PIPELINE& p) {
        if (p.bench || !(p.hashing || p.peak)) return;
        u32 count = p.hashing ? p.p_HASH->alg_count : 1;
        if (count == 0) count = 1;
        if (count > G_PIPELINE::max_hash_threads) count = G_PIPELINE::max_hash_threads;
        p.hash_threads = count;
        for (u32 k = 0; k < count; ++k) {
            G_HASH_WORKER& w = p.hash_workers[k];
            w.pipeline = &p;
            w.index = k;
            w.consumer = p.add_consumer(&w.event, &p.n_read);
        }
    };
    hashers(first);
    if (!second) return;
    if (second->is_writer) {
        // The writer takes the source's slots; the verifier follows it, also
        // under the bench switch: a copy asked to be verified is verified.
        first.write_consumer = first.add_consumer(&second->h_event_read, &first.n_read);
        if (second->verify)
            first.verify_consumer = first.add_consumer(&second->h_event_verify,
                                                       &first.consumers[first.write_consumer].passed);
        return;
    }
    hashers(*second);
    if (first.compare.load() && !first.bench) {
        first.comp_consumer = first.add_consumer(&first.h_event_comp, &first.n_read);
        second->comp_consumer = second->add_consumer(&first.h_event_comp, &second->n_read);
    }
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
        header = "%s[    MB:    MB][ average] [ buffers] time\n";
    } else {
        header = "%s[    MB][ average] time\n";
    }
    set_up_consumers(*this, p_peer);
    if (p_peer) p_peer->start_threads();
    if (progress) std::fprintf(stderr, header, quiet ? "" : "\n");
    start_threads();

    // Wait for every worker of both pipelines. After Ctrl+C the workers are
    // woken, and a thread blocked in a read or write of a pipe or terminal
    // is interrupted, again and again until it has ended.
    for (;;) {
        if (all_finished(*this) && (!p_peer || all_finished(*p_peer))) break;
        if (ctrl_c_typed.load(std::memory_order_acquire)) {
            for (G_PIPELINE* p : {this, p_peer}) {
                if (!p) continue;
                each_thread(*p, [](G_THREAD& t) {
                    if (t.is_running && !t.finished.load(std::memory_order_acquire)) os::interrupt_io(t.handle);
                });
            }
            wake_all();
            h_event_run.wait_for_ms(20);
        } else {
            h_event_run.wait_for_ms(100);
        }
    }
    join_threads();
    if (p_peer) p_peer->join_threads();
    if (progress) thread_text();
    return true;
}

u32 G_PIPELINE::start_threads() {
    n_read = 0;
    n_filled = 0;
    last_count = 0;

    auto create = [this](G_THREAD& t, os::thread_entry entry, void* arg, const char* text) -> u32 {
        t.stack_size = 65536;
        t.creation_flags |= 0x10000;  // reserve the stack, don't commit it
        t.finished.store(false);
        u32 code = os::create_thread(t.handle, entry, arg, t.stack_size);
        if (code != 0) {
            print_error(stderr, text, code);
            // Without this thread the others must still come to an end.
            stop(code);
            return code;
        }
        t.id = t.handle.id;
        t.is_running = true;
        pin_thread(t);
        return 0;
    };

    if (u32 code = create(h_thread_read, is_writer ? th_write_bootstrap : th_read_bootstrap, this,
                          "h_thread_read = CreateThread(th_read_bootstrap)")) {
        done = true;
        return code;
    }
    for (u32 k = 0; k < hash_threads; ++k)
        if (u32 code = create(hash_workers[k].thread, th_hash_bootstrap, &hash_workers[k],
                              "h_thread_hash = CreateThread(th_hash_bootstrap)"))
            return code;
    if (is_writer && p_peer && p_peer->verify_consumer >= 0)
        if (u32 code = create(h_thread_verify, th_verify_bootstrap, this,
                              "h_thread_verify = CreateThread(th_verify_bootstrap)"))
            return code;
    if (!is_primary) return 0;
    if (comp_consumer >= 0)
        if (u32 code = create(h_thread_comp, th_comp_bootstrap, this, "h_thread_comp = CreateThread(th_comp_bootstrap)"))
            return code;
    if (progress)
        if (u32 code = create(h_thread_text, th_text_bootstrap, this, "h_thread_text = CreateThread(th_text_bootstrap)"))
            return code;
    return 0;
}

void G_PIPELINE::join_threads() {
    each_thread(*this, [](G_THREAD& t) {
        if (!t.is_running) return;
        os::join_thread(t.handle);
        os::close_thread(t.handle);
        t.handle = os::thread{};
        t.id = 0;
        t.is_running = false;
    });
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
