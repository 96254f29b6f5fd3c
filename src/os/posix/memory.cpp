// Buffer memory on Linux: explicit huge pages of the large-page unit stand
// for physical pages; the heap path is an aligned allocation with
// transparent huge pages, locked.
#include "os/memory.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/posix/errors.h"
#include "os/posix/large_pages.h"

namespace os {

namespace {
// A /proc/meminfo figure ("Hugepagesize", "HugePages_Free"), 0 when absent.
u64 meminfo(const char* key) {
    FILE* f = std::fopen("/proc/meminfo", "re");
    if (!f) return 0;
    char line[256];
    u64 value = 0;
    size_t key_length = std::strlen(key);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, key, key_length) == 0 && line[key_length] == ':') {
            value = std::strtoull(line + key_length + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return value;
}

// The transparent huge page size, 0 when the kernel has none.
size_t transparent_page_size() {
    FILE* f = std::fopen("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size", "re");
    if (!f) return 0;
    unsigned long long value = 0;
    if (std::fscanf(f, "%llu", &value) != 1) value = 0;
    std::fclose(f);
    return static_cast<size_t>(value);
}

thread_local u32 last_error_code = 0;
}  // namespace

namespace posix {

large_pages choose_large_pages(size_t transparent, size_t hugetlb) {
    constexpr size_t fallback = size_t{2} << 20;
    const bool power_of_two = transparent != 0 && (transparent & (transparent - 1)) == 0;
    large_pages pages;
    pages.unit = power_of_two ? transparent : fallback;
    pages.explicit_pages = hugetlb == pages.unit;
    return pages;
}

large_pages system_large_pages() {
    return choose_large_pages(transparent_page_size(), static_cast<size_t>(meminfo("Hugepagesize")) * 1024);
}

}  // namespace posix

size_t large_page_minimum() { return posix::system_large_pages().unit; }

size_t system_page_size() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

bool enable_lock_memory_privilege(size_t size, u32& error) {
    error = 0;
    rlimit limit{};
    bool may_lock = geteuid() == 0 ||
                    (getrlimit(RLIMIT_MEMLOCK, &limit) == 0 &&
                     (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= size));
    // Huge pages of another size than the unit (1 GiB ones) are not used.
    const posix::large_pages pages = posix::system_large_pages();
    bool enough = pages.explicit_pages && meminfo("HugePages_Free") * pages.unit >= size;
    if (!may_lock) error = posix::fail(EPERM);
    else if (!pages.explicit_pages) error = posix::fail(EOPNOTSUPP);
    else if (!enough) error = posix::fail(ENOMEM);
    return may_lock && enough;
}

void alloc_physical(size_t size, physical_block& block) {
    block = physical_block{};
    block.page_size = system_page_size();
    block.pages_requested = size / block.page_size;
    block.pfn_bytes = block.pages_requested * 8;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_HUGETLB | MAP_POPULATE | MAP_LOCKED, -1, 0);
    if (p == MAP_FAILED) {
        last_error_code = posix::fail(errno);
        return;
    }
    block.address = p;
    block.pages = block.pages_requested;
    block.allocated = block.mapped = true;
}

void free_physical(physical_block& block) {
    if (block.address) munmap(block.address, block.pages_requested * block.page_size);
    block.address = nullptr;
}

u32 last_error() { return last_error_code; }

void set_working_set(size_t bytes) {
    // The lock limit plays the part of the working set here.
    rlimit limit{};
    if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0) return;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < bytes) {
        rlim_t want = limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= bytes ? bytes : limit.rlim_max;
        limit.rlim_cur = want;
        setrlimit(RLIMIT_MEMLOCK, &limit);
    }
}

void* aligned_alloc(size_t size, size_t alignment) {
    void* p = nullptr;
    int r = posix_memalign(&p, alignment, size);
    if (r != 0) {
        last_error_code = posix::fail(r);
        return nullptr;
    }
    madvise(p, size, MADV_HUGEPAGE);
    return p;
}

void aligned_free(void* p) { std::free(p); }

bool lock_memory(void* p, size_t size) {
    if (mlock(p, size) == 0) return true;
    last_error_code = posix::fail(errno);
    return false;
}

void unlock_memory(void* p, size_t size) { munlock(p, size); }

void secure_zero(void* p, size_t size) { explicit_bzero(p, size); }

}  // namespace os
