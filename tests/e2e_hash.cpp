// End to end: digests of files, pipes and devices as the binary prints them,
// peak levels, unreadable blocks, Ctrl+C, and the slot hand-over under load.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "harness.h"

namespace {

constexpr size_t KiB = size_t{1} << 10;
constexpr size_t MiB = size_t{1} << 20;
constexpr size_t page = 2 * MiB;  // the default slot: one large page

// MD2 after RFC 1319: no tool on the machine computes it.
const uint8_t md2_s[256] = {
    41,  46,  67,  201, 162, 216, 124, 1,   61,  54,  84,  161, 236, 240, 6,   19,  98,  167, 5,   243, 192, 199,
    115, 140, 152, 147, 43,  217, 188, 76,  130, 202, 30,  155, 87,  60,  253, 212, 224, 22,  103, 66,  111, 24,
    138, 23,  229, 18,  190, 78,  196, 214, 218, 158, 222, 73,  160, 251, 245, 142, 187, 47,  238, 122, 169, 104,
    121, 145, 21,  178, 7,   63,  148, 194, 16,  137, 11,  34,  95,  33,  128, 127, 93,  154, 90,  144, 50,  39,
    53,  62,  204, 231, 191, 247, 151, 3,   255, 25,  48,  179, 72,  165, 181, 209, 215, 94,  146, 42,  172, 86,
    170, 198, 79,  184, 56,  210, 150, 164, 125, 182, 118, 252, 107, 226, 156, 116, 4,   241, 69,  157, 112, 89,
    100, 113, 135, 32,  134, 91,  207, 101, 230, 45,  168, 2,   27,  96,  37,  173, 174, 176, 185, 246, 28,  70,
    97,  105, 52,  64,  126, 15,  85,  71,  163, 35,  221, 81,  175, 58,  195, 92,  249, 206, 186, 197, 234, 38,
    44,  83,  13,  110, 133, 40,  132, 9,   211, 223, 205, 244, 65,  129, 77,  82,  106, 220, 55,  200, 108, 193,
    171, 250, 36,  225, 123, 8,   12,  189, 177, 74,  120, 136, 149, 139, 227, 99,  232, 109, 233, 203, 213, 254,
    59,  0,   29,  57,  242, 239, 183, 14,  102, 88,  208, 228, 166, 119, 114, 248, 235, 117, 75,  10,  49,  68,
    80,  180, 143, 237, 31,  26,  219, 153, 141, 51,  159, 17,  131, 20};

std::string md2_hex(const std::string& data) {
    uint8_t state[16] = {}, check[16] = {};
    auto block = [&](const uint8_t* m) {
        uint8_t x[48];
        for (int i = 0; i < 16; ++i) {
            x[i] = state[i];
            x[16 + i] = m[i];
            x[32 + i] = static_cast<uint8_t>(state[i] ^ m[i]);
        }
        unsigned t = 0;
        for (unsigned round = 0; round < 18; ++round) {
            for (int j = 0; j < 48; ++j) t = x[j] ^= md2_s[t];
            t = (t + round) & 0xFF;
        }
        for (int i = 0; i < 16; ++i) state[i] = x[i];
        t = check[15];
        for (int i = 0; i < 16; ++i) t = check[i] ^= md2_s[m[i] ^ t];
    };
    const auto* p = reinterpret_cast<const uint8_t*>(data.data());
    size_t n = data.size(), i = 0;
    for (; i + 16 <= n; i += 16) block(p + i);
    uint8_t last[16];
    const size_t rest = n - i, pad = 16 - rest;
    for (size_t k = 0; k < 16; ++k) last[k] = k < rest ? p[i + k] : static_cast<uint8_t>(pad);
    block(last);
    uint8_t sum[16];
    std::copy(check, check + 16, sum);
    block(sum);
    std::string hex;
    char two[3];
    for (uint8_t b : state) {
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

// Digest of a file by a tool outside the binary.
std::string reference(const std::string& alg, const std::string& path) {
    if (alg == "-md2") return md2_hex(e2e::read_file(path));
    static const std::map<std::string, std::string> tools = {
        {"-md4", "openssl dgst -md4 -provider legacy -provider default -r"},
        {"-md5", "md5sum"},
        {"-sha1", "sha1sum"},
        {"-sha256", "sha256sum"},
        {"-sha384", "sha384sum"},
        {"-sha512", "sha512sum"},
        {"-xxh128", "xxh128sum"},
    };
    return e2e::tool_digest(tools.at(alg), path);
}

// SHA-1 of pieces laid end to end: each piece's bytes `times` times, an empty
// piece standing for `times` zero bytes.
std::string sha1_hex(const std::vector<std::pair<std::string, size_t>>& pieces) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr);
    const std::string zeros(MiB, '\0');
    for (const auto& [bytes, times] : pieces) {
        if (bytes.empty()) {
            for (size_t left = times; left > 0;) {
                const size_t n = std::min(left, zeros.size());
                EVP_DigestUpdate(ctx, zeros.data(), n);
                left -= n;
            }
        } else {
            for (size_t i = 0; i < times; ++i) EVP_DigestUpdate(ctx, bytes.data(), bytes.size());
        }
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx, md, &len);
    EVP_MD_CTX_free(ctx);
    return e2e::hex_of(md, len);
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string join(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& w : v) s += (s.empty() ? "" : " ") + w;
    return s;
}

// 16-bit little-endian samples.
std::string samples(const std::vector<int>& values) {
    std::string s;
    for (int v : values) {
        const auto u = static_cast<uint16_t>(v);
        s += static_cast<char>(u & 0xFF);
        s += static_cast<char>(u >> 8);
    }
    return s;
}

std::string repeat(const std::string& unit, size_t times) {
    std::string s;
    s.reserve(unit.size() * times);
    for (size_t i = 0; i < times; ++i) s += unit;
    return s;
}

// Random files shared by the suite, one per size, named by their size.
class Hash : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<e2e::temp_dir>();
        made_.clear();
    }
    static void TearDownTestSuite() { dir_.reset(); }

    static std::string dir() { return dir_->path; }
    static std::string sized(size_t n) {
        const std::string name = "r" + std::to_string(n);
        if (!made_[n]) {
            e2e::write_file(dir_->file(name), e2e::random_bytes(n, static_cast<unsigned>(n * 2654435761u + 1)));
            made_[n] = true;
        }
        return name;
    }
    static e2e::options in_dir() {
        e2e::options o;
        o.cwd = dir();
        o.timeout_ms = 120000;
        return o;
    }

