// End to end under load: 500 short runs, chosen by a fixed seed,
// mixing hashes (of files and of pipes), comparisons (with and without peak
// levels) and copies of files from empty to a few MiB
// through rings of 1, 2 and 16 slots of 512 bytes to 2 MiB. Every result is
// checked against digests by coreutils and bytes known to the test; every
// run has a time-out, so that a lost wake-up fails instead of hanging.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "harness.h"

namespace {

constexpr size_t MiB = 1024 * 1024;
using e2e::join;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct sample {
    std::string name;  // f<i>; g<i> equal, h<i> one byte changed, s<i> its first half
    std::string data;
    size_t changed = 0;  // the byte changed in h<i>
    std::string sha1, md5;
};

TEST(Stress, MixedShortRuns) {
    e2e::temp_dir dir;
    const std::vector<size_t> sizes = {0,       1,           511,         512,       4096, 65543,
                                       MiB + 1, 2 * MiB,     2 * MiB + 1808, 3 * MiB + 5, 5 * MiB + 3};
    std::mt19937 pick(20261210);
    std::vector<sample> samples;
    for (size_t i = 0; i < sizes.size(); ++i) {
        sample s;
        s.name = std::to_string(i);
        s.data = e2e::random_bytes(sizes[i], static_cast<unsigned>(100 + i));
        e2e::write_file(dir.file("f" + s.name), s.data);
        e2e::write_file(dir.file("g" + s.name), s.data);
        if (!s.data.empty()) {
            s.changed = pick() % s.data.size();
            std::string h = s.data;
            h[s.changed] = static_cast<char>(h[s.changed] ^ 0x20);
            e2e::write_file(dir.file("h" + s.name), h);
        }
        e2e::write_file(dir.file("s" + s.name), s.data.substr(0, s.data.size() / 2));
        s.sha1 = e2e::tool_digest("sha1sum", dir.file("f" + s.name));
        s.md5 = e2e::tool_digest("md5sum", dir.file("f" + s.name));
        ASSERT_EQ(s.sha1.size(), 40u);
        ASSERT_EQ(s.md5.size(), 32u);
        samples.push_back(std::move(s));
    }
    const std::vector<std::string> rings = {"-0", "-1", "-4"};
    const std::vector<std::string> blocks = {"-P0", "-P7", "-PB", ""};  // 512 B, 64 KiB, 1 MiB, 2 MiB

    e2e::options o;
    o.cwd = dir.path;
    o.timeout_ms = 20000;
    const int runs = 500;
    for (int run = 0; run < runs; ++run) {
        const sample& s = samples[pick() % samples.size()];
        const std::string f = "f" + s.name, g = "g" + s.name, h = "h" + s.name, half = "s" + s.name;
        const bool sha1 = pick() % 2 == 0;
        const std::string alg = sha1 ? "-sha1" : "-md5", digest = sha1 ? s.sha1 : s.md5;
        std::vector<std::string> shape = {rings[pick() % rings.size()]};
        if (const std::string& b = blocks[pick() % blocks.size()]; !b.empty()) shape.push_back(b);
        int op = static_cast<int>(pick() % 8);
        if (op == 2 && s.data.empty()) op = 1;  // nothing to change
        if (op == 4 && s.data.size() < 2) op = 1;  // no shorter input

        std::vector<std::string> args;
        switch (op) {
        case 0: args = {f, alg}; break;
        case 1: args = {f, g}; break;
        case 2: args = {f, h}; break;
        case 3: args = {f, g, "-c", alg}; break;
        case 4: args = {f, half}; break;
        case 6: args = {"-", alg}; break;
        case 7: args = {f, s.data.empty() || pick() % 2 ? g : h, "-p", "-c"}; break;
        default: args = {f, "copy", "-Write"}; if (pick() % 2) args.push_back(alg); break;
        }
        args.insert(args.end(), shape.begin(), shape.end());
        SCOPED_TRACE("run " + std::to_string(run) + ": zef " + join(args));
        e2e::options piped = o;
        if (op == 6) {
            piped.input = s.data;
            piped.input_short_reads = true;
        }
        const e2e::result r = e2e::run_zef(args, piped);
        ASSERT_FALSE(r.timed_out) << r.err;
        switch (op) {
        case 0:
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, digest + "  " + f + "\n");
            break;
        case 1:
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(has(r.err, "++ no differences encountered. ")) << r.err;
            break;
        case 2: {
            char block[32];
            std::snprintf(block, sizeof block, "%08llx:[", static_cast<unsigned long long>(s.changed & ~size_t{7}));
            EXPECT_EQ(r.status, 1) << r.err;
            EXPECT_TRUE(has(r.err, block)) << "no block " << block << " in\n" << r.err;
            EXPECT_TRUE(has(r.err, "!! files are different. ")) << r.err;
            break;
        }
        case 3:
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(has(r.out, digest + "  " + f + "\n")) << r.out;
            EXPECT_TRUE(has(r.err, digest + "  " + g + "\n")) << r.err;
            break;
        case 4:
            EXPECT_EQ(r.status, 1) << r.err;
            EXPECT_TRUE(has(r.err, "!! file is smaller [" + half + "]\n")) << r.err;
            break;
        case 6:
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, digest + "  -\n");
            break;
        case 7:
            // The peaks do not end the comparison early.
            if (args[1] == g) {
                EXPECT_EQ(r.status, 0) << r.err;
                EXPECT_TRUE(has(r.err, "++ no differences encountered. ")) << r.err;
            } else {
                EXPECT_EQ(r.status, 1) << r.err;
                EXPECT_TRUE(has(r.err, "!! files are different. ")) << r.err;
            }
            break;
        default:
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(e2e::read_file(dir.file("copy")) == s.data) << "the copy differs from the source";
            if (args.size() > 3 && args[3] == alg) {
                EXPECT_TRUE(has(r.err, digest + "  " + f + "\n")) << r.err;
            }
            ::unlink(dir.file("copy").c_str());
            break;
        }
        if (::testing::Test::HasFailure()) return;
    }
}

}  // namespace
