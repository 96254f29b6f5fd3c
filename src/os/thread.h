#pragma once
// Worker threads with a small stack reservation, processor affinity and
// priority. A thread is joined exactly once by the thread that created it.
#include "os/types.h"

namespace os {

struct thread {
    handle h = invalid_handle;  // backend handle (pthread_t slot or HANDLE)
    u32 id = 0;
};

using thread_entry = u32 (*)(void* arg);

// Starts `entry(arg)` at once with `stack_size` bytes of stack reserved.
u32 create_thread(thread& t, thread_entry entry, void* arg, u64 stack_size);
void join_thread(thread& t);   // waits for the end; failures are ignored
void close_thread(thread& t);  // releases the handle after the join

// Pins the thread to the processors of `mask`; a refused mask is ignored.
void set_thread_affinity(const thread& t, u64 mask);
// Priority of the calling thread: +1 above normal, 0 normal. Refusal ignored.
void set_current_thread_priority(int level);
// The system's active processor mask (bit n = processor n).
u64 active_processor_mask();

// Cuts short a read or write that the thread is blocked in (a pipe or
// terminal that gives or takes nothing): it fails with operation_aborted.
// Meant for the end of a run after Ctrl+C; from then on every read or write
// that the system interrupts fails the same way. A call that comes just
// before the thread blocks may be missed: the caller repeats it until the
// thread has ended.
void interrupt_io(const thread& t);

}  // namespace os