private:
    static std::unique_ptr<e2e::temp_dir> dir_;
    static std::map<size_t, bool> made_;
};
std::unique_ptr<e2e::temp_dir> Hash::dir_;
std::map<size_t, bool> Hash::made_;

TEST(HashReference, Md2KnownVectors) {
    EXPECT_EQ(md2_hex(""), "8350e5a3e24c153df2275c9f80692773");
    EXPECT_EQ(md2_hex("abc"), "da853b0d3f88d99b30283a69e6ded6bb");
    EXPECT_EQ(md2_hex("message digest"), "ab4f496bfb2a530b219ff33031fe06b0");
    EXPECT_EQ(md2_hex("abcdefghijklmnopqrstuvwxyz"), "4e8ddff3650292ab5a4108c3aa47940b");
    EXPECT_EQ(md2_hex(repeat("1234567890", 8)), "d5976f79d83d3a0dc9806c3c66f3efd8");
}

// Every size that lands on or beside a boundary of the 4 KiB alignment and
// of the 2 MiB slot; each algorithm on a few of them.
TEST_F(Hash, FileDigestsEqualReferences) {
    struct row {
        std::string alg;
        size_t size;
    };
    std::vector<row> rows;
    for (size_t n : {size_t{0}, size_t{1}, size_t{4095}, size_t{4096}, size_t{5000}, page - 1, page, page + 1, 64 * MiB})
        for (const char* alg : {"-sha1", "-sha256"}) rows.push_back({alg, n});
    for (const char* alg : {"-md2", "-md4", "-md5", "-sha384", "-sha512"})
        for (size_t n : {size_t{0}, size_t{5000}, page + 1}) rows.push_back({alg, n});
    for (const char* alg : {"-md4", "-md5", "-sha512"}) rows.push_back({alg, 64 * MiB});

    for (const auto& c : rows) {
        SCOPED_TRACE(c.alg + " " + std::to_string(c.size));
        const std::string f = sized(c.size);
        e2e::result r = e2e::run_zef({f, c.alg}, in_dir());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, reference(c.alg, dir() + "/" + f) + "  " + f + "\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Hash, NoSwitchMeansSha1) {
    const std::string f = sized(5000);
    e2e::result r = e2e::run_zef({f}, in_dir());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, reference("-sha1", dir() + "/" + f) + "  " + f + "\n");
}

// One slot (-0), 512-byte buffered slots (-P0), 16 MiB slots (-?3), with
// inputs around their boundaries.
TEST_F(Hash, RingAndSlotShapes) {
    struct row {
        std::vector<std::string> shape;
        std::string alg;
        std::vector<size_t> sizes;
    };
    const std::vector<row> rows = {
        {{"-0"}, "-sha1", {0, 1, page - 1, page, page + 1, 5 * page + 3}},
        {{"-0"}, "-md5", {page + 1}},
        {{"-P0"}, "-sha1", {0, 1, 511, 512, 513, 5000, MiB + 7}},
        {{"-P0"}, "-sha256", {4095, page + 1}},
        {{"-?3"}, "-sha256", {0, 5000, 16 * MiB - 1, 16 * MiB, 16 * MiB + 1, 64 * MiB}},
        {{"-0", "-?3"}, "-sha1", {16 * MiB + 1, 64 * MiB}},
        {{"-PB"}, "-sha512", {MiB - 1, MiB, 3 * MiB + 1}},
    };
    for (const auto& c : rows)
        for (size_t n : c.sizes) {
            SCOPED_TRACE(join(c.shape) + " " + c.alg + " " + std::to_string(n));
            const std::string f = sized(n);
            e2e::result r = e2e::run_zef(concat({f, c.alg}, c.shape), in_dir());
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, reference(c.alg, dir() + "/" + f) + "  " + f + "\n");
            EXPECT_EQ(r.err, "");
        }
}

