// Comparing two sources through the built binary: the listing of differing
// 8-byte words on standard error and in the log file, the smaller-file line,
// the verdict, the exit status and the progress line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using e2e::run_zef;

constexpr size_t KiB = 1024;
constexpr size_t MiB = 1024 * KiB;

const char* const kSame = "++ no differences encountered. ";
const char* const kDifferent = "!! files are different. ";

// ---------------------------------------------------------------- reference

// One listed word: its offset and both inputs' bytes as shown between the
// brackets ("0011 2233 4455 6677"; blanks for bytes past the common length).
struct word_diff {
    unsigned long long offset = 0;
    std::string first, second;
    bool operator==(const word_diff&) const = default;
};

std::string shown_bytes(const std::string& s, size_t at, size_t n) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < 8; ++i) {
        if (i == 2 || i == 4 || i == 6) out += ' ';
        if (i < n) {
            const auto c = static_cast<unsigned char>(s[at + i]);
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += "  ";
        }
    }
    return out;
}

// Every word of the common length whose bytes differ, in order; the last
// partial word counts with the bytes it has.
std::vector<word_diff> reference_listing(const std::string& a, const std::string& b, unsigned long long base = 0) {
    std::vector<word_diff> out;
    const size_t common = std::min(a.size(), b.size());
    for (size_t w = 0; w < common; w += 8) {
        const size_t n = std::min<size_t>(8, common - w);
        if (a.compare(w, n, b, w, n) != 0) out.push_back({base + w, shown_bytes(a, w, n), shown_bytes(b, w, n)});
    }
    return out;
}

// The blocks as characters, without any leading empty lines.
std::string listing_text(const std::vector<word_diff>& list) {
    std::string out;
    char line[64];
    for (const auto& d : list) {
        std::snprintf(line, sizeof line, "%08llx:[%s]\n", d.offset, d.first.c_str());
        out += line;
        std::snprintf(line, sizeof line, "%08llx:[%s]\n\n", d.offset, d.second.c_str());
        out += line;
    }
    return out;
}

// b = a with the bytes at `at` changed.
std::string altered(std::string a, const std::vector<size_t>& at) {
    for (size_t i : at) a[i] = static_cast<char>(a[i] ^ 0x5A);
    return a;
}

// ---------------------------------------------------------------- parsing

struct parsed_listing {
    std::vector<word_diff> blocks;
    std::vector<std::string> faults;  // malformed or misplaced block lines
};

std::vector<std::string> split_lines(const std::string& s) {
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t nl; (nl = s.find('\n', from)) != std::string::npos; from = nl + 1) lines.push_back(s.substr(from, nl - from));
    lines.push_back(s.substr(from));
    return lines;
}

// Difference blocks out of standard error. Progress lines (they begin with
// "\r") are passed over. Each block must start at the beginning of the text
// or after an empty line, and consist of two lines of the same offset and an
// empty line.
parsed_listing parse_listing(const std::string& err) {
    static const std::regex block_line(R"(([0-9a-f]{8,}):\[([0-9a-f ]{19})\])");
    parsed_listing p;
    const auto lines = split_lines(err);
    std::smatch m1, m2;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!std::regex_match(lines[i], m1, block_line)) {
            if (lines[i].find(":[") != std::string::npos) p.faults.push_back("stray line: " + lines[i]);
            continue;
        }
        if (!(i == 0 || (i >= 2 && lines[i - 1].empty())))
            p.faults.push_back("block without an empty line before it: " + lines[i]);
        if (i + 2 >= lines.size() || !std::regex_match(lines[i + 1], m2, block_line) || m2[1] != m1[1] ||
            !lines[i + 2].empty()) {
            p.faults.push_back("incomplete block at: " + lines[i]);
            continue;
        }
        p.blocks.push_back({std::stoull(m1[1].str(), nullptr, 16), m1[2].str(), m2[2].str()});
        i += 2;
    }
    return p;
}

