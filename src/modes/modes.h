#pragma once
// The auxiliary modes. The write benchmark and the peak normalization are
// G_APP operations (app/G_APP.h); the partition-table dump stands alone.
#include "os/types.h"

// Dumps the MBR partition table of the first sector of `image_name`.
// 0, the open's or read's error, or 0xFFFFFFFF after a short read.
u32 printMBR(const char* image_name);
// One row of the table for entry `number` (1..4) of 16 bytes.
void print_partition(int number, const u8* entry);

// Sample arithmetic of the peak normalization, on signed 16-bit
// little-endian samples at any address.

// The normalization's target peak: 87.5 % of full scale.
inline constexpr u32 norm_target_peak = 0x7000;

// Largest magnitude (0..32768) walking from the last sample to the first;
// stops at the first one of 32767 or more.
u32 peak_from_end(const u8* samples, u64 count);

// The peak of a sequence measured in consecutive pieces: each piece's
// peak_from_end, in order, gives the peak_from_end of the whole.
struct peak_tracker {
    u32 largest = 0;    // largest piece peak below 32767
    u32 last_full = 0;  // the latest piece peak of 32767 or more
    void add(u32 piece_peak) {
        if (piece_peak >= 32767) last_full = piece_peak;
        else if (piece_peak > largest) largest = piece_peak;
    }
    u32 value() const { return last_full ? last_full : largest; }
};

// Gain in 1/65536 units that brings `peak` down to the target; 0 when the
// peak is at or below the target and the samples stay as they are.
s32 normalization_gain(u32 peak);

// s = (s * gain) >> 16 for every sample, last to first.
void scale_samples(u8* samples, u64 count, s32 gain);
