// Progress figures (whole slots, average rate) and the difference block.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "pipeline/G_PIPELINE.h"

namespace {

constexpr u64 MiB = 1048576;

TEST(ProgressFigures, MegabytesOfFilledSlots) {
    const struct {
        u64 page_size, n_filled, mb;
    } cases[] = {
        {MiB, 300, 300},
        {MiB, 250, 250},
        {2 * MiB, 32, 64},
        {512, 4096, 2},          // 2 MiB in sectors
        {4096, 255, 0},          // below one MB
        {4096, 256, 1},
        {512 * MiB, 1000000, 512000000},
        {MiB, 0, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(progress_mb(c.page_size, c.n_filled), c.mb) << c.page_size << " x " << c.n_filled;
}

// The lead shown never leaves 0..ring, whatever the moment the two counters
// were read at.
TEST(ProgressFigures, LeadStaysWithinTheRing) {
    const struct {
        u64 own, other, ring, lead;
    } cases[] = {
        {350, 300, 64, 50},
        {64, 0, 64, 64},
        {4097, 0, 4096, 4096},   // one slot refilled between the two reads
        {300, 350, 64, 0},       // the partner was read later and is ahead
        {0, 0, 1, 0},
        {1, 0, 1, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(progress_lead(c.own, c.other, c.ring), c.lead) << c.own << " - " << c.other << " / " << c.ring;
}

TEST(ProgressFigures, AverageRate) {
    const struct {
        u64 mb, elapsed_ms, rate;
    } cases[] = {
        {300, 3000, 100},
        {250, 5000, 50},
        {5, 3000, 1},       // remainder dropped
        {0, 1000, 0},
        {300, 0, 0},        // no time has passed yet
        {512000000, 1, 512000000000ULL},
    };
    for (const auto& c : cases) EXPECT_EQ(progress_rate(c.mb, c.elapsed_ms), c.rate) << c.mb << " MB in " << c.elapsed_ms;
}

// Two inputs: the slower side sets the rate.
TEST(ProgressFigures, TwoInputsRateOfTheSlowerSide) {
    EXPECT_EQ(progress_mb(MiB, 300), 300u);
    EXPECT_EQ(progress_mb(MiB, 250), 250u);
    EXPECT_EQ(progress_rate(progress_mb(MiB, std::min<u64>(300, 250)), 5000), 50u);
}

TEST(DifferenceBlock, Forms) {
    const u8 a[8] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    const u8 b[8] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x78};
    const u8 c[8] = {0xff, 0xfe, 0xa0, 0x0b, 0x10, 0x01, 0xc3, 0x3c};
    const struct {
        u64 offset;
        const u8* first;
        const u8* second;
        size_t n;
        const char* text;
    } cases[] = {
        {0x1000, a, b, 8, "00001000:[0011 2233 4455 6677]\n00001000:[0011 2233 4455 6678]\n\n"},
        {0, c, a, 8, "00000000:[fffe a00b 1001 c33c]\n00000000:[0011 2233 4455 6677]\n\n"},
        {0x120000000ULL, a, c, 8, "120000000:[0011 2233 4455 6677]\n120000000:[fffe a00b 1001 c33c]\n\n"},
        {0xffffffffffffff8ULL, a, b, 8,
         "ffffffffffffff8:[0011 2233 4455 6677]\nffffffffffffff8:[0011 2233 4455 6678]\n\n"},
        // The last bytes of the common length: blanks for missing bytes.
        {0x18, a, c, 3, "00000018:[0011 22            ]\n00000018:[fffe a0            ]\n\n"},
        {0x8, b, c, 1, "00000008:[00                 ]\n00000008:[ff                 ]\n\n"},
        {0x18690, c, b, 7, "00018690:[fffe a00b 1001 c3  ]\n00018690:[0011 2233 4455 66  ]\n\n"},
    };
    for (const auto& k : cases) {
        char block[512];
        std::memset(block, 'X', sizeof block);
        const int length = format_difference(block, sizeof block, k.offset, k.first, k.second, k.n);
        EXPECT_EQ(std::string(block), k.text);
        EXPECT_EQ(length, static_cast<int>(std::strlen(k.text)));
    }
}

}  // namespace
