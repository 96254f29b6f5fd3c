#pragma once
// The large-page unit on Linux. The buffers are aligned to, and the default
// slot is, one transparent huge page (the PMD size: 2 MiB on x86-64). The
// hugetlb size may be far larger (1 GiB pages chosen at boot), so explicit
// huge pages are used only when they are exactly of that unit.
#include <cstddef>

namespace os::posix {

struct large_pages {
    size_t unit = 0;              // alignment and default slot size
    bool explicit_pages = false;  // MAP_HUGETLB pages are of `unit` bytes
};

// From the transparent huge page size and the hugetlb page size, each 0
// when the kernel does not report it.
large_pages choose_large_pages(size_t transparent, size_t hugetlb);

// The kernel's figures (hpage_pmd_size and /proc/meminfo's Hugepagesize).
large_pages system_large_pages();

}  // namespace os::posix
