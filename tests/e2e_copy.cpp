// End-to-end tests of copying: file to file, onto a device, through
// standard input and output, appending and resuming, a target that runs
// full, and a source with unreadable blocks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

using e2e::file_length;
using e2e::in_dir;
using e2e::options;
using e2e::result;
using e2e::run_zef;
using e2e::same_bytes;
using e2e::same_file;
using e2e::sq;
using e2e::status_text;
using e2e::stdout_to;
using e2e::with_env;

constexpr size_t KiB = 1024;
constexpr size_t MiB = 1024 * KiB;

// Standard input fed in small pieces with pauses.
options fed(const std::string& cwd, const std::string& data) {
    options o = in_dir(cwd);
    o.input = data;
    o.input_short_reads = true;
    return o;
}

// `part` holds the first bytes of `whole` and nothing else.
::testing::AssertionResult is_prefix(const std::string& part, const std::string& whole) {
    long long n = file_length(part), total = file_length(whole);
    if (n < 0) return ::testing::AssertionFailure() << part << " is missing";
    if (n > total) return ::testing::AssertionFailure() << "longer than the source: " << n << " > " << total;
    int st = -1;
    std::string out = e2e::shell("cmp -n " + std::to_string(n) + " " + sq(whole) + " " + sq(part) + " 2>&1", &st);
    if (st == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "cmp: " << out;
}

// A shared pseudo-random source; cases take prefixes of it.
const std::string& source_bytes() {
    static const std::string data = e2e::random_bytes(64 * MiB + 1808, 20251225);
    return data;
}

std::string prefix(size_t n) { return source_bytes().substr(0, n); }

// ---------------------------------------------------------------------------
// File onto a new file, across slot boundaries and with every kind of tail.

TEST(CopyFile, NewFileEqualsSourceForEverySizeAndSlotSize) {
    const size_t page = 2 * MiB;
    const std::vector<size_t> sizes = {0, 1, 4095, 4096, 4097, 10000, page - 1, page + 1, 64 * MiB + 1808};
    // Default 2 MiB slots, 256 KiB (-P9) and 64 KiB (-P7).
    const std::vector<std::vector<std::string>> slot_switches = {{}, {"-P9"}, {"-P7"}};
    e2e::temp_dir dir;
    for (size_t size : sizes) {
        e2e::write_file(dir.file("src"), prefix(size));
        for (const auto& sw : slot_switches) {
            SCOPED_TRACE("size " + std::to_string(size) + (sw.empty() ? "" : " " + sw[0]));
            std::vector<std::string> args = {"src", "dst", "-Write"};
            args.insert(args.end(), sw.begin(), sw.end());
            result r = run_zef(args, in_dir(dir.path));
            EXPECT_EQ(r.status, 0) << status_text(r);
            EXPECT_EQ(file_length(dir.file("dst")), static_cast<long long>(size));
            EXPECT_TRUE(same_file(dir.file("dst"), dir.file("src")));
        }
    }
}

// An existing longer target is replaced, not overwritten in place.
TEST(CopyFile, ExistingTargetIsReplaced) {
    e2e::temp_dir dir;
    e2e::write_file(dir.file("src"), prefix(10000));
    e2e::write_file(dir.file("dst"), std::string(3 * MiB, 'x'));
    result r = run_zef({"src", "dst", "-Write"}, in_dir(dir.path));
    EXPECT_EQ(r.status, 0) << status_text(r);
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("dst")), prefix(10000)));
}

// With the bench switch the copy still waits for what was read: the target
// gets exactly the source, also when the target is slower than the source.
TEST(CopyFile, BenchSwitchWritesExactlyTheSource) {
    e2e::temp_dir dir;
    e2e::write_file(dir.file("src"), source_bytes());
    for (const char* sw : {"-P7", "-P9"}) {
        SCOPED_TRACE(sw);
        result r = run_zef({"src", "dst", "-Write", "-b", sw}, in_dir(dir.path));
        EXPECT_EQ(r.status, 0) << status_text(r);
        EXPECT_TRUE(same_file(dir.file("dst"), dir.file("src")));
    }
    // A pipe that is read only after a pause holds the writer back.
    int st = -1;
    e2e::shell("cd " + sq(dir.path) + " && " + sq(e2e::zef_path()) +
                   " src - -Write -b -P7 2>/dev/null | (sleep 1; cat > out)",
               &st);
    EXPECT_EQ(st, 0);
    EXPECT_TRUE(same_file(dir.file("out"), dir.file("src")));
}

