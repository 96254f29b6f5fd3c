#pragma once
// The run's one buffer block: a whole number of large-page units, aligned,
// resident. Physical (huge) pages when the process may lock them, else an
// aligned heap block locked in RAM where the system allows.
#include <cstddef>

#include "os/memory.h"

class G_MEMORY {
public:
    bool use_awe = false;
    bool locked = false;
    size_t pages_requested = 0;
    size_t pages = 0;
    size_t pfn_bytes = 0;
    void* aPFNs = nullptr;
    bool print_info = false;
    size_t page_count = 0;
    size_t large_page_size = 0;
    size_t size = 0;
    void* address = nullptr;

    G_MEMORY();
    ~G_MEMORY();
    G_MEMORY(const G_MEMORY&) = delete;
    G_MEMORY& operator=(const G_MEMORY&) = delete;

    static u32 get_large_page_minimum(G_MEMORY* memory);
    int alloc(size_t page_count);
    void* alloc_awe(size_t size);
    int release();

private:
    os::physical_block physical_{};
};
