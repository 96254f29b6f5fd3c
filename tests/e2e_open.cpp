// The open stage through the built binary: a failed open ends the run with
// its report alone, the status line, standard output as the copy target,
// -L on regular files, and the appended difference log.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using e2e::run_zef;

const std::regex digest_line("[0-9a-f]{40}  ");

e2e::options in(const std::string& dir) {
    e2e::options o;
    o.cwd = dir;
    return o;
}

struct failed_open_case {
    std::vector<std::string> args;
    std::string report;  // all of standard output
};

TEST(OpenStage, FailedOpenEndsTheRunWithItsReportAlone) {
    e2e::temp_dir t;
    e2e::write_file(t.file("f"), e2e::random_bytes(10000, 1));
    mkdir(t.file("dir").c_str(), 0755);
    const std::string missing = "open(missing)\n   ^ERROR: 2, No such file or directory\n";
    const std::string dir = "open(dir)\n   ^ERROR: 336, Is a directory\n";
    const failed_open_case cases[] = {
        {{"missing"}, missing},
        {{"missing", "-v"}, missing},
        {{"missing", "missing2", "-c"}, missing},  // the first failure stops
        {{"missing", "missing2"}, missing},
        {{"missing", "out", "-Write"}, missing},
        {{"f", "missing2", "-c"}, "open(missing2)\n   ^ERROR: 2, No such file or directory\n"},
        {{"f", "no/such/out", "-Write"}, "open(no/such/out)\n   ^ERROR: 2, No such file or directory\n"},
        {{"dir"}, dir},
        {{"dir", "f", "-c"}, dir},
        {{"f", "dir", "-c"}, dir},
        {{"f", "dir", "-Write"}, dir},
    };
    for (const failed_open_case& c : cases) {
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        SCOPED_TRACE(line);
        e2e::result r = run_zef(c.args, in(t.path));
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, c.report);
        // Nothing of the run follows: no block line, no progress, no digest.
        EXPECT_EQ(r.err.find(":: using"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("OK  "), std::string::npos) << r.err;
        EXPECT_FALSE(std::regex_search(r.err, digest_line)) << r.err;
    }
    EXPECT_EQ(e2e::shell("cd '" + t.path + "' && ls"), "dir\nf\n");  // nothing created
    EXPECT_EQ(e2e::shell("ls -A '" + t.file("dir") + "'"), "");
}

TEST(OpenStage, CopyToStandardOutputCarriesOnlyTheData) {
    e2e::temp_dir t;
    const std::string data = e2e::random_bytes((3 << 20) + 1234, 2);
    e2e::write_file(t.file("a"), data);
    for (const std::vector<std::string>& extra : std::vector<std::vector<std::string>>{{}, {"-v"}, {"-L"}}) {
        std::vector<std::string> args = {"a", "-", "-Write"};
        args.insert(args.end(), extra.begin(), extra.end());
        SCOPED_TRACE(extra.empty() ? "" : extra[0]);
        e2e::result r = run_zef(args, in(t.path));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.size(), data.size());
        EXPECT_TRUE(r.out == data);
        EXPECT_NE(r.err.find(":: opening files:OK  "), std::string::npos) << r.err;
    }
}

TEST(OpenStage, StatusLineOnlyWhenAsked) {
    e2e::temp_dir t;
    const std::string data = e2e::random_bytes(5000, 3);
    e2e::write_file(t.file("a"), data);
    e2e::write_file(t.file("b"), data);
    struct status_case {
        std::vector<std::string> args;
        bool shown;
    } cases[] = {
        {{"a"}, false},
        {{"a", "-v"}, true},
        {{"a", "-c"}, true},
        {{"a", "b"}, true},
        {{"a", "out", "-Write"}, true},
        {{"a", "-v", "-q"}, false},
        {{"a", "b", "-q"}, false},
    };
    for (const status_case& c : cases) {
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        SCOPED_TRACE(line);
        e2e::result r = run_zef(c.args, in(t.path));
        EXPECT_EQ(r.status, 0) << r.err;
        // The stage's two texts and the block line share one line.
        if (c.shown) {
            EXPECT_NE(r.err.find(":: opening files:OK  :: using "), std::string::npos) << r.err;
        } else {
            EXPECT_EQ(r.err.find(":: opening files:"), std::string::npos) << r.err;
        }
    }
    // A single input without progress prints its digest line and nothing else.
    e2e::result r = run_zef({"a"}, in(t.path));
    EXPECT_EQ(r.out, e2e::tool_digest("sha1sum", t.file("a")) + "  a\n");
    EXPECT_EQ(r.err, "");
}

