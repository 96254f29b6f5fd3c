// The auxiliary modes through the built binary: the write benchmark, the
// peak normalization of raw audio and the partition-table dump.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

using e2e::run_zef;

constexpr size_t KiB = 1024;

// ---------------------------------------------------------------- helpers

// Run options: the working folder, and what else a case needs.
e2e::options at(const std::string& cwd) {
    e2e::options o;
    o.cwd = cwd;
    return o;
}

e2e::options at(const std::string& cwd, std::map<std::string, std::string> env) {
    e2e::options o = at(cwd);
    o.env = std::move(env);
    return o;
}

std::string samples_to_bytes(const std::vector<int>& samples) {
    std::string s(2 * samples.size(), '\0');
    for (size_t i = 0; i < samples.size(); ++i) {
        s[2 * i] = static_cast<char>(samples[i] & 0xFF);
        s[2 * i + 1] = static_cast<char>((samples[i] >> 8) & 0xFF);
    }
    return s;
}

int sample_of(const std::string& bytes, size_t i) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                                      (static_cast<uint8_t>(bytes[2 * i + 1]) << 8)));
}

// The normalization worked out independently: the peak is the largest
// magnitude unless full-scale samples exist (then the last one decides);
// above 28672 every sample becomes floor(s * (0x70000000 / peak) / 2^16).
struct reference {
    std::string output;
    unsigned peak = 0;
};

reference normalized(const std::string& input) {
    reference r;
    const size_t count = input.size() / 2;
    unsigned largest = 0, last_full = 0;
    for (size_t i = 0; i < count; ++i) {
        unsigned m = static_cast<unsigned>(std::abs(sample_of(input, i)));
        if (m >= 32767) last_full = m;
        largest = std::max(largest, m);
    }
    r.peak = last_full ? last_full : largest;
    r.output = input;
    if (r.peak > 28672) {
        const long long gain = 0x70000000LL / r.peak;
        for (size_t i = 0; i < count; ++i) {
            long long v = static_cast<long long>(std::floor(sample_of(input, i) * static_cast<double>(gain) / 65536.0));
            r.output[2 * i] = static_cast<char>(v & 0xFF);
            r.output[2 * i + 1] = static_cast<char>((v >> 8) & 0xFF);
        }
    }
    return r;
}

// Random samples within +-limit.
std::vector<int> noise(size_t count, int limit, unsigned seed) {
    std::string bytes = e2e::random_bytes(count * 4, seed);
    std::vector<int> s(count);
    for (size_t i = 0; i < count; ++i) {
        uint32_t v;
        std::memcpy(&v, &bytes[4 * i], 4);
        s[i] = static_cast<int>(v % (2u * static_cast<uint32_t>(limit) + 1)) - limit;
    }
    return s;
}

std::string markers(const std::string& name) {
    return "[r   ] " + name + "\r[rs  ] " + name + "\r[rsn ] " + name + "\r[rsnw] " + name + "\r";
}

// Position of the first byte that differs, or npos.
size_t first_difference(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return i;
    return a.size() == b.size() ? std::string::npos : n;
}

// ---------------------------------------------------------- normalization

struct norm_case {
    const char* what;
    std::string input;
    std::vector<std::string> extra;  // switches after the two paths
    const char* percent;             // the result line's figure
};

