// End-to-end tests of the verified copy (-Write -verify): every byte written
// is read back from the target and compared with the source; a target that
// keeps a wrong byte is caught, a failing read-back fails the run, a resumed
// copy is checked from its first byte.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using e2e::in_dir;
using e2e::result;
using e2e::run_zef;
using e2e::same_bytes;
using e2e::same_file;
using e2e::status_text;
using e2e::with_env;

constexpr size_t KiB = 1024;
constexpr size_t MiB = 1024 * KiB;
constexpr size_t slot = 2 * MiB;  // the default slot

const std::string& source_bytes() {
    static const std::string data = e2e::random_bytes(9 * MiB + 1808, 20261210);
    return data;
}
std::string prefix(size_t n) { return source_bytes().substr(0, n); }

// Empty, one byte, around a unit, one slot and a byte more, several slots
// with a tail; then the last size again with each of `switches`.
struct size_case {
    size_t size;
    std::string sw;  // "" or one switch
    std::string trace() const { return "size " + std::to_string(size) + (sw.empty() ? "" : " " + sw); }
};
std::vector<size_case> size_cases(std::initializer_list<const char*> switches) {
    std::vector<size_case> cases;
    for (size_t size : {size_t{0}, size_t{1}, size_t{4095}, size_t{4096}, size_t{4097}, slot, slot + 1})
        cases.push_back({size, ""});
    cases.push_back({4 * slot + 1808, ""});
    for (const char* sw : switches) cases.push_back({4 * slot + 1808, sw});
    return cases;
}
std::vector<std::string> verify_args(const std::string& target, const std::string& sw) {
    std::vector<std::string> args = {"src", target, "-Write", "-verify"};
    if (!sw.empty()) args.push_back(sw);
    return args;
}

std::string verified_line(size_t n) {
    return "++ copy verified: " + std::to_string(n) + " bytes read back and equal\n";
}
std::string differs_line(size_t n) { return "!! copy differs from source: " + std::to_string(n) + " bytes differ\n"; }

// The two-line block for the word at `offset`: what the source holds, then
// what the target holds; a word cut by the end shows blanks.
std::string block_text(size_t offset, const std::string& source, const std::string& target) {
    auto line = [offset](const std::string& w) {
        char text[64];
        int n = std::snprintf(text, sizeof text, "%08zx:[", offset);
        std::string s(text, static_cast<size_t>(n));
        for (size_t i = 0; i < 8; ++i) {
            if (i == 2 || i == 4 || i == 6) s += ' ';
            s += i < w.size() ? e2e::hex_of(reinterpret_cast<const unsigned char*>(&w[i]), 1) : "  ";
        }
        return s + "]\n";
    };
    return line(source) + line(target) + "\n";
}

// The block for byte `at` of `data` stored inverted.
std::string flipped_block(const std::string& data, size_t at) {
    const size_t word = at & ~size_t{7};
    const std::string a = data.substr(word, 8 < data.size() - word ? 8 : data.size() - word);
    std::string b = a;
    b[at - word] = static_cast<char>(b[at - word] ^ 0xFF);
    return block_text(word, a, b);
}

std::string utf16(const std::string& text) {
    std::string out;
    for (char c : text) out += std::string{c, '\0'};
    return out;
}

// ---------------------------------------------------------------------------
// Copies that are read back equal.

TEST(BothVerify, CopiesOfEverySizeAreReadBackAndEqual) {
    e2e::temp_dir dir;
    // 512-byte slots (buffered writes), a one-slot ring, the bench switch.
    for (const size_case& c : size_cases({"-P0", "-0", "-b"})) {
        const size_t size = c.size;
        SCOPED_TRACE(c.trace());
        e2e::write_file(dir.file("src"), prefix(size));
        result r = run_zef(verify_args("dst", c.sw), in_dir(dir.path));
        EXPECT_EQ(r.status, 0) << status_text(r);
        EXPECT_NE(r.err.find(verified_line(size)), std::string::npos) << r.err;
        EXPECT_TRUE(same_file(dir.file("dst"), dir.file("src")));
    }
}

TEST(BothVerify, TheVerdictFollowsTheDigest) {
    e2e::temp_dir dir;
    const size_t size = 3 * MiB + 1808;
    e2e::write_file(dir.file("src"), prefix(size));
    result r = run_zef({"src", "dst", "-Write", "-VERIFY", "-sha1"}, in_dir(dir.path));
    EXPECT_EQ(r.status, 0) << status_text(r);
    const std::string sha1 = e2e::tool_digest("sha1sum", dir.file("src"));
    EXPECT_NE(r.err.find(sha1 + "  src\n" + verified_line(size)), std::string::npos) << r.err;
    EXPECT_TRUE(same_file(dir.file("dst"), dir.file("src")));
}