std::string shown(const word_diff& d) {
    char text[96];
    std::snprintf(text, sizeof text, "%llx:[%s]/[%s]", d.offset, d.first.c_str(), d.second.c_str());
    return text;
}

testing::AssertionResult same_listing(const std::vector<word_diff>& got, const std::vector<word_diff>& want) {
    for (size_t i = 0; i < std::min(got.size(), want.size()); ++i) {
        if (!(got[i] == want[i]))
            return testing::AssertionFailure() << "block " << i << ": got " << shown(got[i]) << ", want " << shown(want[i]);
    }
    if (got.size() != want.size())
        return testing::AssertionFailure() << got.size() << " blocks listed, " << want.size() << " expected";
    return testing::AssertionSuccess();
}

// The log file: UTF-16LE without a byte-order mark, every character below
// 0x80 here; its narrow form, or a note of what is wrong with it.
std::string narrow_log(const std::string& raw) {
    if (raw.size() % 2) return "<odd length>";
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF && static_cast<unsigned char>(raw[1]) == 0xFE)
        return "<byte-order mark>";
    std::string out;
    out.reserve(raw.size() / 2);
    for (size_t i = 0; i < raw.size(); i += 2) {
        if (raw[i + 1] != 0) return "<character above 0xFF>";
        out += raw[i];
    }
    return out;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

e2e::options at(const std::string& cwd) {
    e2e::options o;
    o.cwd = cwd;
    return o;
}

// A temporary folder with the two inputs "a" and "b".
struct pair_dir {
    e2e::temp_dir dir;
    pair_dir(const std::string& a, const std::string& b) {
        e2e::write_file(dir.file("a"), a);
        e2e::write_file(dir.file("b"), b);
    }
};

// ---------------------------------------------------------------- listing

// Two 64 MiB random inputs that differ in scattered bytes and in longer
// runs, some across slot boundaries and up to the very end: every differing
// word once, in order, on standard error and in the log file.
TEST(CompareListing, LargeInputsListEveryDifferingWord) {
    const size_t size = 64 * MiB;
    const std::string a = e2e::random_bytes(size, 11);
    std::string b = a;
    std::mt19937_64 gen(12);
    for (int i = 0; i < 400; ++i) {
        const size_t at = gen() % size;
        b[at] = static_cast<char>(b[at] ^ (1 + gen() % 255));
    }
    const struct {
        size_t offset, length;
    } runs[] = {{2 * MiB - 3, 1000}, {10 * MiB + 5, 20000}, {33 * MiB + 100, 64 * KiB + 3}, {size - 777, 777}};
    for (const auto& r : runs)
        for (size_t i = r.offset; i < r.offset + r.length; ++i) b[i] = static_cast<char>(b[i] ^ 0xFF);
    b[0] = static_cast<char>(b[0] ^ 1);
    const auto want = reference_listing(a, b);
    ASSERT_GT(want.size(), 10000u);

    pair_dir d(a, b);
    const auto r = run_zef({"a", "b", "-l"}, at(d.dir.path));
    EXPECT_EQ(r.status, 1);
    const auto listed = parse_listing(r.err);
    EXPECT_TRUE(listed.faults.empty()) << listed.faults.front();
    EXPECT_TRUE(same_listing(listed.blocks, want));
    EXPECT_NE(r.err.find(std::string("\n") + kDifferent + "cleanup:OK\n"), std::string::npos);

    const std::string log = narrow_log(e2e::read_file(d.dir.file("zef-log.txt")));
    EXPECT_TRUE(log == listing_text(want)) << "log of " << log.size() << " characters: " << log.substr(0, 200);
}