std::vector<norm_case> norm_cases() {
    std::vector<norm_case> c;
    {
        auto s = noise(100000, 30000, 1);
        s[777] = 32767;
        s[50000] = -32767;
        c.push_back({"peak 32767", samples_to_bytes(s), {}, " 99.997"});
    }
    {
        auto s = noise(70000, 28672, 2);
        s[3] = -28672;
        c.push_back({"peak 28672 stays", samples_to_bytes(s), {}, " 87.500"});
    }
    {
        auto s = noise(70000, 28000, 3);
        s[69999] = 28673;
        c.push_back({"peak 28673", samples_to_bytes(s), {}, " 87.503"});
    }
    {
        auto s = noise(70000, 20000, 4);
        s[10] = -32768;
        c.push_back({"a -32768 sample", samples_to_bytes(s), {}, "100.000"});
    }
    c.push_back({"all zeros", std::string(300000, '\0'), {}, "  0.000"});
    c.push_back({"empty", std::string(), {}, "  0.000"});
    {
        auto s = noise(50001, 32000, 5);
        s[1] = -32000;
        std::string b = samples_to_bytes(s) + "\x7F";
        c.push_back({"odd length", b, {"-P9"}, " 97.656"});
    }
    {
        // 3 chunks of 512 KiB and a piece
        auto s = noise(3 * 256 * KiB + 12345, 32766, 6);
        s[0] = 32766;
        c.push_back({"not whole chunks", samples_to_bytes(s), {"-P9"}, " 99.994"});
    }
    {
        // exactly the block less one chunk: still read at once
        auto s = noise(62 * 128 * KiB, 29000, 7);
        s[62 * 128 * KiB - 1] = -29000;
        c.push_back({"62 blocks", samples_to_bytes(s), {"-P9"}, " 88.501"});
    }
    {
        // beyond the block: scaled in two passes
        auto s = noise(20 * 512 * KiB + 333, 32000, 8);
        s[5] = 32767;      // a full-scale sample early on ...
        s[9999999] = -32768;  // ... and the last one decides
        c.push_back({"larger than the block", samples_to_bytes(s) + "\x01", {"-P9"}, "100.000"});
    }
    return c;
}

TEST(Normalize, MatchesTheReference) {
    for (const norm_case& c : norm_cases()) {
        SCOPED_TRACE(c.what);
        e2e::temp_dir dir;
        e2e::write_file(dir.file("in.raw"), c.input);
        std::vector<std::string> args = {"in.raw", "out.raw", "-n"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        e2e::result r = run_zef(args, at(dir.path));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, markers("in.raw") + c.percent + "% in.raw\n");
        EXPECT_EQ(r.out, "");
        reference want = normalized(c.input);
        std::string got = e2e::read_file(dir.file("out.raw"));
        EXPECT_EQ(got.size(), c.input.size());
        EXPECT_EQ(first_difference(got, want.output), std::string::npos);
        char figure[16];
        std::snprintf(figure, sizeof figure, "%7.3f", want.peak / 327.68);
        EXPECT_EQ(std::string(figure), c.percent) << "the table's figure";
    }
}

TEST(Normalize, QuietPrintsOnlyTheResultLine) {
    e2e::temp_dir dir;
    auto s = noise(40000, 32767, 9);
    s[0] = 32767;
    std::string input = samples_to_bytes(s);
    e2e::write_file(dir.file("a.raw"), input);
    e2e::result r = run_zef({"a.raw", "b.raw", "-normalize", "-q"}, at(dir.path));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, " 99.997% a.raw\n");
    EXPECT_EQ(e2e::read_file(dir.file("b.raw")), normalized(input).output);
}

TEST(Normalize, VerboseShowsTheTime) {
    e2e::temp_dir dir;
    e2e::write_file(dir.file("a.raw"), samples_to_bytes({1, 2, 3}));
    e2e::result r = run_zef({"a.raw", "b.raw", "-n", "-q", "-v"}, at(dir.path));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "  0.009% a.raw\n[] ");
    EXPECT_TRUE(std::regex_search(r.out, std::regex("^ ?\\d+\\.\\d $"))) << r.out;
}

TEST(Normalize, StandardInput) {
    // A stream that fits the block is read at once.
    e2e::temp_dir dir;
    auto s = noise(300000, 32767, 10);
    s[123] = -32767;
    std::string input = samples_to_bytes(s);
    e2e::options o = at(dir.path);
    o.input = input;
    o.input_short_reads = true;
    e2e::result r = run_zef({"-", "out.raw", "-n", "-P9"}, o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, markers("-") + " 99.997% -\n");
    EXPECT_EQ(first_difference(e2e::read_file(dir.file("out.raw")), normalized(input).output), std::string::npos);
}

