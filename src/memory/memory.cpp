#include <cstdio>
#include <cstring>

#include "app/report.h"
#include "memory/G_MEMORY.h"

G_MEMORY::G_MEMORY() { large_page_size = get_large_page_minimum(this); }

G_MEMORY::~G_MEMORY() {
    release();
    use_awe = locked = print_info = false;
    pages_requested = pages = pfn_bytes = page_count = large_page_size = size = 0;
    aPFNs = address = nullptr;
}

u32 G_MEMORY::get_large_page_minimum(G_MEMORY* memory) {
    if (memory) memory->use_awe = false;
    size_t minimum = os::large_page_minimum();
    if (minimum == 0) return 0x200000;
    if (memory) memory->use_awe = true;
    return static_cast<u32>(minimum);
}

int G_MEMORY::alloc(size_t count) {
    page_count = count;
    large_page_size = get_large_page_minimum(this);
    size = large_page_size * page_count;

    if (use_awe) {
        u32 error = 0;
        use_awe = os::enable_lock_memory_privilege(size, error);
        if (use_awe) {
            address = alloc_awe(size);
            if (!address) {
                use_awe = false;
                if (print_info) std::fputs("\n", stderr);
                print_error(stderr, "!! Failed to allocate physical RAM, the feature will be disabled!",
                            os::last_error());
            }
        }
    }
    if (print_info) std::fprintf(stderr, ":: page size %3u MB  ", static_cast<unsigned>(large_page_size >> 20));
    if (!use_awe) {
        os::set_working_set(size + 8 * large_page_size);
        address = os::aligned_alloc(size, large_page_size);
        // Locked piece by piece: faulting in a large block can take long on
        // a busy host, and Ctrl+C must not wait for all of it.
        locked = address != nullptr;
        constexpr size_t piece = size_t{2} << 20;
        for (size_t at = 0; locked && at < size; at += piece) {
            if (ctrl_c_typed.load(std::memory_order_acquire)) {
                if (at != 0) os::unlock_memory(address, at);
                os::aligned_free(address);
                address = nullptr;
                locked = false;
                break;
            }
            locked = os::lock_memory(static_cast<u8*>(address) + at, size - at < piece ? size - at : piece);
            if (!locked && at != 0) os::unlock_memory(address, at);
        }
        if (print_info)
            std::fprintf(stderr, ":: align %4u MB RAM at: 0x%016zx %s\n", static_cast<unsigned>(size >> 20),
                         reinterpret_cast<size_t>(address), locked ? "[LOCKED]" : "");
        if (locked) std::memset(address, 0, size);
    }
    if (address) return 0;
    if (ctrl_c_typed.load(std::memory_order_acquire)) return -1;  // given up on purpose
    print_error(stderr, "!! _aligned_malloc() failed to allocate RAM!", os::last_error());
    return -1;
}

void* G_MEMORY::alloc_awe(size_t bytes) {
    os::alloc_physical(bytes, physical_);
    pages_requested = physical_.pages_requested;
    pages = physical_.pages;
    pfn_bytes = physical_.pfn_bytes;
    aPFNs = physical_.pfn_array;
    const size_t P = physical_.page_size;
    const bool ok = physical_.allocated && physical_.mapped;
    if (!(ok && !print_info))
        std::fprintf(stderr, ":: AWE %9u MB physical RAM at: 0x%016zx\n", static_cast<unsigned>(P * pages >> 20),
                     reinterpret_cast<size_t>(physical_.address));
    if (ok && pages >= pages_requested) return physical_.address;
    std::fputs("\n", stderr);
    std::fprintf(stderr, "Memory to request for PFN array\t%8zu KB\taPFNs [0x%08zx]\n", pfn_bytes / 1024,
                 reinterpret_cast<size_t>(aPFNs));
    std::fprintf(stderr, "Requested number of pages\t%8zu\tRequested %5u MB\n", pages_requested,
                 static_cast<unsigned>(pages_requested * P >> 20));
    std::fprintf(stderr, "Received  number of pages\t%8zu\tReceived  %5u MB\n", pages,
                 static_cast<unsigned>(pages * P >> 20));
    std::fprintf(stderr, "AllocateUserPhysicalPages\t%8s\tpage size %5u bytes\n",
                 physical_.allocated ? "[OK]" : "[FAILED]", static_cast<unsigned>(P));
    std::fprintf(stderr, "MapUserPhysicalPages\t\t%8s\n", physical_.mapped ? "[OK]" : "[FAILED]");
    os::free_physical(physical_);
    aPFNs = nullptr;
    return nullptr;
}

int G_MEMORY::release() {
    if (!address) return -1;
    size = large_page_size * page_count;
    if (use_awe || locked) os::secure_zero(address, size);
    if (use_awe) {
        os::free_physical(physical_);
        aPFNs = nullptr;
        address = nullptr;
        return 0;
    }
    if (locked) os::unlock_memory(address, size);
    os::aligned_free(address);
    address = nullptr;
    return 0;
}
