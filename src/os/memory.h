#pragma once
// The buffer block's memory: large pages, locked physical pages, and the
// aligned, locked heap block the core falls back to.
#include <cstddef>

#include "os/types.h"

namespace os {

// The large-page unit the buffers are aligned to and built of, 0 when the
// system has none.
size_t large_page_minimum();
// The system's page size.
size_t system_page_size();

// Whether locked physical (huge) pages of `size` bytes may be had now: the
// process holds the right to lock memory and enough pages are free. Never
// prints; a refusal leaves `last_error` with the reason (0 when none).
bool enable_lock_memory_privilege(size_t size, u32& last_error);

// Locked physical pages mapped into one range. The core prints the
// diagnostics from the figures reported here.
struct physical_block {
    void* address = nullptr;   // the mapped range, null when none
    void* pfn_array = nullptr; // bookkeeping array (Windows: page frame numbers)
    size_t pages_requested = 0;
    size_t pages = 0;          // pages received
    size_t pfn_bytes = 0;
    size_t page_size = 0;      // system page size used for the counts
    bool allocated = false;    // pages obtained
    bool mapped = false;       // pages mapped into the range
};
// Tries to obtain `size` bytes of physical pages. On partial success the
// figures are kept and the caller gives the rest back with free_physical.
void alloc_physical(size_t size, physical_block& block);
void free_physical(physical_block& block);
// Last error of the calling thread (Windows GetLastError; here errno mapped).
u32 last_error();

void set_working_set(size_t bytes);  // result ignored by the caller
void* aligned_alloc(size_t size, size_t alignment);
void aligned_free(void* p);
bool lock_memory(void* p, size_t size);
void unlock_memory(void* p, size_t size);

// Zeroing that the compiler may not drop (digests, locked memory).
void secure_zero(void* p, size_t size);

}  // namespace os