// Feeds `data` into a named pipe: one odd piece, then pieces of 4096 bytes,
// each of which the pipe passes on whole. So every read of the other end
// ends at an odd offset and cuts a sample in two.
class fifo_feeder {
public:
    fifo_feeder(const std::string& path, const std::string& data) {
        if (mkfifo(path.c_str(), 0600) != 0) return;
        fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);  // never blocks on a pipe
        if (fd_ < 0) return;
        thread_ = std::thread([this, &data] {
            size_t pos = 0;
            while (pos < data.size()) {
                pollfd p{fd_, POLLOUT, 0};
                if (poll(&p, 1, 20000) != 1) break;  // the reader is gone
                size_t n = std::min<size_t>(data.size() - pos, pos == 0 ? 1001 : 4096);
                ssize_t w = ::write(fd_, data.data() + pos, n);
                if (w <= 0) break;
                pos += static_cast<size_t>(w);
            }
            ::close(fd_);
        });
    }
    ~fifo_feeder() {
        if (thread_.joinable()) thread_.join();
    }
    bool ready() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    std::thread thread_;
};

TEST(Normalize, StreamLargerThanTheBlockIsRefused) {
    // With -P9 the block holds 16 MiB; a pipe cannot be read a second time.
    e2e::temp_dir dir;
    // Quiet noise: samples put together from the wrong bytes would be loud.
    auto s = noise(10 * 1024 * KiB, 100, 11);
    s[9 * 1024 * KiB] = -30000;  // beyond what the block holds
    const std::string input = samples_to_bytes(s);
    e2e::result r;
    {
        fifo_feeder feeder(dir.file("in.pipe"), input);
        ASSERT_TRUE(feeder.ready());
        r = run_zef({"in.pipe", "out.raw", "-n", "-P9"}, at(dir.path));
    }
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cannot be read twice: nothing written\n"), std::string::npos) << r.err;
    // the figure is still the whole input's peak
    EXPECT_NE(r.err.find(" 91.553% in.pipe\n"), std::string::npos) << r.err;
    EXPECT_EQ(e2e::read_file(dir.file("out.raw")).size(), 0u);
}

TEST(Normalize, FailedReadIsReported) {
    // Reading stops at the failure; what came before is still scaled and
    // written, in one go or in two passes.
    struct read_case {
        size_t samples;
        const char* fault;
        size_t kept;  // bytes before the failing read
    };
    const read_case cases[] = {
        {4 * 256 * KiB, "1048576+512:5", 1048576},
        {12 * 1024 * KiB, "18874368+512:5", 18874368},  // 24 MiB: two passes
    };
    for (const read_case& c : cases) {
        SCOPED_TRACE(c.fault);
        e2e::temp_dir dir;
        auto s = noise(c.samples, 30000, 12);
        s[c.kept / 2 - 1] = 32767;
        std::string input = samples_to_bytes(s);
        e2e::write_file(dir.file("in.raw"), input);
        e2e::result r = run_zef({"in.raw", "out.raw", "-n", "-P9"},
                                at(dir.path, {{"ZEF_FAULT_READ", c.fault}, {"ZEF_FAULT_PATH", "in.raw"}}));
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("hFileIn1.read()\n   ^ERROR: 23, "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(" 99.997% in.raw\n"), std::string::npos) << r.err;
        reference want = normalized(input.substr(0, c.kept));
        EXPECT_EQ(first_difference(e2e::read_file(dir.file("out.raw")), want.output), std::string::npos);
    }
}

TEST(Normalize, FailedWriteIsReported) {
    e2e::temp_dir dir;
    std::string input = samples_to_bytes(noise(3 * 256 * KiB, 1000, 13));
    e2e::write_file(dir.file("in.raw"), input);
    e2e::result r = run_zef({"in.raw", "out.raw", "-n", "-P9"},
                            at(dir.path, {{"ZEF_FAULT_WRITE", "524288+1:28"}, {"ZEF_FAULT_PATH", "out.raw"}}));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("hFileOut.write()\n   ^ERROR: 112, "), std::string::npos) << r.err;
    // the first chunk went out; the file is still cut at the input's length
    std::string got = e2e::read_file(dir.file("out.raw"));
    EXPECT_EQ(got.size(), input.size());
    EXPECT_EQ(got.substr(0, 524288), input.substr(0, 524288));
}