// Small inputs with chosen differences: the blocks, their offsets (the
// word's, a multiple of 8), and both inputs' bytes.
TEST(CompareListing, WordsAndOffsets) {
    const size_t size = 3 * MiB;
    const struct {
        const char* name;
        std::vector<size_t> changed;
        size_t blocks;
    } cases[] = {
        {"one byte", {4100}, 1},
        {"several bytes of one word", {8200, 8201, 8207}, 1},
        {"first and last byte", {0, size - 1}, 2},
        {"two neighbouring words", {15, 16}, 2},
        {"both sides of a slot boundary", {2 * MiB - 1, 2 * MiB}, 2},
    };
    const std::string a = e2e::random_bytes(size, 21);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string b = altered(a, c.changed);
        const auto want = reference_listing(a, b);
        ASSERT_EQ(want.size(), c.blocks);
        pair_dir d(a, b);
        const auto r = run_zef({"a", "b"}, at(d.dir.path));
        EXPECT_EQ(r.status, 1);
        const auto listed = parse_listing(r.err);
        EXPECT_TRUE(listed.faults.empty()) << listed.faults.front();
        EXPECT_TRUE(same_listing(listed.blocks, want));
        EXPECT_TRUE(ends_with(r.err, std::string("\n\n\n") + kDifferent + "cleanup:OK\n")) << r.err;
    }
}

// The first block follows the banner and the progress display after an
// empty line: "\n\n" ends the progress line.
TEST(CompareListing, FirstBlockEndsTheProgressLine) {
    const std::string a = e2e::random_bytes(64 * KiB, 22);
    pair_dir d(a, altered(a, {100}));
    const auto r = run_zef({"a", "b"}, at(d.dir.path));
    EXPECT_EQ(r.status, 1);
    const size_t block = r.err.find("00000060:[");
    ASSERT_NE(block, std::string::npos) << r.err;
    EXPECT_EQ(r.err.substr(block - 2, 2), "\n\n");
    EXPECT_NE(r.err.find("\n\n00000060:["), std::string::npos);
}

TEST(CompareListing, IdenticalInputs) {
    const std::string a = e2e::random_bytes(3 * MiB + 5, 23);
    pair_dir d(a, a);
    const auto r = run_zef({"a", "b"}, at(d.dir.path));
    EXPECT_EQ(r.status, 0);
    const auto listed = parse_listing(r.err);
    EXPECT_TRUE(listed.blocks.empty());
    EXPECT_TRUE(listed.faults.empty());
    EXPECT_TRUE(ends_with(r.err, std::string("\n\n\n") + kSame + "cleanup:OK\n")) << r.err;
    EXPECT_EQ(r.err.find("!!"), std::string::npos);
}

// -q: at most one block (the first difference), no progress, no verdict;
// the exit status still tells the outcome.
TEST(CompareListing, QuietShowsOnlyTheFirstDifference) {
    const std::string a = e2e::random_bytes(3 * MiB, 24);
    const struct {
        const char* name;
        std::vector<size_t> changed;
        int status;
    } cases[] = {
        {"identical", {}, 0},
        {"one word", {70000}, 1},
        {"words in two slots", {5, 900, 2 * MiB + 3}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string b = altered(a, c.changed);
        auto want = reference_listing(a, b);
        if (want.size() > 1) want.resize(1);
        pair_dir d(a, b);
        const auto r = run_zef({"a", "b", "-q"}, at(d.dir.path));
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, listing_text(want));
    }
}