// A pipe hands over at most 64 KiB per read, here in uneven pieces with
// pauses: every slot is filled whole before it is hashed.
TEST_F(Hash, StdinFedInShortPieces) {
    struct row {
        size_t size;
        std::vector<std::string> args;
    };
    const std::vector<row> rows = {
        {0, {"-sha1"}},
        {1, {"-sha1"}},
        {5000, {"-sha256"}},
        {page - 1, {"-sha1"}},
        {page + 1, {"-sha512"}},
        {3 * page + 12345, {"-sha1", "-0"}},
        {9 * MiB + 77, {"-sha256", "-PB"}},
        {MiB + 7, {"-md5", "-P0"}},
        {page + 1, {"-md2"}},
        {page + 1, {"-md4", "-?3"}},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(join(c.args) + " " + std::to_string(c.size));
        const std::string f = sized(c.size);
        e2e::options o = in_dir();
        o.input = e2e::read_file(dir() + "/" + f);
        o.input_short_reads = true;
        e2e::result r = e2e::run_zef(concat({"-"}, c.args), o);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, reference(c.args[0], dir() + "/" + f) + "  -\n");
        EXPECT_EQ(r.err, "");
    }
}

// The loop device holds whole sectors of its backing file: 10 MiB + 512 of
// a 10 MiB + 612 byte file. Its last slot is short.
TEST_F(Hash, LoopDeviceDigest) {
    if (!e2e::is_root()) GTEST_SKIP() << "needs root for losetup";
    const std::string data = e2e::random_bytes(10 * MiB + 612, 77);
    const std::string backing = dir() + "/backing.img", held = dir() + "/held.img";
    e2e::write_file(backing, data);
    e2e::write_file(held, data.substr(0, 10 * MiB + 512));
    struct attached {
        std::string dev;
        ~attached() { e2e::detach_loop(dev); }
    } loop{e2e::attach_loop(backing)};
    const std::string& dev = loop.dev;
    if (dev.empty()) GTEST_SKIP() << "no loop device";
    struct row {
        std::vector<std::string> args;
    };
    const std::vector<row> rows = {
        {{"-sha1"}}, {{"-sha256", "-P0"}}, {{"-md5", "-PB", "-0"}}, {{"-sha512", "-?3"}}, {{"-sha1", "-0"}},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(join(c.args));
        e2e::result r = e2e::run_zef(concat({dev}, c.args), in_dir());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, reference(c.args[0], held) + "  " + dev + "\n");
    }
}

// Two inputs hashed without comparing: the first digest on standard output,
// the second on standard error, and each covers its whole input whichever
// of the two is longer.
TEST_F(Hash, TwoInputsEachDigestWhole) {
    const std::string small = sized(3 * MiB), large = sized(40 * MiB);
    struct row {
        std::string first, second;
        std::vector<std::string> args;
    };
    const std::vector<row> rows = {
        {small, large, {"-sha256"}},
        {large, small, {"-sha256"}},
        {small, large, {"-sha1", "-0"}},
        {large, small, {"-md5", "-4"}},
        {sized(0), small, {"-sha1"}},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(c.first + " " + c.second + " " + join(c.args));
        e2e::result r = e2e::run_zef(concat({c.first, c.second}, c.args), in_dir());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, reference(c.args[0], dir() + "/" + c.first) + "  " + c.first + "\n");
        EXPECT_EQ(r.err, reference(c.args[0], dir() + "/" + c.second) + "  " + c.second + "\n");
    }
}

// Peak lines: largest magnitude of the 16-bit samples, in percent of 32768.
TEST_F(Hash, PeakLevels) {
    struct row {
        std::string name;
        std::string data;
        std::vector<std::string> args;
        std::string level;
    };
    const std::vector<row> rows = {
        {"max", samples({100, -5, 32767, 7}), {}, " 99.997%"},
        {"min", samples({3, -32768, 12}), {}, "100.000%"},
        {"half", samples({16384, 0, -100}), {}, " 50.000%"},
        {"neghalf", samples({-16384, 16383}), {}, " 50.000%"},
        {"silent", std::string(4096, '\0'), {}, "  0.000%"},
        {"empty", "", {}, "  0.000%"},
        // The seventh byte belongs to no sample: 0x80 in it is not a peak.
        {"odd", std::string(6, '\0') + "\x80", {}, "  0.000%"},
        {"oddhalf", samples({16384}) + "\xFF", {}, " 50.000%"},
        // The level carries over from slot to slot (512-byte slots).
        {"carried", samples({16384}) + repeat(samples({1, -1}), 256 * KiB), {"-P0"}, " 50.000%"},
        {"late", repeat(samples({1, -1}), 256 * KiB) + samples({-16384}), {"-P0"}, " 50.000%"},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(c.name);
        e2e::write_file(dir() + "/" + c.name, c.data);
        e2e::result r = e2e::run_zef(concat({c.name, "-p"}, c.args), in_dir());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.level + " " + c.name + "\n");
    }
}