TEST(BothNormalize, ScalesAndCutsToLength) {
    for (const std::vector<std::string>& extra : {std::vector<std::string>{}, std::vector<std::string>{"-P9", "-q"}}) {
        e2e::temp_dir dir;
        auto s = noise(3 * 256 * KiB + 7, 32767, 14);
        s[99] = 32767;
        std::string input = samples_to_bytes(s) + "\x80";
        e2e::write_file(dir.file("song.raw"), input);
        std::vector<std::string> args = {"song.raw", "loud.raw", "-n"};
        args.insert(args.end(), extra.begin(), extra.end());
        e2e::result r = run_zef(args, at(dir.path));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, (extra.empty() ? markers("song.raw") : std::string()) + " 99.997% song.raw\n");
        std::string got = e2e::read_file(dir.file("loud.raw"));
        EXPECT_EQ(got.size(), input.size());
        EXPECT_EQ(first_difference(got, normalized(input).output), std::string::npos);
    }
}

// -------------------------------------------------------------- benchmark

const std::regex bench_header(
    "OK\n\n\\[    MB\\]\\[ average\\] benchmark write \\[([^\\]]*)\\]\\. Type CTRL\\+C to exit!\n");
const std::regex bench_line("\r\\[ {0,5}\\d{1,6}\\]\\[ {0,2}\\d{1,3}\\d* MB/s\\] ");

// Whether a file holds nothing but `byte`, and its size.
bool only_byte(const std::string& path, char byte, size_t& size) {
    std::ifstream f(path, std::ios::binary);
    std::vector<char> buf(1 << 20), same(1 << 20, byte);
    size = 0;
    bool ok = true;
    while (f) {
        f.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        const size_t n = static_cast<size_t>(f.gcount());
        ok = ok && std::memcmp(buf.data(), same.data(), n) == 0;
        size += n;
    }
    return ok;
}

size_t progress_lines(const std::string& err) {
    auto begin = std::sregex_iterator(err.begin(), err.end(), bench_line);
    return static_cast<size_t>(std::distance(begin, std::sregex_iterator()));
}

TEST(Benchmark, CtrlCEndsTheRun) {
    struct bench_case {
        const char* flag;
        char byte;
    };
    for (const bench_case c : {bench_case{"-B", '\xFF'}, bench_case{"-b", '\0'}}) {
        SCOPED_TRACE(c.flag);
        e2e::temp_dir dir;
        e2e::options o = at(dir.path);
        o.sigint_after_ms = 600;
        e2e::result r = run_zef({c.flag, "-l", "-P9"}, o);
        EXPECT_EQ(r.status, 0) << r.err;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.err, m, bench_header)) << r.err;
        EXPECT_EQ(m[1].str(), "zef-log.txt");
        EXPECT_NE(r.err.find("CTRL+C typed!"), std::string::npos);
        EXPECT_GE(progress_lines(r.err), 2u) << r.err;
        size_t size = 0;
        EXPECT_TRUE(only_byte(dir.file("zef-log.txt"), c.byte, size));
        EXPECT_GT(size, 0u);
        EXPECT_EQ(size % (256 * KiB), 0u);
        // the figures are elapsed times on standard output
        EXPECT_TRUE(std::regex_search(r.out, std::regex("^( ?\\d+\\.\\d )+$"))) << r.out;
    }
}

TEST(Benchmark, FailedWriteEndsTheRun) {
    struct fail_case {
        const char* fault;      // where the "volume" is full
        const char* last_line;  // the final figures
        size_t size;            // bytes that reached the file
    };
    const fail_case cases[] = {
        // 32 blocks of 256 KiB written, the 33rd failed
        {"8388608+1:28", "\r\\[     8\\]\\[ {0,2}\\d+ MB/s\\] \n", 8 * 1024 * KiB},
        // the first write fails: nothing counted, a speed of 0
        {"0+1:28", "\r\\[     0\\]\\[  0 MB/s\\] \n", 0},
    };
    for (const fail_case& c : cases) {
        SCOPED_TRACE(c.fault);
        e2e::temp_dir dir;
        e2e::result r = run_zef({"-bench", "-log", "-P9"}, at(dir.path, {{"ZEF_FAULT_WRITE", c.fault}}));
        EXPECT_EQ(r.status, 0) << r.err;
        ASSERT_TRUE(std::regex_search(r.err, bench_header)) << r.err;
        const size_t fail = r.err.find("\thFileLog.write()\n   ^ERROR: 112, ");
        ASSERT_NE(fail, std::string::npos) << r.err;
        // the final line follows the report and counts the blocks before the failed one
        std::string after = r.err.substr(fail);
        EXPECT_TRUE(std::regex_search(after, std::regex(c.last_line))) << after;
        size_t size = 0;
        EXPECT_TRUE(only_byte(dir.file("zef-log.txt"), '\0', size));
        EXPECT_EQ(size, c.size);
    }
}

