// Partition rows and the sample arithmetic of the peak normalization,
// against values worked out by hand and references computed here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "modes/modes.h"

namespace {

// A 16-byte partition entry.
std::vector<u8> entry(u8 state, u8 type, u32 first, u32 sectors) {
    std::vector<u8> e(16, 0);
    e[0] = state;
    e[1] = 0xFE;  // CHS bytes, never shown
    e[2] = 0xFF;
    e[3] = 0xFF;
    e[4] = type;
    e[5] = 0xFE;
    for (int i = 0; i < 4; ++i) {
        e[8 + i] = static_cast<u8>(first >> (8 * i));
        e[12 + i] = static_cast<u8>(sectors >> (8 * i));
    }
    return e;
}

struct row_case {
    int number;
    u8 state, type;
    u32 first, sectors;
    const char* row;
};

const row_case row_cases[] = {
    // bootable NTFS of 100 MiB at 1 MiB
    {1, 0x80, 0x07, 2048, 204800, "1 *  07  [      2048 -     206847][    204800     100    0]\n"},
    // an empty entry
    {2, 0x00, 0x00, 0, 0, "2    00  [         0 -          0][         0       0    0]\n"},
    // start + count = 2^32: the end wraps to 0 and is shown as 0
    {3, 0x81, 0xEE, 0xFFFFF000u, 0x1000, "3 ?  EE  [4294963200 -          0][      4096       2    0]\n"},
    {4, 0x00, 0x83, 1, 0xFFFFFFFFu, "4    83  [         1 -          0][4294967295 2097151 2047]\n"},
    // no sectors, but a start: the end lies before it
    {1, 0x00, 0x0C, 100, 0, "1    0C  [       100 -         99][         0       0    0]\n"},
    // any status other than 0x00 and 0x80
    {2, 0x7F, 0x05, 63, 2097152, "2 ?  05  [        63 -    2097214][   2097152    1024    1]\n"},
    {3, 0x01, 0xAF, 4294967294u, 1, "3 ?  AF  [4294967294 - 4294967294][         1       0    0]\n"},
};

TEST(PartitionRow, FormatsEachEntry) {
    for (const row_case& c : row_cases) {
        std::vector<u8> e = entry(c.state, c.type, c.first, c.sectors);
        testing::internal::CaptureStdout();
        print_partition(c.number, e.data());
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.row) << "entry " << c.number;
    }
}

// Samples as little-endian bytes, at an odd address to catch aligned loads.
struct sample_bytes {
    std::vector<u8> storage;
    explicit sample_bytes(const std::vector<int>& samples) : storage(1 + 2 * samples.size() + 1, 0xA5) {
        for (size_t i = 0; i < samples.size(); ++i) {
            storage[1 + 2 * i] = static_cast<u8>(samples[i] & 0xFF);
            storage[2 + 2 * i] = static_cast<u8>((samples[i] >> 8) & 0xFF);
        }
    }
    u8* data() { return storage.data() + 1; }
    u64 count() const { return (storage.size() - 2) / 2; }
    int at(size_t i) const { return static_cast<int16_t>(storage[1 + 2 * i] | (storage[2 + 2 * i] << 8)); }
};

struct peak_case {
    std::vector<int> samples;
    u32 peak;
};

TEST(NormalizeArithmetic, PeakFromTheEnd) {
    const peak_case cases[] = {
        {{}, 0},
        {{0, 0, 0}, 0},
        {{1, -5, 3}, 5},
        {{-28672, 28671}, 28672},
        {{100, -32767, 200}, 32767},
        {{-32768, 100}, 32768},
        // the walk from the end stops at the first full-scale sample
        {{-32768, 32767}, 32767},
        {{32767, -32768, 5}, 32768},
        {{-32768, -32767, 1}, 32767},
    };
    for (const peak_case& c : cases) {
        sample_bytes s(c.samples);
        EXPECT_EQ(peak_from_end(s.data(), s.count()), c.peak) << "case with " << c.samples.size() << " samples";
    }
}

// The peak of the whole, independently: the largest magnitude, unless a
// full-scale sample exists; then the last of those decides.
u32 reference_peak(const std::vector<int>& samples) {
    u32 largest = 0, last_full = 0;
    for (int s : samples) {
        u32 m = static_cast<u32>(std::abs(s));
        if (m >= 32767) last_full = m;
        largest = std::max(largest, m);
    }
    return last_full ? last_full : largest;
}

TEST(NormalizeArithmetic, PeakOfPiecesEqualsPeakOfWhole) {
    std::mt19937 gen(7);
    for (int round = 0; round < 300; ++round) {
        std::vector<int> samples(1 + gen() % 400);
        const int limit = 1 + static_cast<int>(gen() % 32768);
        for (int& s : samples) s = static_cast<int>(gen() % (2 * limit)) - limit;
        for (int k = static_cast<int>(gen() % 4); k > 0; --k)
            samples[gen() % samples.size()] = (gen() & 1) ? 32767 : ((gen() & 1) ? -32767 : -32768);
        sample_bytes whole(samples);
        peak_tracker pieces;
        for (size_t at = 0; at < samples.size();) {
            size_t n = std::min<size_t>(samples.size() - at, 1 + gen() % 50);
            pieces.add(peak_from_end(whole.data() + 2 * at, n));
            at += n;
        }
        ASSERT_EQ(pieces.value(), reference_peak(samples)) << "round " << round;
        ASSERT_EQ(peak_from_end(whole.data(), whole.count()), reference_peak(samples)) << "round " << round;
    }
}

TEST(NormalizeArithmetic, GainOnlyAboveTheTarget) {
    for (u32 peak : {0u, 1u, 1000u, 28671u, 28672u}) EXPECT_EQ(normalization_gain(peak), 0) << peak;
    EXPECT_EQ(normalization_gain(28673), 65533);
    EXPECT_EQ(normalization_gain(32767), 57345);
    EXPECT_EQ(normalization_gain(32768), 57344);
}

TEST(NormalizeArithmetic, ScalesEverySampleValue) {
    for (u32 peak : {28673u, 30000u, 32767u, 32768u}) {
        const s32 gain = normalization_gain(peak);
        ASSERT_EQ(gain, static_cast<s32>(0x70000000LL / peak));
        std::vector<int> samples;
        for (int s = -static_cast<int>(peak); s <= static_cast<int>(std::min(peak, 32767u)); ++s) samples.push_back(s);
        sample_bytes s(samples);
        scale_samples(s.data(), s.count(), gain);
        for (size_t i = 0; i < samples.size(); ++i) {
            // floor(s * gain / 2^16), exact in double
            const int expected = static_cast<int>(std::floor(static_cast<double>(samples[i]) * gain / 65536.0));
            ASSERT_EQ(s.at(i), expected) << "peak " << peak << " sample " << samples[i];
        }
        EXPECT_EQ(s.storage.front(), 0xA5);  // nothing outside the samples
        EXPECT_EQ(s.storage.back(), 0xA5);
    }
    sample_bytes full({32767, -32767, -32768, 1, -1});
    scale_samples(full.data(), full.count(), 57345);
    EXPECT_EQ(full.at(0), 28671);
    EXPECT_EQ(full.at(1), -28672);
    EXPECT_EQ(full.at(2), -28673);
    EXPECT_EQ(full.at(3), 0);
    EXPECT_EQ(full.at(4), -1);  // towards minus infinity
}

}  // namespace