// A stream source fills every slot whole, so slot n is read back at n slots.
TEST(BothVerify, StandardInputSourceIsReadBack) {
    e2e::temp_dir dir;
    const std::string data = prefix(3 * MiB + 1808);
    e2e::options o = in_dir(dir.path);
    o.input = data;
    o.input_short_reads = true;
    result r = run_zef({"-", "dst", "-Write", "-verify"}, o);
    EXPECT_EQ(r.status, 0) << status_text(r);
    EXPECT_NE(r.err.find(verified_line(data.size())), std::string::npos) << r.err;
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("dst")), data));
}

// Appending: what this run wrote is what is read back, wherever it starts.
TEST(BothVerify, AppendedCopyIsReadBackFromWhereItStarts) {
    const size_t size = 3 * MiB + 1808;
    const std::string data = prefix(size);
    e2e::temp_dir dir;
    e2e::write_file(dir.file("src"), data);
    // Off a unit, each slot's read-back ends inside a unit the writer may be
    // writing still: 64 KiB slots give many such ends.
    for (const size_case& c : {size_case{5000, "-P7"}, size_case{5000, ""}, size_case{8192, ""}}) {
        const size_t old_size = c.size;
        SCOPED_TRACE("existing " + c.trace());
        const std::string old = e2e::random_bytes(old_size, 7);
        e2e::write_file(dir.file("dst"), old);
        std::vector<std::string> args = {"src", "dst", "-Write", "-append", "-verify"};
        if (!c.sw.empty()) args.push_back(c.sw);
        result r = run_zef(args, in_dir(dir.path));
        EXPECT_EQ(r.status, 0) << status_text(r);
        EXPECT_NE(r.err.find(verified_line(size)), std::string::npos) << r.err;
        EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("dst")), old + data));
    }
}

// ---------------------------------------------------------------------------
// Refused before anything is written.

TEST(BothVerify, RefusedWithoutACopyOrOntoStandardOutput) {
    e2e::temp_dir dir;
    e2e::write_file(dir.file("src"), prefix(10000));

    result r = run_zef({"src", "dst", "-verify"}, in_dir(dir.path));
    EXPECT_EQ(r.status, 2) << status_text(r);
    EXPECT_NE(r.err.find("!! -verify reads a copy back: it needs -Write"), std::string::npos) << r.err;
    EXPECT_EQ(e2e::file_length(dir.file("dst")), -1) << "nothing is created";

    r = run_zef({"src", "-", "-Write", "-verify"}, e2e::stdout_to(dir.path, dir.file("out")));
    EXPECT_EQ(r.status, 2) << status_text(r);
    EXPECT_NE(r.err.find("!! -verify: standard output cannot be read back"), std::string::npos) << r.err;
    EXPECT_EQ(e2e::file_length(dir.file("out")), 0) << "nothing is written";
}

TEST(Verify, RefusedOntoAPipeOrACharacterDevice) {
    e2e::temp_dir dir;
    e2e::write_file(dir.file("src"), prefix(10000));
    e2e::shell("mkfifo " + e2e::sq(dir.file("fifo")));
    for (const std::string& target : {dir.file("fifo"), std::string("/dev/null")}) {
        SCOPED_TRACE(target);
        e2e::options o = in_dir(dir.path);
        o.timeout_ms = 20000;  // a write to the reader-less pipe would block
        result r = run_zef({"src", target, "-Write", "-verify"}, o);
        EXPECT_EQ(r.status, 2) << status_text(r);
        EXPECT_NE(r.err.find("!! -verify: [" + target + "] cannot be read back"), std::string::npos) << r.err;
    }
}

// ---------------------------------------------------------------------------
// A target that keeps a wrong byte (the write seam) or cannot be read back.

struct corrupt_case {
    size_t size;
    const char* slots;
    std::vector<size_t> flipped;
};