TEST(Benchmark, AppendOverwritesFromTheStart) {
    // -a keeps the file but the benchmark still writes from its first byte.
    e2e::temp_dir dir;
    e2e::write_file(dir.file("zef-log.txt"), std::string(12 * 1024 * KiB, 'x'));
    e2e::result r = run_zef({"-b", "-l", "-a", "-P9"}, at(dir.path, {{"ZEF_FAULT_WRITE", "4194304+1:28"}}));
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string log = e2e::read_file(dir.file("zef-log.txt"));
    ASSERT_EQ(log.size(), 12 * 1024 * KiB);
    EXPECT_EQ(log.find_first_not_of('\0'), 4 * 1024 * KiB);
    EXPECT_EQ(log.find_first_not_of('x', 4 * 1024 * KiB), std::string::npos);
}

TEST(Benchmark, BlockLargerThanTheLargePage) {
    // -PA: blocks of 512 << 10 = 512 KiB; -?3 makes them 4 MiB, beyond one
    // 2 MiB large-page unit: every write still sends 4 MiB of 0xFF.
    e2e::temp_dir dir;
    e2e::result r = run_zef({"-B", "-l", "-PA", "-?3"},
                            at(dir.path, {{"ZEF_FAULT_WRITE", "12582912+1:28"}}));
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(std::regex_search(r.err, std::regex("\r\\[    12\\]\\[ {0,2}\\d+ MB/s\\] \n"))) << r.err;
    size_t size = 0;
    EXPECT_TRUE(only_byte(dir.file("zef-log.txt"), '\xFF', size));
    EXPECT_EQ(size, 12u * 1024 * KiB);
}

TEST(Benchmark, DeviceIsWrittenToItsEnd) {
    if (!e2e::is_root()) GTEST_SKIP() << "needs root for a loop device";
    e2e::temp_dir dir;
    const std::string backing = dir.file("disk.img");
    const size_t bytes = 8 * 1024 * KiB + 64 * KiB;  // ends inside the 33rd block
    e2e::write_file(backing, e2e::random_bytes(bytes, 15));
    const std::string dev = e2e::attach_loop(backing);
    if (dev.empty()) GTEST_SKIP() << "losetup failed";
    e2e::result r = run_zef({dev, "-Write", "-L", "-b", "-l", "-P9"}, at(dir.path));
    e2e::detach_loop(dev);
    EXPECT_EQ(r.status, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.err, m, bench_header)) << r.err;
    EXPECT_EQ(m[1].str(), dev);
    EXPECT_NE(r.err.find("\thFileLog.write()\n   ^ERROR: 112, "), std::string::npos) << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("\r\\[     8\\]\\[ {0,2}\\d+ MB/s\\] \n"))) << r.err;
    size_t size = 0;
    EXPECT_TRUE(only_byte(backing, '\0', size));
    EXPECT_EQ(size, bytes);
}

// ------------------------------------------------------- partition dump

const char* const table_head = "# b type [ START LBA -    END LBA][   SECTORS      MB   GB]\n";
const char* const empty_row = "    00  [         0 -          0][         0       0    0]\n";

std::string sector_with(const std::vector<std::vector<uint8_t>>& entries, uint32_t disk_signature, bool signed_mbr) {
    std::string s(512, '\0');
    for (int i = 0; i < 4; ++i) s[440 + i] = static_cast<char>(disk_signature >> (8 * i));
    for (size_t e = 0; e < entries.size(); ++e)
        for (size_t i = 0; i < 16; ++i) s[446 + 16 * e + i] = static_cast<char>(entries[e][i]);
    if (signed_mbr) {
        s[510] = '\x55';
        s[511] = '\xAA';
    }
    return s;
}