// ---------------------------------------------------------------------------
// Onto a block device (a loop device over a file filled with 0x5A).

class CopyDevice : public ::testing::Test {
protected:
    e2e::temp_dir dir;
    std::string dev;

    void attach(size_t device_size) {
        e2e::write_file(dir.file("backing"), std::string(device_size, '\x5A'));
        dev = e2e::attach_loop(dir.file("backing"));
        if (dev.empty()) GTEST_SKIP() << "no loop device (needs root and losetup)";
    }
    void TearDown() override { e2e::detach_loop(dev); }
    std::string device_bytes() const { return e2e::read_file(dev); }
};

TEST_F(CopyDevice, TailKeepsTheDeviceBytesAfterIt) {
    attach(64 * KiB);
    if (dev.empty()) return;
    e2e::write_file(dir.file("src"), prefix(10000));
    for (const std::vector<std::string>& sw : {std::vector<std::string>{}, {"-P7"}}) {
        SCOPED_TRACE(sw.empty() ? "2 MiB slots" : sw[0]);
        e2e::shell("dd if=/dev/zero bs=64k count=1 2>/dev/null | tr '\\0' '\\132' | dd of=" + dev +
                   " bs=64k oflag=direct 2>/dev/null");
        std::vector<std::string> args = {"src", dev, "-Write"};
        args.insert(args.end(), sw.begin(), sw.end());
        result r = run_zef(args, in_dir(dir.path));
        EXPECT_EQ(r.status, 0) << status_text(r);
        const std::string now = device_bytes();
        ASSERT_EQ(now.size(), 64 * KiB);
        EXPECT_TRUE(same_bytes(now.substr(0, 10000), prefix(10000)));
        EXPECT_TRUE(same_bytes(now.substr(10000), std::string(64 * KiB - 10000, '\x5A')))
            << "bytes after the tail were changed";
    }
}

TEST_F(CopyDevice, CopyStopsAtTheCapacity) {
    struct tcase {
        size_t device, source;
        const char* slots;
        int status;
        std::string message;  // "" = no message
    };
    const std::vector<tcase> cases = {
        // Whole units fill the device, the tail has no room left.
        {40960, 42000, "-P9", 2, "\n{0 < 1040} Not enough space left on disk, partition or volume!"},
        // 512 bytes are left, the tail needs 4040.
        {41472, 45000, "-P7", 2, "\n{512 < 4040} Not enough space left on disk, partition or volume!"},
        // No tail: the writes end at the capacity, and the line tells what
        // of the slot found no room.
        {40960, 131072, "-P7", 2, "\n{0 < 24576} Not enough space left on disk, partition or volume!"},
        // The source fits exactly.
        {40960, 40960, "-P7", 0, ""},
        // A device whose end is not on a 4096-byte unit: a tail that fits
        // exactly, and one that leaves a sector of the device untouched.
        {41472, 41472, "-P7", 0, ""},
        {41984, 41472, "-P7", 0, ""},
    };
    for (const tcase& c : cases) {
        SCOPED_TRACE("device " + std::to_string(c.device) + ", source " + std::to_string(c.source));
        attach(c.device);
        if (dev.empty()) return;
        e2e::write_file(dir.file("src"), prefix(c.source));
        result r = run_zef({"src", dev, "-Write", c.slots}, in_dir(dir.path));
        EXPECT_EQ(r.status, c.status) << status_text(r);
        if (c.message.empty()) {
            EXPECT_EQ(r.err.find("Not enough space"), std::string::npos) << r.err;
        } else {
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        }
        const size_t written = c.status == 0 ? c.source : (c.device & ~size_t{4095});
        const std::string now = device_bytes();
        ASSERT_EQ(now.size(), c.device);
        EXPECT_TRUE(same_bytes(now.substr(0, written), prefix(written)));
        EXPECT_TRUE(same_bytes(now.substr(written), std::string(c.device - written, '\x5A')));
        e2e::detach_loop(dev);
        dev.clear();
    }
}

// ---------------------------------------------------------------------------
// Standard input and standard output.

