// End to end: how runs end. A full-scale peak on one of two compared inputs,
// a failed read or write, a full target and Ctrl+C on either side, through
// rings of 1, 2 and 16 slots: every run ends within its time-out with a
// sound status. A writer that stops early stops the reading too, and Ctrl+C
// ends a run at once even while a pipe read or write is blocked.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using e2e::concat;
using e2e::join;
using e2e::options;
using e2e::result;
using e2e::run_zef;

constexpr size_t MiB = 1024 * 1024;
const char* const kSame = "++ no differences encountered. ";
const char* const kDifferent = "!! files are different. ";

std::string report(const result& r) {
    return "status " + std::to_string(r.status) + (r.timed_out ? " (timed out)" : "") + "\nstderr:\n" + r.err;
}

options in_dir(const std::string& cwd, int timeout_ms) {
    options o;
    o.cwd = cwd;
    o.timeout_ms = timeout_ms;
    return o;
}

// 16-bit little-endian samples.
void put_sample(std::string& s, size_t at, int16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

// Quiet audio: samples within +-100.
std::string quiet_samples(size_t bytes, unsigned seed) {
    std::string s = e2e::random_bytes(bytes, seed);
    for (size_t i = 0; i + 1 < bytes; i += 2) put_sample(s, i, static_cast<int16_t>(static_cast<uint8_t>(s[i]) % 201 - 100));
    return s;
}

// ---------------------------------------------------------------------------
// Two inputs compared with the peak switch through a 1-slot ring, the first
// reaching full scale early: the peak's stop must neither hang the second
// input nor end the comparison.

class RingFullScale : public ::testing::Test {
protected:
    e2e::temp_dir dir;
    struct row {
        std::string first, second;
        std::string first_level, second_level;  // their peak lines' levels
        int status;                             // with -c
        std::string verdict;                    // with -c
        std::string block;                      // a listed block with -c, "" = none
    };
    std::vector<row> rows;
    const std::vector<std::vector<std::string>> shapes = {{"-0", "-P0"}, {"-0"}, {"-0", "-P7"}};

    void SetUp() override {
        const size_t size = 3 * MiB + 10;
        const std::string quiet = quiet_samples(size, 7);
        // First inputs: a full-scale sample in the first slot, either sign.
        std::string plus = quiet, minus = quiet;
        put_sample(plus, 1000, 0x7fff);
        put_sample(minus, 1000, static_cast<int16_t>(0x8000));
        std::string late = plus;
        late[2 * MiB + 4097] = static_cast<char>(late[2 * MiB + 4097] ^ 0x01);
        e2e::write_file(dir.file("plus"), plus);
        e2e::write_file(dir.file("minus"), minus);
        e2e::write_file(dir.file("plus2"), plus);
        e2e::write_file(dir.file("quiet"), quiet);
        e2e::write_file(dir.file("late"), late);
        rows = {
            {"plus", "plus2", " 99.997%", " 99.997%", 0, kSame, ""},
            {"plus", "quiet", " 99.997%", "  0.305%", 1, kDifferent, "\n000003e8:["},
            {"minus", "quiet", "100.000%", "  0.305%", 1, kDifferent, "\n000003e8:["},
            {"plus", "late", " 99.997%", " 99.997%", 1, kDifferent, "\n00201000:["},
        };
    }

    std::vector<std::string> args_of(const row& c, const std::vector<std::string>& shape, bool with_compare) const {
        std::vector<std::string> args = concat({c.first, c.second, "-p"}, shape);
        if (with_compare) args.push_back("-c");
        return args;
    }
};

// 300 runs: every one ends, with both peak lines.
TEST_F(RingFullScale, ComparedWithPeakNeverHangs) {
    const options o = in_dir(dir.path, 10000);
    int runs = 0;
    while (runs < 300)
        for (const row& c : rows)
            for (const auto& shape : shapes)
                for (bool with_compare : {true, false}) {
                    const std::vector<std::string> args = args_of(c, shape, with_compare);
                    SCOPED_TRACE("run " + std::to_string(runs) + ": " + join(args));
                    const result r = run_zef(args, o);
                    ++runs;
                    ASSERT_FALSE(r.timed_out) << report(r);
                    EXPECT_TRUE(r.status == 0 || r.status == 1) << report(r);
                    EXPECT_NE(r.err.find(c.first_level + " " + c.first + "\n"), std::string::npos) << r.err;
                    EXPECT_NE(r.err.find(c.second_level + " " + c.second + "\n"), std::string::npos) << r.err;
                    if (::testing::Test::HasFailure()) return;
                }
}

// The first input's full-scale stop ends its peak measurement, not the
// comparison: the verdict and the status are those of the whole inputs.
// Without -c the two inputs are only measured.
TEST_F(RingFullScale, PeakStopDoesNotEndTheComparison) {
    const options o = in_dir(dir.path, 10000);
    for (const row& c : rows)
        for (const auto& shape : shapes)
            for (bool with_compare : {true, false}) {
                const std::vector<std::string> args = args_of(c, shape, with_compare);
                SCOPED_TRACE(join(args));
                const result r = run_zef(args, o);
                ASSERT_FALSE(r.timed_out) << report(r);
                if (with_compare) {
                    EXPECT_EQ(r.status, c.status) << report(r);
                    EXPECT_NE(r.err.find(c.verdict), std::string::npos) << r.err;
                    if (!c.block.empty()) {
                        EXPECT_NE(r.err.find(c.block), std::string::npos) << r.err;
                    }
                } else {
                    EXPECT_EQ(r.status, 0) << report(r);
                    EXPECT_EQ(r.err.find(kDifferent), std::string::npos) << r.err;
                }
            }
}

// ---------------------------------------------------------------------------
// Each cause of an early end, on either side, with 1, 2 and 16 slots of
// 64 KiB and of 2 MiB: status 2 well within the time-out.

class StopCause : public ::testing::Test {
protected:
    e2e::temp_dir dir;
    const std::vector<std::vector<std::string>> shapes = {{"-0", "-P7"}, {"-1", "-P7"}, {"-4", "-P7"},
                                                          {"-0"},        {"-1"},        {"-4"}};
    const size_t size = 8 * MiB + 1808;
    const std::string fault_at = std::to_string(5 * MiB + 3);

    void SetUp() override {
        const std::string data = e2e::random_bytes(size, 31);
        e2e::write_file(dir.file("a"), data);
        e2e::write_file(dir.file("b"), data);
        // Long inputs for Ctrl+C: MD2 digests them at some 10 MB/s.
        ASSERT_EQ(e2e::shell("truncate -s 256M '" + dir.file("long1") + "' '" + dir.file("long2") + "' && echo ok"),
                  "ok\n");
    }

    struct row {
        std::string name;
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        int sigint_after_ms = -1;
        bool input_open = false;  // standard input a pipe that stays open and idle
    };

    void run_rows(const std::vector<row>& rows) {
        for (const row& c : rows)
            for (const auto& shape : shapes) {
                SCOPED_TRACE(c.name + ": " + join(concat(c.args, shape)));
                options o = in_dir(dir.path, 10000);
                o.env = c.env;
                o.sigint_after_ms = c.sigint_after_ms;
                o.input_stays_open = c.input_open;
                const result r = run_zef(concat(c.args, shape), o);
                EXPECT_EQ(r.status, 2) << report(r);
                ::unlink(dir.file("dst").c_str());
                // One hang per row is enough to know.
                if (r.timed_out) break;
            }
    }
};

TEST_F(StopCause, ComparedInputs) {
    const std::vector<row> rows = {
        {"read fails on the first input", {"a", "b", "-c", "-sha1"},
         {{"ZEF_FAULT_READ", fault_at + "+1:13"}, {"ZEF_FAULT_PATH", "a"}}},
        {"read fails on the second input", {"a", "b", "-c", "-sha1"},
         {{"ZEF_FAULT_READ", fault_at + "+1:13"}, {"ZEF_FAULT_PATH", "b"}}},
        {"read fails on the second input, no hash", {"a", "b"},
         {{"ZEF_FAULT_READ", fault_at + "+1:13"}, {"ZEF_FAULT_PATH", "b"}}},
        {"ctrl+c while hashing both", {"long1", "long2", "-c", "-md2"}, {}, 200},
        {"ctrl+c, the first input an idle pipe", {"-", "b", "-c"}, {}, 200, true},
        {"ctrl+c, the second input an idle pipe", {"a", "-", "-c"}, {}, 200, true},
    };
    run_rows(rows);
}

TEST_F(StopCause, Copies) {
    const std::vector<row> rows = {
        {"read fails on the source", {"a", "dst", "-Write", "-sha1"},
         {{"ZEF_FAULT_READ", fault_at + "+1:13"}, {"ZEF_FAULT_PATH", "a"}}},
        {"write fails on the target", {"a", "dst", "-Write", "-sha1"},
         {{"ZEF_FAULT_WRITE", fault_at + "+1:5"}, {"ZEF_FAULT_PATH", "dst"}}},
        {"target full", {"a", "dst", "-Write", "-sha1"},
         {{"ZEF_FAULT_WRITE", fault_at + "+1:28"}, {"ZEF_FAULT_PATH", "dst"}}},
        {"ctrl+c while hashing", {"long1", "dst", "-Write", "-md2"}, {}, 200},
        {"ctrl+c, the source an idle pipe", {"-", "dst", "-Write", "-sha1"}, {}, 200, true},
    };
    run_rows(rows);
}

TEST_F(StopCause, CopyOntoASmallerDevice) {
    e2e::write_file(dir.file("backing"), std::string(2 * MiB, '\x5A'));
    const std::string dev = e2e::attach_loop(dir.file("backing"));
    if (dev.empty()) GTEST_SKIP() << "no loop device (needs root and losetup)";
    struct detach {
        std::string dev;
        ~detach() { e2e::detach_loop(dev); }
    } guard{dev};
    run_rows({{"device full", {"a", dev, "-Write", "-sha1"}, {}}});
}

// ---------------------------------------------------------------------------
// A writer that stops early (the target full or failing at 2 MiB) while a
// slow hash runs: the source is read no further than one ring past that
// point, and a device that is full says so. ZEF_COUNT_READS has the binary
// write the bytes it read.

TEST(StopEarly, WriterStopEndsTheReading) {
    e2e::temp_dir dir;
    const std::string source = e2e::random_bytes(10 * MiB, 41);
    e2e::write_file(dir.file("src"), source);
    std::string dev;
    e2e::write_file(dir.file("backing"), std::string(2 * MiB, '\x5A'));
    dev = e2e::attach_loop(dir.file("backing"));
    struct detach {
        std::string dev;
        ~detach() { e2e::detach_loop(dev); }
    } guard{dev};

    struct target {
        std::string name, path;
        std::map<std::string, std::string> env;
    };
    std::vector<target> targets = {
        {"target full at 2 MiB", "dst", {{"ZEF_FAULT_WRITE", "2097152+1:28"}, {"ZEF_FAULT_PATH", "dst"}}},
        {"write fails at 2 MiB", "dst", {{"ZEF_FAULT_WRITE", "2097152+1:5"}, {"ZEF_FAULT_PATH", "dst"}}},
    };
    if (!dev.empty()) targets.push_back({"a 2 MiB device", dev, {}});
    struct shape {
        std::vector<std::string> args;
        size_t ring;  // bytes
    };
    const std::vector<shape> shapes = {{{"-0"}, 2 * MiB}, {{"-1", "-PB"}, 2 * MiB}, {{"-4", "-P9"}, 4 * MiB}};
    for (const target& t : targets)
        for (const shape& s : shapes) {
            SCOPED_TRACE(t.name + " " + join(s.args));
            options o = in_dir(dir.path, 30000);
            o.env = t.env;
            o.env["ZEF_COUNT_READS"] = dir.file("reads");
            ::unlink(dir.file("reads").c_str());
            const result r = run_zef(concat({"src", t.path, "-Write", "-md2"}, s.args), o);
            EXPECT_FALSE(r.timed_out) << report(r);
            EXPECT_EQ(r.status, 2) << report(r);
            if (t.path == dev) {
                EXPECT_NE(r.err.find("} Not enough space left on disk, partition or volume!"), std::string::npos)
                    << r.err;
            }
            const std::string counted = e2e::read_file(dir.file("reads"));
            ASSERT_FALSE(counted.empty()) << "no count of the bytes read";
            EXPECT_LE(std::stoull(counted), 2 * MiB + s.ring) << "bytes read of the 10 MiB source";
            const std::string written = e2e::read_file(t.path == dev ? dev : dir.file("dst"));
            ASSERT_GE(written.size(), 2 * MiB);
            EXPECT_TRUE(written.compare(0, 2 * MiB, source, 0, 2 * MiB) == 0) << "the first 2 MiB differ";
            ::unlink(dir.file("dst").c_str());
        }
}

// ---------------------------------------------------------------------------
// Ctrl+C ends the run within half a second, with status 2, however the run
// is held: a read from a pipe that stays idle, a write into a pipe nobody
// reads, a long copy. 20 trials each, the signal 100 to 290 ms in.

class StopSigint : public ::testing::Test {
protected:
    e2e::temp_dir dir;
    void trials(const std::vector<std::string>& args, options o) {
        o.cwd = dir.path;
        o.timeout_ms = 10000;
        for (int trial = 0; trial < 20; ++trial) {
            SCOPED_TRACE("trial " + std::to_string(trial) + ": " + join(args));
            o.sigint_after_ms = 100 + 10 * trial;
            const result r = run_zef(args, o);
            ASSERT_FALSE(r.timed_out) << report(r);
            EXPECT_EQ(r.status, 2) << report(r);
            EXPECT_NE(r.err.find("CTRL+C typed!"), std::string::npos) << r.err;
            EXPECT_GE(r.sigint_to_exit_ms, 0.0) << "ended before the signal";
            EXPECT_LT(r.sigint_to_exit_ms, 500.0);
            ::unlink(dir.file("dst").c_str());
            if (::testing::Test::HasFailure()) return;
        }
    }
};

TEST_F(StopSigint, BlockedPipeRead) {
    options o;
    o.input = "a few bytes, then nothing";
    o.input_stays_open = true;
    trials({"-", "-sha1"}, o);
}

TEST_F(StopSigint, BlockedPipeWrite) {
    ASSERT_EQ(e2e::shell("truncate -s 256M '" + dir.file("src") + "' && echo ok"), "ok\n");
    options o;
    o.stdout_unread = true;
    trials({"src", "-", "-Write"}, o);
}

// Data flowing at full speed (onto the null device, so that nothing lands on
// the disk), and a slow hash holding every slot for a while.
TEST_F(StopSigint, LongCopy) {
    ASSERT_EQ(e2e::shell("truncate -s 64G '" + dir.file("src") + "' && echo ok"), "ok\n");
    trials({"src", "/dev/null", "-Write", "-sha1"}, {});
    trials({"src", "dst", "-Write", "-md2"}, {});
}

}  // namespace