// A full-scale start ends a peak-only run early: a read beyond the first
// slots would fail (the fault at 32 MiB), yet the run ends well. With a
// hash the whole file is still read and digested.
TEST_F(Hash, FullScalePeakEndsEarlyUnlessHashing) {
    struct row {
        std::string name;
        int sample;
        std::string level;
    };
    for (const row& c : {row{"loud", -32768, "100.000%"}, row{"edge", 32767, " 99.997%"}}) {
        SCOPED_TRACE(c.name);
        const std::string path = dir() + "/" + c.name;
        e2e::write_file(path, repeat(samples({c.sample}), page / 2) + e2e::random_bytes(page, 5));
        ASSERT_EQ(::truncate(path.c_str(), 64 * MiB), 0);

        e2e::options o = in_dir();
        o.env = {{"ZEF_FAULT_READ", "0x2000000+1048576:13"}, {"ZEF_FAULT_PATH", c.name}};
        e2e::result r = e2e::run_zef({c.name, "-p"}, o);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.level + " " + c.name + "\n");

        r = e2e::run_zef({c.name, "-p", "-sha1"}, in_dir());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, reference("-sha1", path) + "  " + c.name + "\n");
        EXPECT_EQ(r.err, c.level + " " + c.name + "\n");
    }
}

// A full-scale sample ends only the peak measurement: a comparison or a copy
// of the same input goes on to its end, with one slot or many.
TEST_F(Hash, FullScalePeakLeavesComparisonAndCopyWhole) {
    const std::string loud = repeat(samples({32767}), 64) + e2e::random_bytes(6 * MiB + 3, 17);
    std::string changed = loud;
    changed[6 * MiB] ^= 0x01;
    e2e::write_file(dir() + "/loud", loud);
    e2e::write_file(dir() + "/same", loud);
    e2e::write_file(dir() + "/changed", changed);
    for (const char* ring : {"-0", "-4"}) {
        SCOPED_TRACE(ring);
        e2e::options o = in_dir();
        o.timeout_ms = 20000;
        e2e::result r = e2e::run_zef({"loud", "changed", "-p", "-c", ring}, o);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("00600000:["), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("!! files are different. "), std::string::npos) << r.err;

        r = e2e::run_zef({"loud", "same", "-p", "-c", ring}, o);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("++ no differences encountered. "), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("file is smaller"), std::string::npos) << r.err;

        std::remove((dir() + "/copy").c_str());
        r = e2e::run_zef({"loud", "copy", "-p", "-Write", ring}, o);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(e2e::read_file(dir() + "/copy") == loud) << "the copy differs from its source";
    }
}

// An unreadable 1 MiB block at 1 GiB of a 2 GiB file read in 1 MiB slots:
// reported, replaced by 0xAD in the digest, status 3.
TEST_F(Hash, UnreadableBlockBecomesFiller) {
    const std::string name = "sparse2g", path = dir() + "/" + name;
    ASSERT_EQ(e2e::shell("truncate -s 2G '" + path + "' && echo ok"), "ok\n");
    // Data around the bad block, so that the filler must sit exactly there.
    const std::string around = e2e::random_bytes(3 * MiB, 9);
    e2e::write_file(dir() + "/around", around);
    ASSERT_EQ(e2e::shell("dd if='" + dir() + "/around' of='" + path +
                         "' bs=1M seek=1023 conv=notrunc status=none && echo ok"),
              "ok\n");
    // The expected bytes, digested here: zeros, the data around with the
    // block in its middle turned to 0xAD, zeros.
    std::string middle = around;
    middle.replace(MiB, MiB, MiB, '\xAD');
    const std::string expected =
        sha1_hex({{std::string(), 1023 * MiB}, {middle, 1}, {std::string(), 2048 * MiB - 1026 * MiB}});

    e2e::options o = in_dir();
    o.env = {{"ZEF_FAULT_READ", "0x40000000+1048576:5"}, {"ZEF_FAULT_PATH", name}};
    e2e::result r = e2e::run_zef({name, "-PB"}, o);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, expected + "  " + name + "\n");
    EXPECT_EQ(r.err, " addr 40000000  page 400  CRC 1\n");
}

