// Worker threads on kernel32.
#include "os/thread.h"

#include <new>

#include "os/win32/win32.h"

namespace os {
namespace {

struct start {
    thread_entry entry;
    void* arg;
};

DWORD WINAPI trampoline(void* p) {
    start s = *static_cast<start*>(p);
    delete static_cast<start*>(p);
    return s.entry(s.arg);
}

bool has_handle(const thread& t) { return t.h != invalid_handle && t.h != 0; }

}  // namespace

u32 create_thread(thread& t, thread_entry entry, void* arg, u64 stack_size) {
    t.h = invalid_handle;
    t.id = 0;
    start* s = new (std::nothrow) start{entry, arg};
    if (s == nullptr) return err::not_enough_memory;
    DWORD id = 0;
    HANDLE h = CreateThread(nullptr, static_cast<SIZE_T>(stack_size), trampoline, s,
                            STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
    if (h == nullptr) {
        DWORD error = GetLastError();
        delete s;
        return error != 0 ? error : err::not_enough_memory;
    }
    t.h = reinterpret_cast<handle>(h);
    t.id = id;
    return err::success;
}

void join_thread(thread& t) {
    if (has_handle(t)) WaitForSingleObject(win32::native(t.h), INFINITE);
}

void close_thread(thread& t) {
    if (has_handle(t)) CloseHandle(win32::native(t.h));
    t.h = invalid_handle;
}

void set_thread_affinity(const thread& t, u64 mask) {
    if (has_handle(t)) SetThreadAffinityMask(win32::native(t.h), static_cast<DWORD_PTR>(mask));
}

void set_current_thread_priority(int level) {
    int priority = THREAD_PRIORITY_NORMAL;
    if (level > 0) priority = THREAD_PRIORITY_ABOVE_NORMAL;
    if (level < 0) priority = THREAD_PRIORITY_BELOW_NORMAL;
    SetThreadPriority(GetCurrentThread(), priority);
}

void interrupt_io(const thread& t) {
    // The blocked ReadFile or WriteFile fails with ERROR_OPERATION_ABORTED.
    if (has_handle(t)) CancelSynchronousIo(win32::native(t.h));
}

u64 active_processor_mask() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<u64>(info.dwActiveProcessorMask);
}

}  // namespace os