// Mend of the last bytes: when the common length is not a multiple of 8,
// its last 1 to 7 bytes are compared too and listed at their word's offset,
// blanks standing for the bytes past the common length.
TEST(CompareListing, LastBytesOfTheCommonLength) {
    const struct {
        const char* name;
        size_t first, second;
        std::vector<size_t> changed;
    } cases[] = {
        {"one byte after a word", 9, 9, {8}},
        {"last of seven", 15, 15, {14}},
        {"first of five", 13, 13, {8}},
        {"shorter than a word", 7, 7, {3}},
        {"a whole word and the tail", 4101, 4101, {4000, 4098}},
        {"tail of the second slot", 2 * MiB + 3, 2 * MiB + 3, {2 * MiB + 2}},
        {"tail of the common length, second longer", 100, 103, {99}},
        {"tail of the common length, first longer", 2 * MiB + 6, 2 * MiB + 1, {2 * MiB}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string x = e2e::random_bytes(std::max(c.first, c.second), 25);
        const std::string a = x.substr(0, c.first);
        const std::string b = altered(x, c.changed).substr(0, c.second);
        const auto want = reference_listing(a, b);
        ASSERT_EQ(want.size(), c.changed.size());
        pair_dir d(a, b);
        const auto r = run_zef({"a", "b", "-l"}, at(d.dir.path));
        EXPECT_EQ(r.status, 1);
        const auto listed = parse_listing(r.err);
        EXPECT_TRUE(listed.faults.empty()) << listed.faults.front();
        EXPECT_TRUE(same_listing(listed.blocks, want));
        EXPECT_EQ(narrow_log(e2e::read_file(d.dir.file("zef-log.txt"))), listing_text(want));
        EXPECT_TRUE(ends_with(r.err, std::string(kDifferent) + "cleanup:OK\n")) << r.err;
    }
}

// Offsets past 4 GiB print with more than 8 digits: two sparse 5 GiB
// inputs, one byte apart at 4.5 GiB.
TEST(CompareListing, OffsetBeyond4GiB) {
    e2e::temp_dir dir;
    int st = 0;
    e2e::shell("cd '" + dir.path + "' && truncate -s 5G a && truncate -s 5G b && printf '\\132' | dd of=b bs=1 seek=" +
                   std::to_string(0x120000003ULL) + " conv=notrunc 2>/dev/null",
               &st);
    ASSERT_EQ(st, 0);
    const auto r = run_zef({"a", "b"}, at(dir.path));
    EXPECT_EQ(r.status, 1);
    const auto listed = parse_listing(r.err);
    EXPECT_TRUE(listed.faults.empty()) << listed.faults.front();
    EXPECT_TRUE(same_listing(listed.blocks, {{0x120000000ULL, "0000 0000 0000 0000", "0000 005a 0000 0000"}}));
    EXPECT_NE(r.err.find("\n120000000:[0000 0000 0000 0000]\n120000000:[0000 005a 0000 0000]\n\n"),
              std::string::npos);
}

// ---------------------------------------------------------------- lengths

// One input ends first: the smaller-file line names it as typed, the
// common part is still compared, and the verdict tells only whether the
// common part differs; the exit status is 1 either way.
TEST(CompareLength, SmallerInput) {
    const struct {
        const char* name;
        size_t first, second;
        std::vector<size_t> changed;  // in the second input
        bool quiet;
    } cases[] = {
        {"first shorter", 3 * MiB - 1000, 3 * MiB, {}, false},
        {"second shorter", 3 * MiB, 3 * MiB - 5, {}, false},
        {"first shorter, differs", 3 * MiB + 8, 3 * MiB + 1000, {2 * MiB + 9}, false},
        {"second shorter, differs", 3 * MiB, 1000, {10, 500}, false},
        {"second ends at a slot boundary", 2 * MiB + 8, 2 * MiB, {}, false},
        {"first empty", 0, 1000, {}, false},
        {"second shorter, quiet", 3 * MiB, 2 * MiB + 1, {}, true},
        {"first shorter, differs, quiet", 1000, 3 * MiB, {16, 600}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string x = e2e::random_bytes(std::max(c.first, c.second), 31);
        const std::string a = x.substr(0, c.first);
        const std::string b = altered(x, c.changed).substr(0, c.second);
        auto want = reference_listing(a, b);
        if (c.quiet && want.size() > 1) want.resize(1);
        e2e::temp_dir dir;
        e2e::write_file(dir.file("one"), a);
        e2e::write_file(dir.file("two"), b);
        std::vector<std::string> args = {"one", "two"};
        if (c.quiet) args.push_back("-q");
        const auto r = run_zef(args, at(dir.path));
        EXPECT_EQ(r.status, 1);
        const auto listed = parse_listing(r.err);
        EXPECT_TRUE(listed.faults.empty()) << listed.faults.front();
        EXPECT_TRUE(same_listing(listed.blocks, want));
        const std::string smaller = std::string("!! file is smaller [") + (c.first < c.second ? "one" : "two") + "]\n";
        if (c.quiet) {
            EXPECT_EQ(r.err, listing_text(want) + smaller);
        } else {
            // Of different lengths, they are different even where the common part is equal.
            EXPECT_TRUE(ends_with(r.err, "\n\n\n" + smaller + kDifferent + "cleanup:OK\n")) << r.err;
        }
    }
}

// ---------------------------------------------------------------- streams

// A pipe whose reads come back short: every slot is filled before it is
// compared, so the offsets are the true ones, on either side.
TEST(CompareStream, ShortReadsGiveTrueOffsets) {
    const std::string file = e2e::random_bytes(5 * MiB + 123, 41);
    const struct {
        const char* name;
        bool stream_first;
        std::string stream;
        int status;
        const char* smaller;
    } cases[] = {
        {"differs", false, altered(file, {1000, 2 * MiB + 4096 + 3, 4 * MiB + 17, 5 * MiB + 122}), 1, nullptr},
        {"differs, stream first", true, altered(file, {7, 3 * MiB + 1}), 1, nullptr},
        {"identical", false, file, 0, nullptr},
        {"stream shorter", false, altered(file, {4 * MiB + 9}).substr(0, 4 * MiB + 1001), 1, "-"},
    };
    e2e::temp_dir dir;
    e2e::write_file(dir.file("f"), file);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        e2e::options o = at(dir.path);
        o.input = c.stream;
        o.input_short_reads = true;
        const auto r = run_zef(c.stream_first ? std::vector<std::string>{"-", "f"} : std::vector<std::string>{"f", "-"}, o);
        EXPECT_EQ(r.status, c.status);
        const auto want = c.stream_first ? reference_listing(c.stream, file) : reference_listing(file, c.stream);
        const auto listed = parse_listing(r.err);
        EXPECT_TRUE(listed.faults.empty()) << listed.faults.front();
        EXPECT_TRUE(same_listing(listed.blocks, want));
        if (c.smaller) {
            EXPECT_NE(r.err.find(std::string("!! file is smaller [") + c.smaller + "]\n"), std::string::npos);
        } else {
            EXPECT_EQ(r.err.find("file is smaller"), std::string::npos);
        }
        EXPECT_TRUE(ends_with(r.err, std::string(want.empty() && !c.smaller ? kSame : kDifferent) + "cleanup:OK\n"))
            << r.err;
    }
}

// ---------------------------------------------------------------- progress

struct progress_line {
    unsigned long long mb1, mb2, rate, buffers;
    long long lead;
};

// Every progress line of two inputs; each must read exactly as its own
// figures print in the columns of the header.
std::vector<progress_line> progress_lines(const std::string& err, std::vector<std::string>& faults) {
    static const std::regex line(R"(\r\[ *([0-9]+): *([0-9]+)\]\[ *([0-9]+) MB/s\] \[ *(-?[0-9]+)/ *([0-9]+)\] )");
    std::vector<progress_line> out;
    for (auto it = std::sregex_iterator(err.begin(), err.end(), line); it != std::sregex_iterator(); ++it) {
        const auto& m = *it;
        progress_line p{std::stoull(m[1].str()), std::stoull(m[2].str()), std::stoull(m[3].str()),
                        std::stoull(m[5].str()), std::stoll(m[4].str())};
        char again[128];
        std::snprintf(again, sizeof again, "\r[%6llu:%6llu][%3llu MB/s] [%4lli/%3llu] ", p.mb1, p.mb2, p.rate, p.lead,
                      p.buffers);
        if (m.str() != again) faults.push_back(m.str());
        out.push_back(p);
    }
    return out;
}

TEST(CompareProgress, HeaderAndLines) {
    const size_t size = 20 * MiB + 1;
    const std::string a = e2e::random_bytes(size, 51);
    pair_dir d(a, a);
    const struct {
        const char* name;
        std::vector<std::string> args;
        const char* header;
        bool header_first;  // no banner: the header opens standard error
    } cases[] = {
        {"verbose", {"a", "b", "-v"}, "\n\n[    MB:    MB][ average] [ buffers] time\n", false},
        {"quiet and verbose", {"a", "b", "-q", "-v"}, "[    MB:    MB][ average] [ buffers] time\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = run_zef(c.args, at(d.dir.path));
        EXPECT_EQ(r.status, 0);
        const size_t header = r.err.find(c.header);
        ASSERT_NE(header, std::string::npos) << r.err;
        if (c.header_first) {
            EXPECT_EQ(header, 0u);
        }
        std::vector<std::string> faults;
        const auto lines = progress_lines(r.err, faults);
        ASSERT_FALSE(lines.empty()) << r.err;
        EXPECT_TRUE(faults.empty()) << faults.front();
        EXPECT_GT(r.err.find('\r'), header);
        EXPECT_EQ(r.out.find('['), std::string::npos);
        // The figures only grow; at the end both inputs are read through.
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].buffers, 16u);
            if (i > 0) {
                EXPECT_GE(lines[i].mb1, lines[i - 1].mb1);
                EXPECT_GE(lines[i].mb2, lines[i - 1].mb2);
            }
        }
        EXPECT_EQ(lines.back().lead, 0);
        // Whole slots count, the last, partial one as full (slot size from
        // the banner, when there is one).
        unsigned slot_mb = 0;
        if (std::sscanf(r.err.c_str(), ":: file compare and hash utility %*s\n:: opening files:OK  :: using %u MB",
                        &slot_mb) == 1 && slot_mb > 0) {
            const unsigned long long total = (size + slot_mb * MiB - 1) / (slot_mb * MiB) * slot_mb;
            EXPECT_EQ(lines.back().mb1, total);
            EXPECT_EQ(lines.back().mb2, total);
        } else {
            EXPECT_TRUE(c.header_first) << "no slot size in the banner";
            EXPECT_GE(lines.back().mb1, 20u);
            EXPECT_GE(lines.back().mb2, 20u);
        }
    }
}