// A read that fails for good: reported, no digest, status 2.
TEST_F(Hash, FailedReadGivesNoDigest) {
    const std::string f = sized(8 * MiB);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-PB"}, {"-sha256", "-0"}}) {
        SCOPED_TRACE(join(args));
        e2e::options o = in_dir();
        o.env = {{"ZEF_FAULT_READ", "0x400000+1048576:13"}, {"ZEF_FAULT_PATH", f}};
        e2e::result r = e2e::run_zef(concat({f}, args), o);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("\nh_file->read(pp_DATA[ip])\n   ^ERROR: 5, "), std::string::npos) << r.err;
    }
}

// Ctrl+C during a long hash (MD2 runs at some 10 MB/s): the notice, status 2,
// an end long before the input's. SIGQUIT keeps its default action.
TEST_F(Hash, InterruptedRuns) {
    const std::string name = "long2g";
    ASSERT_EQ(e2e::shell("truncate -s 2G '" + dir() + "/" + name + "' && echo ok"), "ok\n");
    const std::string notice = "\n\tCTRL+C typed! exitting...\n";
    {
        e2e::options o = in_dir();
        o.timeout_ms = 20000;
        o.sigint_after_ms = 300;
        e2e::result r = e2e::run_zef({name, "-md2"}, o);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(notice), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    {
        e2e::options o = in_dir();
        o.timeout_ms = 20000;
        o.sigint_after_ms = 300;
        o.input = e2e::random_bytes(128 * MiB, 3);  // some 13 s of MD2
        e2e::result r = e2e::run_zef({"-", "-md2"}, o);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(notice), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    {
        e2e::options o = in_dir();
        o.timeout_ms = 20000;
        o.signal_number = SIGQUIT;
        o.signal_after_ms = 300;
        e2e::result r = e2e::run_zef({name, "-md2"}, o);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 128 + SIGQUIT);
        EXPECT_EQ(r.err.find(notice), std::string::npos);
    }
}

// The same on both builds: digests of files and of standard input, two
// inputs of different lengths, a peak line.
TEST(BothHash, DigestsTwoInputsAndPeak) {
    e2e::temp_dir dir;
    e2e::options o;
    o.cwd = dir.path;
    o.timeout_ms = 120000;
    for (size_t n : {size_t{0}, size_t{4095}, size_t{5000}, page + 1, 3 * MiB})
        e2e::write_file(dir.file("f" + std::to_string(n)), e2e::random_bytes(n, static_cast<unsigned>(n + 3)));
    struct row {
        std::vector<std::string> args;
    };
    const std::vector<row> rows = {
        {{"f2097153"}}, {{"f5000", "-md2"}}, {{"f4095", "-md4"}}, {{"f0", "-sha512"}},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(join(c.args));
        e2e::result r = e2e::run_zef(c.args, o);
        const std::string alg = c.args.size() > 1 ? c.args[1] : "-sha1";
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, reference(alg, dir.file(c.args[0])) + "  " + c.args[0] + "\n");
    }

    e2e::options piped = o;
    piped.input = e2e::read_file(dir.file("f2097153"));
    piped.input_short_reads = true;
    e2e::result r = e2e::run_zef({"-", "-sha256"}, piped);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, reference("-sha256", dir.file("f2097153")) + "  -\n");

    r = e2e::run_zef({"f5000", "f3145728", "-sha256"}, o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, reference("-sha256", dir.file("f5000")) + "  f5000\n");
    EXPECT_EQ(r.err, reference("-sha256", dir.file("f3145728")) + "  f3145728\n");

    e2e::write_file(dir.file("half"), samples({16384, -3, 7}) + "\x80");
    r = e2e::run_zef({"half", "-p"}, o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, " 50.000% half\n");
}

// ---------------------------------------------------------------- lists

// What zef prints for a -hash= list: "ALG (shown) = hex" per name (any case),
// in list order, each digest by an outside tool.
std::string tag_lines(const std::string& list, const std::string& path, const std::string& shown) {
    std::string lines;
    size_t at = 0;
    for (;;) {
        const size_t comma = list.find(',', at);
        std::string name = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        std::string lower = name, upper = name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        lines += upper + " (" + shown + ") = " + reference("-" + lower, path) + "\n";
        if (comma == std::string::npos) return lines;
        at = comma + 1;
    }
}

const std::string every_alg = "md2,md4,md5,sha1,sha256,sha384,sha512,xxh128";

// Sizes on and beside the 4 KiB unit and the 2 MiB slot, and many slots;
// a one-digest list, the fast algorithms and (on the small sizes) all eight.
TEST_F(Hash, ListDigestsEqualReferences) {
    struct row {
        std::string list;
        std::vector<size_t> sizes;
    };
    const std::vector<row> rows = {
        {"md5,sha1,sha256,xxh128", {0, 1, 4095, 4096, 4097, page, page + 1, 5 * page + 12345}},
        {every_alg, {0, 1, 4097, page + 1}},
        {"xxh128", {0, 4097, page + 1}},
        {"Sha512,MD4,sha384", {5 * page + 12345}},
    };
    for (const auto& c : rows)
        for (size_t n : c.sizes) {
            SCOPED_TRACE(c.list + " " + std::to_string(n));
            const std::string f = sized(n);
            e2e::result r = e2e::run_zef({f, "-hash=" + c.list}, in_dir());
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, tag_lines(c.list, dir() + "/" + f, f));
            EXPECT_EQ(r.err, "");
        }
}

