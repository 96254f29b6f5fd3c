// The large-page unit on Linux: the transparent huge page size, 2 MiB when
// the kernel gives none, and explicit huge pages only of that size.
#include <gtest/gtest.h>

#include <fstream>

#include "os/memory.h"
#include "os/posix/large_pages.h"

namespace {

constexpr size_t KiB = 1024;
constexpr size_t MiB = 1024 * KiB;
constexpr size_t GiB = 1024 * MiB;

TEST(LargePages, UnitAndExplicitPages) {
    struct row {
        size_t transparent, hugetlb;
        size_t unit;
        bool explicit_pages;
    };
    const row rows[] = {
        {2 * MiB, 2 * MiB, 2 * MiB, true},      // the usual x86-64 host
        {2 * MiB, 1 * GiB, 2 * MiB, false},     // booted with 1 GiB pages
        {0, 1 * GiB, 2 * MiB, false},           // no transparent huge pages
        {0, 2 * MiB, 2 * MiB, true},
        {0, 0, 2 * MiB, false},                 // neither
        {2 * MiB, 0, 2 * MiB, false},
        {32 * MiB, 32 * MiB, 32 * MiB, true},   // arm64 with 16 KiB pages
        {32 * MiB, 2 * MiB, 32 * MiB, false},
        {3 * MiB, 2 * MiB, 2 * MiB, true},      // not a power of two: ignored
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.transparent) + " / " + std::to_string(r.hugetlb));
        const os::posix::large_pages got = os::posix::choose_large_pages(r.transparent, r.hugetlb);
        EXPECT_EQ(got.unit, r.unit);
        EXPECT_EQ(got.explicit_pages, r.explicit_pages);
    }
}

// This host's unit is its transparent huge page size, read here directly.
TEST(LargePages, ThisHostUsesTheTransparentPageSize) {
    size_t transparent = 0;
    std::ifstream("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size") >> transparent;
    EXPECT_EQ(os::large_page_minimum(), transparent ? transparent : 2 * MiB);
}

}  // namespace
