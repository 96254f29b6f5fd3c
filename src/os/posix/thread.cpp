#include "os/thread.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

#include "os/posix/errors.h"
#include "os/posix/posix.h"

namespace os {

namespace {
struct start {
    thread_entry entry;
    void* arg;
};
void* trampoline(void* p) {
    start s = *static_cast<start*>(p);
    delete static_cast<start*>(p);
    s.entry(s.arg);
    return nullptr;
}
}  // namespace

static_assert(sizeof(pthread_t) <= sizeof(handle));

u32 create_thread(thread& t, thread_entry entry, void* arg, u64 stack_size) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stack_size < static_cast<u64>(PTHREAD_STACK_MIN)) stack_size = static_cast<u64>(PTHREAD_STACK_MIN);
    pthread_attr_setstacksize(&attr, stack_size);
    auto* s = new start{entry, arg};
    pthread_t id;
    int r = pthread_create(&id, &attr, trampoline, s);
    pthread_attr_destroy(&attr);
    if (r != 0) {
        delete s;
        return posix::fail(r);
    }
    t.h = static_cast<handle>(id);
    t.id = static_cast<u32>(id);
    return 0;
}

void join_thread(thread& t) {
    if (t.h != invalid_handle) pthread_join(static_cast<pthread_t>(t.h), nullptr);
}

void close_thread(thread& t) {
    t.h = invalid_handle;
    t.id = 0;
}

void set_thread_affinity(const thread& t, u64 mask) {
    if (t.h == invalid_handle || mask == 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int i = 0; i < 64; ++i)
        if (mask & (u64{1} << i)) CPU_SET(i, &set);
    pthread_setaffinity_np(static_cast<pthread_t>(t.h), sizeof set, &set);
}

void set_current_thread_priority(int level) {
    // Per-thread nice value; refused for a normal user, which is ignored.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -level);
}

namespace {
void on_kick(int) {}
}  // namespace

void interrupt_io(const thread& t) {
    if (t.h == invalid_handle) return;
    posix::io_aborted.store(true, std::memory_order_release);
    // A handler without SA_RESTART: the blocked call returns EINTR.
    static const bool installed = [] {
        struct sigaction sa {};
        sa.sa_handler = on_kick;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        return sigaction(SIGURG, &sa, nullptr) == 0;
    }();
    if (installed) pthread_kill(static_cast<pthread_t>(t.h), SIGURG);
}

u64 active_processor_mask() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    u64 mask = 0;
    for (int i = 0; i < 64; ++i)
        if (CPU_ISSET(i, &set)) mask |= u64{1} << i;
    return mask;
}

}  // namespace os