// -xxh128 alone prints like the other single digests: "hex  path".
TEST_F(Hash, Xxh128DigestsEqualXxh128sum) {
    struct row {
        std::vector<std::string> shape;
        std::vector<size_t> sizes;
    };
    const std::vector<row> rows = {
        {{}, {0, 1, 4095, 4096, 4097, page, page + 1, 5 * page + 12345}},
        {{"-0"}, {page, page + 1}},
        {{"-4"}, {5 * page + 12345}},
        {{"-P0"}, {4097}},
    };
    for (const auto& c : rows)
        for (size_t n : c.sizes) {
            SCOPED_TRACE(join(c.shape) + " " + std::to_string(n));
            const std::string f = sized(n);
            e2e::result r = e2e::run_zef(concat({f, "-xxh128"}, c.shape), in_dir());
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, reference("-xxh128", dir() + "/" + f) + "  " + f + "\n");
            EXPECT_EQ(r.err, "");
        }
}

// The lines follow the list, whatever its order (every order of four).
TEST_F(Hash, ListInEveryOrder) {
    const std::string f = sized(page + 1);
    std::vector<std::string> names = {"md4", "sha1", "SHA256", "xxh128"};
    std::sort(names.begin(), names.end());
    int orders = 0;
    do {
        std::string list;
        for (const std::string& n : names) list += (list.empty() ? "" : ",") + n;
        SCOPED_TRACE(list);
        e2e::result r = e2e::run_zef({f, "-hash=" + list, "-P9"}, in_dir());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, tag_lines(list, dir() + "/" + f, f));
        ++orders;
    } while (std::next_permutation(names.begin(), names.end()));
    EXPECT_EQ(orders, 24);
}

// Rings of 1 and 16 slots, from a file and from a pipe fed in short pieces.
TEST_F(Hash, ListThroughRingsAndPipes) {
    struct row {
        std::vector<std::string> shape;
        size_t size;
        bool piped;
    };
    const std::vector<row> rows = {
        {{"-0"}, page + 1, false},          {{"-0"}, 5 * page + 12345, false}, {{"-4"}, 5 * page + 12345, false},
        {{"-0"}, 5 * page + 12345, true},   {{"-4"}, 5 * page + 12345, true},  {{}, 0, true},
        {{"-PB"}, page + 1, true},          {{"-4", "-P0"}, 4097, true},
    };
    const std::string list = "md5,xxh128,sha1";
    for (const auto& c : rows) {
        SCOPED_TRACE(join(c.shape) + " " + std::to_string(c.size) + (c.piped ? " piped" : ""));
        const std::string f = sized(c.size);
        e2e::options o = in_dir();
        if (c.piped) {
            o.input = e2e::read_file(dir() + "/" + f);
            o.input_short_reads = true;
        }
        e2e::result r = e2e::run_zef(concat({c.piped ? "-" : f, "-hash=" + list}, c.shape), o);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, tag_lines(list, dir() + "/" + f, c.piped ? "-" : f));
        EXPECT_EQ(r.err, "");
    }
}

// Two inputs: the first input's lines where its single digest goes
// (standard output), the second's where its digest goes (standard error).
TEST_F(Hash, ListOfTwoInputs) {
    const std::string small = sized(3 * MiB), large = sized(5 * page + 12345);
    const std::string list = "sha256,xxh128,md5";
    for (const auto& [first, second] : {std::pair{small, large}, std::pair{large, small}}) {
        SCOPED_TRACE(first + " " + second);
        e2e::result r = e2e::run_zef({first, second, "-hash=" + list}, in_dir());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, tag_lines(list, dir() + "/" + first, first));
        EXPECT_EQ(r.err, tag_lines(list, dir() + "/" + second, second));
    }
    // Compared as well: identical inputs, status 0; both lists of lines.
    e2e::write_file(dir() + "/copy", e2e::read_file(dir() + "/" + large));
    e2e::result r = e2e::run_zef({large, "copy", "-c", "-hash=" + list}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(tag_lines(list, dir() + "/" + large, large)), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(tag_lines(list, dir() + "/copy", "copy")), std::string::npos) << r.err;
}

// A copy: the source's lines on standard error, the target equal to it.
TEST_F(Hash, ListWithCopy) {
    const std::string f = sized(5 * page + 12345);
    const std::string list = "xxh128,sha1";
    e2e::result r = e2e::run_zef({f, "target", "-Write", "-hash=" + list}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(tag_lines(list, dir() + "/" + f, f)), std::string::npos) << r.err;
    EXPECT_EQ(e2e::read_file(dir() + "/target"), e2e::read_file(dir() + "/" + f));
    EXPECT_EQ(r.out.find(" ("), std::string::npos) << r.out;
}