TEST(CopyStream, StandardInputWithShortReadsOntoAFile) {
    e2e::temp_dir dir;
    for (size_t size : {size_t{10000}, 5 * MiB + 1808}) {
        SCOPED_TRACE("size " + std::to_string(size));
        const std::string data = prefix(size);
        e2e::write_file(dir.file("src"), data);
        result r = run_zef({"-", "dst", "-Write", "-sha1"},
                           fed(dir.path, data));
        EXPECT_EQ(r.status, 0) << status_text(r);
        EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("dst")), data));
        const std::string sha1 = e2e::tool_digest("sha1sum", dir.file("src"));
        EXPECT_NE(r.err.find(sha1 + "  -"), std::string::npos) << r.err;
    }
}

TEST(CopyStream, FileOntoStandardOutput) {
    e2e::temp_dir dir;
    const std::string data = prefix(5 * MiB + 1808);
    e2e::write_file(dir.file("src"), data);
    const std::string sha1 = e2e::tool_digest("sha1sum", dir.file("src"));

    result r = run_zef({"src", "-", "-Write", "-sha1"}, stdout_to(dir.path, dir.file("out")));
    EXPECT_EQ(r.status, 0) << status_text(r);
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("out")), data)) << "standard output carries only the data";
    EXPECT_NE(r.err.find(sha1 + "  src"), std::string::npos) << r.err;

    // Into a pipe, read by sha1sum.
    int st = -1;
    std::string piped = e2e::shell("cd " + sq(dir.path) + " && " + sq(e2e::zef_path()) +
                                       " src - -Write 2>/dev/null | sha1sum",
                                   &st);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(piped.substr(0, 40), sha1);
}

TEST(CopyStream, OneRunPipedIntoAnother) {
    e2e::temp_dir dir;
    const std::string data = prefix(5 * MiB + 1808);
    e2e::write_file(dir.file("src"), data);
    const std::string z = sq(e2e::zef_path());
    int st = -1;
    e2e::shell("cd " + sq(dir.path) + " && " + z + " src - -Write -P7 2>/dev/null | " + z +
                   " - dst -Write -sha1 2>err",
               &st);
    EXPECT_EQ(st, 0);
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("dst")), data));
    const std::string sha1 = e2e::tool_digest("sha1sum", dir.file("src"));
    EXPECT_NE(e2e::read_file(dir.file("err")).find(sha1 + "  -"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Appending and resuming.

TEST(CopyAppend, SourceGoesAfterTheExistingContent) {
    struct tcase {
        long long old_size;  // -1: no target yet
        const char* sw;
    };
    const std::string data = prefix(3 * MiB + 1808);
    e2e::temp_dir dir;
    e2e::write_file(dir.file("src"), data);
    for (const tcase& c : std::vector<tcase>{{-1, "-append"}, {5000, "-append"}, {8192, "-a"}, {2 * MiB + 4095, "-a"}}) {
        SCOPED_TRACE("existing " + std::to_string(c.old_size) + " " + c.sw);
        std::remove(dir.file("dst").c_str());
        const std::string old = c.old_size < 0 ? "" : e2e::random_bytes(static_cast<size_t>(c.old_size), 7);
        if (c.old_size >= 0) e2e::write_file(dir.file("dst"), old);
        result r = run_zef({"src", "dst", "-Write", c.sw}, in_dir(dir.path));
        EXPECT_EQ(r.status, 0) << status_text(r);
        EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("dst")), old + data));
    }
}

TEST(CopyResume, TargetCutAtAnyLengthIsCompleted) {
    const size_t size = 3 * MiB + 1808;
    const std::string data = prefix(size);
    e2e::temp_dir dir;
    e2e::write_file(dir.file("src"), data);
    struct tcase {
        size_t cut;
        const char* sw;
    };
    const std::vector<tcase> cases = {{0, "-resume"},       {4096, "-resume"},     {4096 * 600, "-r"},
                                      {1234567, "-resume"}, {size - 1, "-r"},      {size - 1808, "-resume"},
                                      {size, "-resume"}};
    for (const tcase& c : cases) {
        SCOPED_TRACE("cut at " + std::to_string(c.cut) + " " + c.sw);
        e2e::write_file(dir.file("dst"), data.substr(0, c.cut));
        result r = run_zef({"src", "dst", "-Write", c.sw}, in_dir(dir.path));
        EXPECT_EQ(r.status, 0) << status_text(r);
        EXPECT_TRUE(same_file(dir.file("dst"), dir.file("src")));
    }
}

