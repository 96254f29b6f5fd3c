// A real failing disk: a loop device over a FUSE file whose reads fail with
// EIO in a byte range. The unreadable 1 MiB slots are reported and hashed as
// 0xAD; everything else is read as it is.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

constexpr size_t MiB = 1 << 20;
constexpr size_t disk_size = 16 * MiB;

unsigned char pattern_byte(size_t i) { return static_cast<unsigned char>((i * 31 + 7) & 0xFF); }

std::string sha1_hex(const std::string& data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, EVP_sha1(), nullptr);
    return e2e::hex_of(md, len);
}

struct bad_range_case {
    const char* name;
    size_t bad_start, bad_len;
    std::vector<size_t> lost_slots;  // 1 MiB slots expected as 0xAD
    std::string report;              // all of standard error
};

TEST(FailingDevice, UnreadableSlotsOfALoopDeviceBecome0xAD) {
    if (std::string why = e2e::fuse_disk::unavailable(); !why.empty()) GTEST_SKIP() << why;

    const bad_range_case cases[] = {
        {"one page at 4 MiB", 4 * MiB, 4096, {4}, " addr 400000  page 4  CRC 1\n"},
        {"one sector across 9 MiB", 9 * MiB - 512, 1024, {8, 9},
         " addr 800000  page 8  CRC 1\n addr 900000  page 9  CRC 2\n"},
        {"the last sector", disk_size - 512, 512, {15}, " addr f00000  page f  CRC 1\n"},
    };
    std::string pattern(disk_size, '\0');
    for (size_t i = 0; i < disk_size; ++i) pattern[i] = static_cast<char>(pattern_byte(i));

    int runs = 0;
    for (const bad_range_case& c : cases) {
        std::string expected_data = pattern;
        for (size_t slot : c.lost_slots) expected_data.replace(slot * MiB, MiB, MiB, '\xAD');
        const std::string expected = sha1_hex(expected_data);
        for (const char* loop_mode : {"--direct-io=on", ""}) {
            SCOPED_TRACE(std::string(c.name) + ", losetup " + loop_mode);
            e2e::temp_dir dir;
            e2e::fuse_disk disk(dir.path, disk_size, c.bad_start, c.bad_len);
            if (!disk.mounted) GTEST_SKIP() << "mount failed: " << e2e::read_file(disk.log);
            e2e::loop_device loop(disk.file, loop_mode);
            if (loop.dev.empty()) continue;  // losetup refused this mode
            e2e::result r = e2e::run_zef({loop.dev, "-sha1", "-PB"});
            EXPECT_EQ(r.status, 3);
            EXPECT_EQ(r.out, expected + "  " + loop.dev + "\n");
            EXPECT_EQ(r.err, c.report);
            ++runs;
        }
    }
    if (runs == 0) GTEST_SKIP() << "losetup failed";
}

}  // namespace