// An unreadable 1 MiB block: every digest of the list covers 0xAD there.
TEST_F(Hash, ListUnreadableBlockInEveryDigest) {
    const std::string name = "badblock", path = dir() + "/" + name;
    const std::string data = e2e::random_bytes(8 * MiB + 777, 21);
    e2e::write_file(path, data);
    std::string expected = data;
    expected.replace(4 * MiB, MiB, MiB, '\xAD');
    e2e::write_file(dir() + "/expected", expected);

    const std::string list = "md5,sha256,xxh128";
    e2e::options o = in_dir();
    o.env = {{"ZEF_FAULT_READ", "0x400000+1048576:5"}, {"ZEF_FAULT_PATH", name}};
    for (const char* ring : {"-0", "-4"}) {
        SCOPED_TRACE(ring);
        e2e::result r = e2e::run_zef({name, "-hash=" + list, "-PB", ring}, o);
        EXPECT_EQ(r.status, 3) << r.err;
        EXPECT_EQ(r.out, tag_lines(list, dir() + "/expected", name));
        EXPECT_EQ(r.err, " addr 400000  page 4  CRC 1\n");
    }
}

// The checkers users have accept the lines, and refuse them once the file
// has changed.
TEST_F(Hash, OutputsPassCksumAndXxh128sum) {
    const std::string name = "checked", path = dir() + "/" + name;
    e2e::write_file(path, e2e::random_bytes(3 * page + 5, 31));
    struct row {
        std::vector<std::string> args;
        std::vector<std::string> checkers;
    };
    const std::vector<row> rows = {
        {{"-hash=md5,sha1,sha256"}, {"cksum -c"}},
        {{"-hash=sha384,sha512,md5"}, {"cksum -c"}},
        {{"-xxh128"}, {"xxh128sum -c"}},
        {{"-hash=xxh128"}, {"xxh128sum -c"}},
        {{"-hash=sha256,xxh128"}, {"cksum -c", "xxh128sum -c"}},
        {{"-sha1"}, {"sha1sum -c"}},
    };
    const std::string sums = dir() + "/sums";
    for (const auto& c : rows) {
        SCOPED_TRACE(join(c.args));
        e2e::write_file(path, e2e::random_bytes(3 * page + 5, 31));
        e2e::options o = in_dir();
        o.stdout_path = sums;
        e2e::result r = e2e::run_zef(concat({name}, c.args), o);
        ASSERT_EQ(r.status, 0) << r.err;
        for (const std::string& check : c.checkers) {
            int status = -1;
            const std::string out = e2e::shell("cd '" + dir() + "' && " + check + " sums 2>/dev/null", &status);
            EXPECT_EQ(status, 0) << check << "\n" << out << e2e::read_file(sums);
            EXPECT_NE(out.find(name + ": OK"), std::string::npos) << check << "\n" << out;
        }
        // One byte changed in the last slot.
        std::string changed = e2e::read_file(path);
        changed[3 * page + 2] = static_cast<char>(changed[3 * page + 2] ^ 1);
        e2e::write_file(path, changed);
        for (const std::string& check : c.checkers) {
            int status = -1;
            const std::string out = e2e::shell("cd '" + dir() + "' && " + check + " sums 2>/dev/null", &status);
            EXPECT_EQ(status, 1) << check << "\n" << out;
            EXPECT_NE(out.find(name + ": FAILED"), std::string::npos) << check << "\n" << out;
        }
    }
}