std::vector<uint8_t> raw_entry(uint8_t state, uint8_t type, uint32_t first, uint32_t count) {
    std::vector<uint8_t> e = {state, 1, 1, 0, type, 0xFE, 0xFF, 0xFF};
    for (int i = 0; i < 4; ++i) e.push_back(static_cast<uint8_t>(first >> (8 * i)));
    for (int i = 0; i < 4; ++i) e.push_back(static_cast<uint8_t>(count >> (8 * i)));
    return e;
}

// The table's bytes from its start up to the first zero.
std::string table_bytes(const std::string& image) {
    std::string t;
    for (size_t i = 446; i < 512 && image[i] != '\0'; ++i) t += image[i];
    return t;
}

// The same bytes as 8-bit text of code page 1251 (the console's, under the
// entry's locale) in UTF-8, converted by iconv.
std::string table_text(const std::string& image) {
    e2e::temp_dir dir;
    e2e::write_file(dir.file("bytes"), table_bytes(image));
    return e2e::shell("iconv -f CP1251 -t UTF-8 '" + dir.file("bytes") + "'");
}

bool make_image(const std::string& path, size_t bytes, const std::string& script) {
    int st = -1;
    e2e::shell("truncate -s " + std::to_string(bytes) + " '" + path + "' && printf '" + script +
                   "' | sfdisk -q '" + path + "' >/dev/null 2>&1",
               &st);
    return st == 0;
}

bool have_sfdisk() {
    int st = -1;
    e2e::shell("command -v sfdisk >/dev/null 2>&1 || test -x /usr/sbin/sfdisk || test -x /sbin/sfdisk", &st);
    return st == 0;
}

