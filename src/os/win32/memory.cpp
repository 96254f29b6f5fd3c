// Large pages, AWE physical pages and the locked heap block.
#include "os/memory.h"

#include <malloc.h>

#include "os/win32/win32.h"

namespace os {
namespace {

constexpr size_t pfn_entry_bytes = 8;

}  // namespace

size_t large_page_minimum() {
    // Looked up by name: older systems do not export it.
    HMODULE kernel = LoadLibraryExW(L"kernel32.dll", nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (kernel == nullptr) return 0;
    size_t size = 0;
    FARPROC p = GetProcAddress(kernel, "GetLargePageMinimum");
    if (p != nullptr) {
        auto fn = reinterpret_cast<SIZE_T(WINAPI*)()>(reinterpret_cast<void (*)()>(p));
        size = fn();
    }
    FreeLibrary(kernel);
    return size;
}

size_t system_page_size() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

bool enable_lock_memory_privilege(size_t size, u32& last_error) {
    (void)size;  // the system says at allocation whether the pages are there
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        last_error = GetLastError();
        return false;
    }
    TOKEN_PRIVILEGES tp;
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool held = false;
    if (!LookupPrivilegeValueW(nullptr, L"SeLockMemoryPrivilege", &tp.Privileges[0].Luid)) {
        last_error = GetLastError();
    } else {
        SetLastError(0);
        BOOL adjusted = AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
        // Success with ERROR_NOT_ALL_ASSIGNED: the user lacks the right.
        last_error = GetLastError();
        held = adjusted && last_error == 0;
    }
    CloseHandle(token);
    SetLastError(last_error);
    return held;
}

void alloc_physical(size_t size, physical_block& block) {
    block = physical_block{};
    block.page_size = system_page_size();
    block.pages_requested = size / block.page_size;
    block.pages = block.pages_requested;
    block.pfn_bytes = block.pages_requested * pfn_entry_bytes;
    block.pfn_array = HeapAlloc(GetProcessHeap(), 0, block.pfn_bytes);
    if (block.pfn_array == nullptr) return;
    HANDLE process = GetCurrentProcess();
    auto* pfns = static_cast<ULONG_PTR*>(block.pfn_array);
    ULONG_PTR pages = block.pages;
    block.allocated = AllocateUserPhysicalPages(process, &pages, pfns) != FALSE;
    block.pages = pages;
    // The range is reserved even when no page came: the caller reports both.
    block.address = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_PHYSICAL, PAGE_READWRITE);
    if (block.address != nullptr)
        block.mapped = MapUserPhysicalPages(block.address, block.pages, pfns) != FALSE;
}

void free_physical(physical_block& block) {
    if (block.address != nullptr) {
        MapUserPhysicalPages(block.address, block.pages, nullptr);
        VirtualFree(block.address, 0, MEM_RELEASE);
    }
    if (block.pfn_array != nullptr) {
        if (block.allocated) {
            ULONG_PTR pages = block.pages;
            FreeUserPhysicalPages(GetCurrentProcess(), &pages,
                                  static_cast<ULONG_PTR*>(block.pfn_array));
        }
        HeapFree(GetProcessHeap(), 0, block.pfn_array);
    }
    block.address = nullptr;
    block.pfn_array = nullptr;
    block.allocated = false;
    block.mapped = false;
}

u32 last_error() { return GetLastError(); }

void set_working_set(size_t bytes) {
    SetProcessWorkingSetSize(GetCurrentProcess(), bytes, bytes);
}

void* aligned_alloc(size_t size, size_t alignment) { return _aligned_malloc(size, alignment); }

void aligned_free(void* p) {
    if (p != nullptr) _aligned_free(p);
}

bool lock_memory(void* p, size_t size) { return VirtualLock(p, size) != FALSE; }

void unlock_memory(void* p, size_t size) { VirtualUnlock(p, size); }

void secure_zero(void* p, size_t size) { SecureZeroMemory(p, size); }

}  // namespace os