// A bad list ends the run before anything is opened: no log, no copy
// target, the source not read (a fault on it would show).
TEST(HashList, BadListsRefusedBeforeAnyOpen) {
    e2e::temp_dir dir;
    e2e::write_file(dir.file("src"), "data");
    struct row {
        std::string arg, named;
    };
    const std::vector<row> rows = {
        {"-hash=", "the list is empty"},
        {"-hash=md5,sha3", "\"sha3\" is not an algorithm"},
        {"-HASH=md5,sha1,MD5", "\"MD5\" is named twice"},
        {"-hash=md5,,sha1", "name 2 is empty"},
        {"-hash=crc32", "\"crc32\" is not an algorithm"},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(c.arg);
        e2e::options o;
        o.cwd = dir.path;
        o.env = {{"ZEF_FAULT_READ", "0+4096:13"}, {"ZEF_FAULT_PATH", "src"}};
        e2e::result r = e2e::run_zef({"src", "dst", "-Write", "-l", c.arg}, o);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("!! " + c.arg + ": " + c.named + "; ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
        EXPECT_EQ(e2e::shell("ls -A '" + dir.path + "'"), "src\n");
    }
}

// Single hash switches beside a list: the list is used, and said so.
TEST_F(Hash, ListWinsOverSingleSwitches) {
    const std::string f = sized(4097);
    e2e::result r = e2e::run_zef({f, "-sha512", "-hash=md5,xxh128", "-SHA1"}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, tag_lines("md5,xxh128", dir() + "/" + f, f));
    EXPECT_EQ(r.err, "!! -hash=md5,xxh128 and -SHA1 given: the list is used\n");
}

// The same digests from the Windows build: a file and a pipe.
TEST(BothHashList, FileAndPipe) {
    e2e::temp_dir dir;
    e2e::options o;
    o.cwd = dir.path;
    o.timeout_ms = 120000;
    const std::string list = "md5,sha1,sha256,xxh128,md4";
    for (size_t n : {size_t{4097}, 2 * page + 5}) {
        const std::string name = "f" + std::to_string(n);
        e2e::write_file(dir.file(name), e2e::random_bytes(n, static_cast<unsigned>(n + 41)));
        SCOPED_TRACE(name);
        e2e::result r = e2e::run_zef({name, "-hash=" + list}, o);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, tag_lines(list, dir.file(name), name));

        e2e::options piped = o;
        piped.input = e2e::read_file(dir.file(name));
        piped.input_short_reads = true;
        r = e2e::run_zef({"-", "-hash=" + list}, piped);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, tag_lines(list, dir.file(name), "-"));

        r = n == 4097 ? e2e::run_zef({name, "-xxh128"}, o) : e2e::run_zef({"-", "-xxh128", "-0"}, piped);
        const std::string shown = n == 4097 ? name : "-";
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, reference("-xxh128", dir.file(name)) + "  " + shown + "\n");
    }
}

// A busy loop on the other core while the guard lives.
class busy_core {
public:
    busy_core() {
        const std::string out = e2e::shell("sh -c 'while :; do :; done' >/dev/null 2>&1 & echo $!");
        pid_ = static_cast<pid_t>(std::stol(out));
    }
    ~busy_core() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, WNOHANG);
        }
    }
    busy_core(const busy_core&) = delete;
    busy_core& operator=(const busy_core&) = delete;

private:
    pid_t pid_ = -1;
};

// Many short runs through rings of 1, 2 and 16 slots and small slots: each
// must end, with the right digests and verdicts.
void hand_over_rounds(const std::string& dir, int rounds) {
    const std::string a = "a", same = "same", other = "other", shorter = "shorter";
    const std::string data = e2e::random_bytes(7 * MiB + 123, 11);
    e2e::write_file(dir + "/" + a, data);
    e2e::write_file(dir + "/" + same, data);
    std::string changed = data;
    changed[5 * MiB + 3] = static_cast<char>(changed[5 * MiB + 3] ^ 0x40);
    e2e::write_file(dir + "/" + other, changed);
    e2e::write_file(dir + "/" + shorter, data.substr(0, 3 * MiB + 5));
    const std::string digest = reference("-sha1", dir + "/" + a);

    const std::vector<std::vector<std::string>> shapes = {
        {"-0"}, {"-1"}, {"-4"}, {"-0", "-PB"}, {"-1", "-PB"}, {"-4", "-P9"}, {"-1", "-P7"},
    };
    e2e::options o;
    o.cwd = dir;
    o.timeout_ms = 30000;
    e2e::options piped = o;
    piped.input = data;
    piped.input_short_reads = true;
    int runs = 0;
    for (int round = 0; round < rounds; ++round)
        for (const auto& shape : shapes) {
            SCOPED_TRACE("round " + std::to_string(round) + " " + join(shape));
            e2e::result r = e2e::run_zef(concat({a, "-sha1"}, shape), o);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, digest + "  a\n");

            r = e2e::run_zef(concat({"-", "-sha1"}, shape), piped);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, digest + "  -\n");

            r = e2e::run_zef(concat({a, same, "-c", "-sha1"}, shape), o);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out.find(digest + "  a\n"), std::string::npos) << r.out;
            EXPECT_NE(r.err.find(digest + "  same\n"), std::string::npos) << r.err;

            r = e2e::run_zef(concat({a, other}, shape), o);
            EXPECT_EQ(r.status, 1) << r.err;
            EXPECT_NE(r.err.find("00500000:["), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("!! files are different. "), std::string::npos) << r.err;

            r = e2e::run_zef(concat({a, shorter}, shape), o);
            EXPECT_EQ(r.status, 1) << r.err;
            EXPECT_NE(r.err.find("!! file is smaller [shorter]\n"), std::string::npos) << r.err;
            runs += 5;
            if (::testing::Test::HasFailure()) return;
        }
    EXPECT_EQ(runs, rounds * 5 * static_cast<int>(shapes.size()));
}

TEST_F(Hash, HandOverStress) { hand_over_rounds(dir(), 3); }

TEST_F(Hash, HandOverStressOtherCoreBusy) {
    busy_core load;
    hand_over_rounds(dir(), 3);
}

}  // namespace