// ---------------------------------------------------------------- both builds

// Runs under Wine too: small inputs, relative names, working folder = the
// temporary folder.
TEST(BothCompare, OneByteDiffers) {
    const std::string a = e2e::random_bytes(100 * KiB + 3, 61);
    const std::string b = altered(a, {12345});
    pair_dir d(a, b);
    const auto r = run_zef({"a", "b", "-l"}, at(d.dir.path));
    EXPECT_EQ(r.status, 1);
    const auto want = reference_listing(a, b);
    ASSERT_EQ(want.size(), 1u);
    const auto listed = parse_listing(r.err);
    EXPECT_TRUE(listed.faults.empty()) << listed.faults.front();
    EXPECT_TRUE(same_listing(listed.blocks, want));
    EXPECT_EQ(narrow_log(e2e::read_file(d.dir.file("zef-log.txt"))), listing_text(want));
    EXPECT_NE(r.err.find(kDifferent), std::string::npos) << r.err;
}

TEST(BothCompare, IdenticalInputs) {
    const std::string a = e2e::random_bytes(100 * KiB + 3, 62);
    pair_dir d(a, a);
    const auto r = run_zef({"a", "b"}, at(d.dir.path));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(parse_listing(r.err).blocks.empty());
    EXPECT_NE(r.err.find(std::string("\n") + kSame), std::string::npos) << r.err;
}

}  // namespace