TEST(VerifyCorrupt, WrongBytesAreListedAtTheirOffsets) {
    const std::vector<corrupt_case> cases = {
        {3 * MiB + 1808, "-P9", {5}},
        {3 * MiB + 1808, "-P9", {MiB + 4095, 2 * MiB + 9}},  // two slots
        {3 * MiB + 1805, "-PC", {3 * MiB + 1804}},          // last byte, a partial word in the tail
        {4097, "-PC", {4096}},
    };
    e2e::temp_dir dir;
    for (const corrupt_case& c : cases) {
        std::string offsets;
        for (size_t at : c.flipped) offsets += (offsets.empty() ? "" : ",") + std::to_string(at);
        SCOPED_TRACE("size " + std::to_string(c.size) + ", flipped " + offsets);
        const std::string data = prefix(c.size);
        e2e::write_file(dir.file("src"), data);
        const std::map<std::string, std::string> env = {{"ZEF_FAULT_CORRUPT", offsets}, {"ZEF_FAULT_PATH", "dst"}};

        // The same copy without the read-back reports success.
        result r = run_zef({"src", "dst", "-Write", c.slots}, with_env(dir.path, env));
        EXPECT_EQ(r.status, 0) << status_text(r);
        EXPECT_FALSE(same_file(dir.file("dst"), dir.file("src"))) << "the seam changed nothing";

        std::remove(dir.file("zef-log.txt").c_str());
        r = run_zef({"src", "dst", "-Write", c.slots, "-verify", "-l"}, with_env(dir.path, env));
        EXPECT_EQ(r.status, 1) << status_text(r);
        const std::string log = e2e::read_file(dir.file("zef-log.txt"));
        for (size_t at : c.flipped) {
            const std::string block = flipped_block(data, at);
            EXPECT_NE(r.err.find(block), std::string::npos) << block << r.err;
            EXPECT_NE(log.find(utf16(block)), std::string::npos) << "in the log: " << block;
        }
        EXPECT_NE(r.err.find(differs_line(c.flipped.size())), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("++ copy verified"), std::string::npos) << r.err;
    }
}

TEST(VerifyCorrupt, FailingReadBackFailsTheRun) {
    e2e::temp_dir dir;
    e2e::write_file(dir.file("src"), prefix(3 * MiB + 1808));
    for (const char* range : {"1048581+1:5", "3146000+1:5"}) {  // a slot; the tail
        SCOPED_TRACE(range);
        result r = run_zef({"src", "dst", "-Write", "-verify"},
                           with_env(dir.path, {{"ZEF_FAULT_READ", range}, {"ZEF_FAULT_PATH", "dst"}}));
        EXPECT_EQ(r.status, 2) << status_text(r);
        EXPECT_NE(r.err.find("h_file_verify->read()\n   ^ERROR: 23, "), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("++ copy verified"), std::string::npos) << r.err;
    }
    // Reading back the part a resumed copy keeps: the run stops before writing.
    const std::string old = prefix(2 * MiB + 5000);
    e2e::write_file(dir.file("dst"), old);
    result r = run_zef({"src", "dst", "-Write", "-resume", "-verify"},
                       with_env(dir.path, {{"ZEF_FAULT_READ", "1000000+1:5"}, {"ZEF_FAULT_PATH", "dst"}}));
    EXPECT_EQ(r.status, 2) << status_text(r);
    EXPECT_NE(r.err.find("hFileVerify.read()\n   ^ERROR: 23, "), std::string::npos) << r.err;
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("dst")), old)) << "nothing is written";
}

// ---------------------------------------------------------------------------
// Resuming: the bytes already there are compared first.

TEST(BothVerify, ResumedCopyIsCheckedFromItsFirstByte) {
    const size_t size = 5 * MiB + 1808;
    const std::string data = prefix(size);
    struct tcase {
        size_t cut;       // length of the existing target
        long long wrong;  // its byte stored inverted, -1 for none
    };
    const std::vector<tcase> cases = {
        {3 * MiB + 5000, -1}, {3 * MiB + 5000, 100}, {3 * MiB + 5000, 3 * MiB + 4095}, {size, 2 * MiB + 17}};
    e2e::temp_dir dir;
    e2e::write_file(dir.file("src"), data);
    for (const tcase& c : cases) {
        SCOPED_TRACE("cut at " + std::to_string(c.cut) + ", wrong byte " + std::to_string(c.wrong));
        std::string old = data.substr(0, c.cut);
        if (c.wrong >= 0) {
            const size_t at = static_cast<size_t>(c.wrong);
            old[at] = static_cast<char>(old[at] ^ 0xFF);
        }
        e2e::write_file(dir.file("dst"), old);
        std::remove(dir.file("zef-log.txt").c_str());
        result r = run_zef({"src", "dst", "-Write", "-resume", "-verify", "-l"}, in_dir(dir.path));
        EXPECT_EQ(r.status, 0) << status_text(r);
        if (c.wrong >= 0) {
            const size_t at = static_cast<size_t>(c.wrong);
            const std::string block = flipped_block(data, at);
            EXPECT_NE(r.err.find(block), std::string::npos) << block << r.err;
            EXPECT_NE(e2e::read_file(dir.file("zef-log.txt")).find(utf16(block)), std::string::npos);
            EXPECT_NE(r.err.find("the copy resumes at " + std::to_string(at & ~size_t{4095}) + "\n"),
                      std::string::npos)
                << r.err;
        } else {
            EXPECT_EQ(r.err.find("resumes at"), std::string::npos) << r.err;
        }
        EXPECT_NE(r.err.find(verified_line(size)), std::string::npos) << r.err;
        EXPECT_TRUE(same_file(dir.file("dst"), dir.file("src")));
    }
}