// A large source so that the copy is still running when it is stopped; a
// copy that finished first passes the same checks.
class CopyInterrupted : public ::testing::Test {
protected:
    static e2e::temp_dir* dir;
    static void SetUpTestSuite() {
        dir = new e2e::temp_dir;
        e2e::shell("head -c 512M /dev/urandom > " + sq(dir->file("src")));
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }
};
e2e::temp_dir* CopyInterrupted::dir = nullptr;

TEST_F(CopyInterrupted, ResumeAfterSigintOrSigkillCompletesTheCopy) {
    ASSERT_EQ(file_length(dir->file("src")), static_cast<long long>(512 * MiB));
    for (bool sigkill : {false, true}) {
        SCOPED_TRACE(sigkill ? "SIGKILL" : "SIGINT");
        std::remove(dir->file("dst").c_str());
        options o = in_dir(dir->path);
        (sigkill ? o.sigkill_after_ms : o.sigint_after_ms) = 500;
        result r = run_zef({"src", "dst", "-Write"}, o);
        const long long reached = file_length(dir->file("dst"));
        if (r.status == 0) {
            EXPECT_TRUE(same_file(dir->file("dst"), dir->file("src"))) << "finished before the signal";
        } else if (sigkill) {
            EXPECT_EQ(r.status, 128 + 9) << status_text(r);
        } else {
            EXPECT_EQ(r.status, 2) << status_text(r);
            // Stopped before the copy began, the run leaves no new target.
            if (reached != -1) {
                EXPECT_TRUE(is_prefix(dir->file("dst"), dir->file("src")));
            }
        }
        std::printf("    stopped at %lld bytes (status %d)\n", reached, r.status);

        r = run_zef({"src", "dst", "-Write", "-resume"}, in_dir(dir->path));
        EXPECT_EQ(r.status, 0) << status_text(r);
        EXPECT_TRUE(same_file(dir->file("dst"), dir->file("src")));
    }
}

// ---------------------------------------------------------------------------
// A target that runs full.

TEST(CopyTargetFull, WriteFailureStopsWithThePrefixWritten) {
    struct tcase {
        size_t source;
        size_t full_at;  // the first byte the target cannot take
        const char* report;
    };
    const std::vector<tcase> cases = {
        {5 * MiB + 100, 3 * MiB + 4096, "h_file->write()"},
        {10000, 9000, "h_file->write(write_unaligned)"},  // in the tail
    };
    e2e::temp_dir dir;
    for (const tcase& c : cases) {
        SCOPED_TRACE("full at " + std::to_string(c.full_at));
        e2e::write_file(dir.file("src"), prefix(c.source));
        result r = run_zef({"src", "dst", "-Write"},
                           with_env(dir.path, {{"ZEF_FAULT_WRITE", std::to_string(c.full_at) + "+1:28"}, {"ZEF_FAULT_PATH", "dst"}}));
        EXPECT_EQ(r.status, 2) << status_text(r);
        EXPECT_NE(r.err.find(std::string(c.report) + "\n   ^ERROR: 112, "), std::string::npos) << r.err;
        EXPECT_EQ(file_length(dir.file("dst")), static_cast<long long>(c.full_at));
        EXPECT_TRUE(is_prefix(dir.file("dst"), dir.file("src")));
    }
}

TEST(CopyTargetFull, SmallFileSystemRunsFull) {
    if (!e2e::is_root()) GTEST_SKIP() << "mounting needs root";
    e2e::temp_dir dir;
    const std::string mnt = dir.file("mnt");
    e2e::shell("mkdir " + sq(mnt));
    int st = -1;
    e2e::shell("mount -t tmpfs -o size=1m tmpfs " + sq(mnt) + " 2>&1", &st);
    if (st != 0) GTEST_SKIP() << "tmpfs cannot be mounted here";
    struct unmount {
        std::string path;
        ~unmount() { e2e::shell("umount " + sq(path) + " 2>/dev/null"); }
    } guard{mnt};

    e2e::write_file(dir.file("src"), prefix(3 * MiB + 1808));
    result r = run_zef({"src", "mnt/dst", "-Write"}, in_dir(dir.path));
    EXPECT_EQ(r.status, 2) << status_text(r);
    EXPECT_NE(r.err.find("h_file->write()\n   ^ERROR: 112, "), std::string::npos) << r.err;
    EXPECT_LE(file_length(mnt + "/dst"), static_cast<long long>(MiB));
    EXPECT_TRUE(is_prefix(mnt + "/dst", dir.file("src")));
}