TEST(PartitionDump, DosLabel) {
    if (!have_sfdisk()) GTEST_SKIP() << "sfdisk not installed (package fdisk)";
    e2e::temp_dir dir;
    const std::string img = dir.file("sdb_windows.img");
    ASSERT_TRUE(make_image(img, 200 * 1024 * KiB,
                           "label: dos\\nlabel-id: 0x1234abcd\\n"
                           "start=2048, size=204800, type=7, bootable\\n"
                           "start=206848, size=100000, type=83\\n"));
    const std::string image = e2e::read_file(img).substr(0, 512);
    const std::string expected = std::string("\nMBR signature: AA55 [MBR]\tDisk signature: 1234ABCD\n\n") + table_head +
                                 "1 *  07  [      2048 -     206847][    204800     100    0]\n"
                                 "2    83  [    206848 -     306847][    100000      48    0]\n"
                                 "3" + empty_row + "4" + empty_row + "\n" + table_text(image);
    for (const char* flag : {"-mbr", "-MBR", "-Mbr"}) {
        SCOPED_TRACE(flag);
        e2e::result r = run_zef({flag, "ignored.img", "-sha1", "-Write"}, at(dir.path));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(table_bytes(image).substr(0, 1), "\x80");  // the bootable mark starts the text
    EXPECT_EQ(table_text(image).substr(0, 2), "\xD0\x82");  // and reads as U+0402
}

TEST(PartitionDump, ProtectiveEntryOfGpt) {
    if (!have_sfdisk()) GTEST_SKIP() << "sfdisk not installed (package fdisk)";
    e2e::temp_dir dir;
    const std::string img = dir.file("sda_gpt.img");
    ASSERT_TRUE(make_image(img, 10 * 1024 * KiB, "label: gpt\\nstart=2048, size=8192\\n"));
    e2e::result r = run_zef({"-GpT"}, at(dir.path));
    EXPECT_EQ(r.status, 0);
    // status 0x00 first: the text after the table is empty
    EXPECT_EQ(r.out, std::string("\nMBR signature: AA55 [MBR]\tDisk signature: 00000000\n\n") + table_head +
                         "1    EE  [         1 -      20479][     20479       9    0]\n"
                         "2" + empty_row + "3" + empty_row + "4" + empty_row + "\n");
    // -mbr reads the other image, which is not there
    e2e::result missing = run_zef({"-mbr"}, at(dir.path));
    EXPECT_EQ(missing.status, 2);
}

struct dump_case {
    bool both;  // also run against the Windows build
    const char* what;
    std::string image;  // "" = no file
    int status;
    std::string out_prefix;
    std::string out;  // whole output when out_prefix is ""
};

std::vector<dump_case> dump_cases() {
    std::vector<dump_case> c;
    c.push_back({false, "zeros", std::string(512, '\0'), 0, "",
                 std::string("\nMBR signature: 0000 [unknown]\tDisk signature: 00000000\n\n") + table_head + "1" +
                     empty_row + "2" + empty_row + "3" + empty_row + "4" + empty_row + "\n"});
    {
        // start + count = 2^32 shows END 0; an odd status shows "?"
        std::string s = sector_with({raw_entry(0x80, 0x0C, 0xFFFFF800u, 0x800), raw_entry(0x20, 0x83, 1, 2)},
                                    0xDEADBEEF, true);
        s += std::string(1024, '\x11');
        c.push_back({true, "2^32 and odd status", s, 0, "",
                     std::string("\nMBR signature: AA55 [MBR]\tDisk signature: DEADBEEF\n\n") + table_head +
                         "1 *  0C  [4294965248 -          0][      2048       1    0]\n"
                         "2 ?  83  [         1 -          2][         2       0    0]\n"
                         "3" + empty_row + "4" + empty_row + "\n" + table_text(s)});
    }
    {
        // bytes above 0x7F are characters of the 8-bit code page, not raw bytes
        std::string s = sector_with({raw_entry(0xC0, 0xE9, 0xF0F1F2F3u, 0xFFFEFDFCu)}, 0, true);
        c.push_back({true, "8-bit text", s, 0, "",
                     std::string("\nMBR signature: AA55 [MBR]\tDisk signature: 00000000\n\n") + table_head +
                         "1 ?  E9  [4042388211 - 4042322158][4294901244 2097119 2047]\n" + "2" + empty_row + "3" +
                         empty_row + "4" + empty_row + "\n" + table_text(s)});
    }
    {
        // no zero byte before the sector's end: the text stops at byte 511
        std::string s(512, '\x41');
        s[510] = '\x55';
        s[511] = '\x66';
        const std::string row = "    41  [1094795585 - 2189591169][1094795585  534568  522]\n";
        c.push_back({false, "no zero in the table", s, 0, "",
                     std::string("\nMBR signature: 6655 [unknown]\tDisk signature: 41414141\n\n") + table_head +
                         "1 ?" + row.substr(2) + "2 ?" + row.substr(2) + "3 ?" + row.substr(2) + "4 ?" +
                         row.substr(2) + "\n" + std::string(64, 'A') + "\x55\x66"});
    }
    c.push_back({true, "short", std::string(100, '\x55'), 255, "",
                 "printMBR() requested [512] bytes but ReadFile() returned 100 "});
    c.push_back({false, "empty", std::string(), 255, "", "printMBR() requested [512] bytes but ReadFile() returned 0 "});
    c.push_back({true, "missing", "<none>", 2, "open(sdb_windows.img)\n   ^ERROR: 2, ", ""});
    return c;
}

void check_dump_cases(bool both) {
    for (const dump_case& c : dump_cases()) {
        if (c.both != both) continue;
        SCOPED_TRACE(c.what);
        e2e::temp_dir dir;
        if (c.image != "<none>") e2e::write_file(dir.file("sdb_windows.img"), c.image);
        e2e::result r = run_zef({"-mbr"}, at(dir.path));
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        if (c.out_prefix.empty()) EXPECT_EQ(r.out, c.out);
        else EXPECT_EQ(r.out.substr(0, c.out_prefix.size()), c.out_prefix) << r.out;
    }
}

TEST(PartitionDump, Sectors) { check_dump_cases(false); }
TEST(BothPartitionDump, SectorsAndFailures) { check_dump_cases(true); }

}  // namespace