TEST(OpenStage, LockAndOfflineOnRegularFilesRunNormally) {
    e2e::temp_dir t;
    const std::string data = e2e::random_bytes((2 << 20) + 777, 4);
    e2e::write_file(t.file("a"), data);
    e2e::write_file(t.file("b"), data);
    const std::string sha1 = e2e::tool_digest("sha1sum", t.file("a"));
    for (const char* option : {"-L", "-lock", "-dismount", "-O", "-OO"}) {
        SCOPED_TRACE(option);
        e2e::result hash = run_zef({"a", option}, in(t.path));
        EXPECT_EQ(hash.status, 0) << hash.err;
        EXPECT_NE(hash.out.find(sha1 + "  a\n"), std::string::npos) << hash.out;

        e2e::result same = run_zef({"a", "b", option}, in(t.path));
        EXPECT_EQ(same.status, 0) << same.err;

        std::remove(t.file("copy").c_str());
        e2e::result copy = run_zef({"a", "copy", "-Write", option}, in(t.path));
        EXPECT_EQ(copy.status, 0) << copy.err;
        EXPECT_TRUE(e2e::read_file(t.file("copy")) == data);
    }
}

// One difference block as the log holds it: UTF-16LE, no byte-order mark.
std::string log_block(unsigned long long offset, const std::string& a, const std::string& b) {
    auto u = [](char c) { return static_cast<unsigned>(static_cast<unsigned char>(c)); };
    char text[256];
    std::snprintf(text, sizeof text,
                  "%08llx:[%02x%02x %02x%02x %02x%02x %02x%02x]\n%08llx:[%02x%02x %02x%02x %02x%02x %02x%02x]\n\n",
                  offset, u(a[offset]), u(a[offset + 1]), u(a[offset + 2]), u(a[offset + 3]), u(a[offset + 4]),
                  u(a[offset + 5]), u(a[offset + 6]), u(a[offset + 7]), offset, u(b[offset]), u(b[offset + 1]),
                  u(b[offset + 2]), u(b[offset + 3]), u(b[offset + 4]), u(b[offset + 5]), u(b[offset + 6]),
                  u(b[offset + 7]));
    std::string wide;
    for (const char* p = text; *p; ++p) {
        wide += *p;
        wide += '\0';
    }
    return wide;
}

TEST(OpenStage, AppendedLogGoesAfterTheExistingLog) {
    const std::string a = e2e::random_bytes(300000, 5);
    std::string b = a;
    b[5001] ^= 0x40;              // word 0x1388
    b[0x30000 + 15] ^= 0x01;      // word 0x30008
    const std::string listing = log_block(0x1388, a, b) + log_block(0x30008, a, b);
    // Longer than the new listing: written over, a stale tail would remain.
    std::string old_log;
    for (int i = 0; i < 40; ++i) old_log += "an older listing, line " + std::to_string(i) + "\r\n";
    ASSERT_GT(old_log.size(), listing.size());

    struct log_case {
        const char* name;
        bool append;
        bool old_exists;
        std::string expected;
    } cases[] = {
        {"append to an existing log", true, true, old_log + listing},
        {"append without a log", true, false, listing},
        {"a new log replaces the old", false, true, listing},
    };
    for (const log_case& c : cases) {
        SCOPED_TRACE(c.name);
        e2e::temp_dir t;
        e2e::write_file(t.file("a"), a);
        e2e::write_file(t.file("b"), b);
        if (c.old_exists) e2e::write_file(t.file("zef-log.txt"), old_log);
        std::vector<std::string> args = {"a", "b", "-l"};
        if (c.append) args.push_back("-a");
        e2e::result r = run_zef(args, in(t.path));
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("00001388:["), std::string::npos) << r.err;
        EXPECT_TRUE(e2e::read_file(t.file("zef-log.txt")) == c.expected);
        EXPECT_EQ(e2e::read_file(t.file("zef-log.txt")).size(), c.expected.size());
    }
}

// Under Wine too: the report's text is the system's own there.
TEST(BothOpen, FailedOpenReportsOnStandardOutput) {
    e2e::temp_dir t;
    mkdir(t.file("dir").c_str(), 0755);
    struct both_case {
        const char* path;
        const char* report_start;
    } cases[] = {
        {"missing", "open(missing)\n   ^ERROR: 2, "},
        {"dir", "open(dir)\n   ^ERROR: 336, "},
    };
    for (const both_case& c : cases) {
        SCOPED_TRACE(c.path);
        e2e::result r = run_zef({c.path}, in(t.path));
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out.rfind(c.report_start, 0), 0u) << r.out;
        EXPECT_EQ(r.out.find("open(", 1), std::string::npos) << r.out;
        EXPECT_FALSE(std::regex_search(r.out + r.err, digest_line));
    }
}

}  // namespace