// ---------------------------------------------------------------------------
// A source with unreadable blocks.

TEST(CopyUnreadable, UnreadableBlocksBecome0xADAndTheCopyCompletes) {
    struct tcase {
        size_t source;
        const char* slots;
        std::string faults;
        std::vector<std::pair<size_t, size_t>> filled;  // [from, to) expected as 0xAD
        std::vector<std::string> lines;
    };
    const std::vector<tcase> cases = {
        {MiB + 1000, "-P7", "300000+10:5", {{262144, 327680}}, {" addr 40000  page 4  CRC 1\n"}},
        // In the last, partial slot: no more filler than the source has.
        {MiB + 1000, "-P7", "1049000+1:5", {{MiB, MiB + 1000}}, {" addr 100000  page 10  CRC 1\n"}},
        {MiB + 1000,
         "-P7",
         "300000+10:5,700000+1:5",
         {{262144, 327680}, {655360, 720896}},
         {" addr 40000  page 4  CRC 1\n", " addr a0000  page a  CRC 2\n"}},
        {5 * MiB + 1808, "-P8", "0x200001+1:5", {{2 * MiB, 2 * MiB + 128 * KiB}}, {" addr 200000  page 10  CRC 1\n"}},
    };
    e2e::temp_dir dir;
    for (const tcase& c : cases) {
        SCOPED_TRACE(c.faults);
        std::string want = prefix(c.source);
        e2e::write_file(dir.file("src"), want);
        for (auto [from, to] : c.filled) want.replace(from, to - from, to - from, '\xAD');
        result r = run_zef({"src", "dst", "-Write", c.slots},
                           with_env(dir.path, {{"ZEF_FAULT_READ", c.faults}, {"ZEF_FAULT_PATH", "src"}}));
        EXPECT_EQ(r.status, 3) << status_text(r);
        for (const std::string& line : c.lines) EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
        EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("dst")), want));
    }
}

TEST(CopyUnreadable, FailedReadStopsAndResumeCompletes) {
    e2e::temp_dir dir;
    e2e::write_file(dir.file("src"), prefix(3 * MiB + 1808));
    result r = run_zef({"src", "dst", "-Write", "-P7"},
                       with_env(dir.path, {{"ZEF_FAULT_READ", "1048581+1:13"}, {"ZEF_FAULT_PATH", "src"}}));
    EXPECT_EQ(r.status, 2) << status_text(r);
    EXPECT_NE(r.err.find("h_file->read(pp_DATA[ip])\n   ^ERROR: 5, "), std::string::npos) << r.err;
    EXPECT_LE(file_length(dir.file("dst")), static_cast<long long>(MiB)) << "nothing from the failed slot on";
    EXPECT_TRUE(is_prefix(dir.file("dst"), dir.file("src")));

    r = run_zef({"src", "dst", "-Write", "-resume"}, in_dir(dir.path));
    EXPECT_EQ(r.status, 0) << status_text(r);
    EXPECT_TRUE(same_file(dir.file("dst"), dir.file("src")));
}

// ---------------------------------------------------------------------------
// The same under the Windows build.

TEST(BothCopy, FileToFileWithATail) {
    e2e::temp_dir dir;
    e2e::write_file(dir.path + "/src", prefix(10000));
    result r = run_zef({"src", "dst", "-Write"}, in_dir(dir.path));
    EXPECT_EQ(r.status, 0) << status_text(r);
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("dst")), prefix(10000)));
}

TEST(BothCopy, StandardInputToFile) {
    e2e::temp_dir dir;
    const std::string data = prefix(300000);
    result r = run_zef({"-", "dst", "-Write"}, fed(dir.path, data));
    EXPECT_EQ(r.status, 0) << status_text(r);
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("dst")), data));
}

TEST(BothCopy, FileToStandardOutput) {
    e2e::temp_dir dir;
    const std::string data = prefix(300000);
    e2e::write_file(dir.file("src"), data);
    result r = run_zef({"src", "-", "-Write"}, stdout_to(dir.path, dir.file("out")));
    EXPECT_EQ(r.status, 0) << status_text(r);
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("out")), data));
}

}  // namespace