// ---------------------------------------------------------------------------
// Onto a block device (a loop device over a file filled with 0x5A).

class VerifyDevice : public ::testing::Test {
protected:
    static constexpr size_t device_size = 12 * MiB;
    e2e::temp_dir dir;
    std::string dev;

    void SetUp() override {
        e2e::write_file(dir.file("backing"), std::string(device_size, '\x5A'));
        dev = e2e::attach_loop(dir.file("backing"));
        if (dev.empty()) GTEST_SKIP() << "no loop device (needs root and losetup)";
    }
    void TearDown() override { e2e::detach_loop(dev); }
    void refill() {
        e2e::shell("dd if=/dev/zero bs=1M count=12 2>/dev/null | tr '\\0' '\\132' | dd of=" + dev +
                   " bs=1M oflag=direct 2>/dev/null");
    }
};

TEST_F(VerifyDevice, CopiesOfEverySizeAreReadBackAndEqual) {
    // Held exclusively (-L): the read-back handle still reads.
    for (const size_case& c : size_cases({"-L"})) {
        const size_t size = c.size;
        SCOPED_TRACE(c.trace());
        refill();
        e2e::write_file(dir.file("src"), prefix(size));
        result r = run_zef(verify_args(dev, c.sw), in_dir(dir.path));
        EXPECT_EQ(r.status, 0) << status_text(r);
        EXPECT_NE(r.err.find(verified_line(size)), std::string::npos) << r.err;
        const std::string now = e2e::read_file(dev);
        ASSERT_EQ(now.size(), device_size);
        EXPECT_TRUE(same_bytes(now.substr(0, size), prefix(size)));
        EXPECT_TRUE(same_bytes(now.substr(size), std::string(device_size - size, '\x5A')));
    }
}

TEST_F(VerifyDevice, WrongBytesOfTheSeamAreListed) {
    const size_t size = 5 * MiB + 1000;
    const std::string data = prefix(size);
    e2e::write_file(dir.file("src"), data);
    const std::vector<size_t> flipped = {2 * MiB + 100, 5 * MiB + 999};  // a slot; the tail
    const std::map<std::string, std::string> env = {
        {"ZEF_FAULT_CORRUPT", std::to_string(flipped[0]) + "," + std::to_string(flipped[1])}, {"ZEF_FAULT_PATH", dev}};
    result r = run_zef({"src", dev, "-Write"}, with_env(dir.path, env));
    EXPECT_EQ(r.status, 0) << status_text(r);
    r = run_zef({"src", dev, "-Write", "-verify"}, with_env(dir.path, env));
    EXPECT_EQ(r.status, 1) << status_text(r);
    for (size_t at : flipped) EXPECT_NE(r.err.find(flipped_block(data, at)), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(differs_line(2)), std::string::npos) << r.err;
}

// A real device that keeps a wrong byte: a loop device over a FUSE file
// that stores one byte of every write to it inverted.
TEST(VerifyFuse, FlippedByteOfADeviceIsCaught) {
    if (std::string why = e2e::fuse_disk::unavailable(); !why.empty()) GTEST_SKIP() << why;
    const size_t disk_size = 16 * MiB, size = 6 * MiB + 1808, flip_at = 3 * MiB + 12345;
    e2e::temp_dir dir;
    const std::string data = prefix(size);
    e2e::write_file(dir.file("src"), data);
    e2e::fuse_disk disk(dir.path, disk_size, 0, 0, static_cast<long long>(flip_at));
    if (!disk.mounted) GTEST_SKIP() << "mount failed: " << e2e::read_file(disk.log);
    e2e::loop_device loop(disk.file);
    if (loop.dev.empty()) GTEST_SKIP() << "losetup failed";

    result r = run_zef({"src", loop.dev, "-Write"}, in_dir(dir.path));
    EXPECT_EQ(r.status, 0) << status_text(r);
    const std::string now = e2e::read_file(loop.dev).substr(0, size);
    ASSERT_EQ(now.size(), size);
    EXPECT_NE(now[flip_at], data[flip_at]) << "the device kept the byte as written";

    r = run_zef({"src", loop.dev, "-Write", "-verify"}, in_dir(dir.path));
    EXPECT_EQ(r.status, 1) << status_text(r);
    EXPECT_NE(r.err.find(flipped_block(data, flip_at)), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(differs_line(1)), std::string::npos) << r.err;
}

}  // namespace
