// The switch table, its order subtleties, the size switches and the mode
// decision.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app/G_APP.h"

namespace {

struct parsed {
    int result;
    std::string out, err;
};

// Runs parse_options on "zef" + args with the default 2 MiB page size.
parsed parse(G_APP& app, std::vector<std::string> args) {
    args.insert(args.begin(), "zef");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    app.page_size = 0x200000;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int r = app.parse_options(static_cast<int>(args.size()), argv.data());
    parsed p{r, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
    return p;
}

struct row_case {
    const char* arg;
    std::function<bool(const G_APP&)> check;
    const char* what;
};

TEST(Options, EverySwitchRow) {
    const row_case rows[] = {
        {"-l", [](const G_APP& a) { return a.opt_log; }, "-l log"},
        {"-LOG", [](const G_APP& a) { return a.opt_log; }, "-log any case"},
        {"-Q", [](const G_APP& a) { return a.opt_quiet; }, "-q any case"},
        {"-Quiet", [](const G_APP& a) { return a.opt_quiet; }, "-quiet"},
        {"-C", [](const G_APP& a) { return a.opt_compare; }, "-c"},
        {"-cmp", [](const G_APP& a) { return a.opt_compare; }, "-cmp"},
        {"-MD2", [](const G_APP& a) { return a.opt_hash && a.alg_id == 0; }, "-md2"},
        {"-md4", [](const G_APP& a) { return a.opt_hash && a.alg_id == 1; }, "-md4"},
        {"-Md5", [](const G_APP& a) { return a.opt_hash && a.alg_id == 2; }, "-md5"},
        {"-sha1", [](const G_APP& a) { return a.opt_hash && a.alg_id == 3; }, "-sha1"},
        {"-SHA256", [](const G_APP& a) { return a.opt_hash && a.alg_id == 4; }, "-sha256"},
        {"-sha384", [](const G_APP& a) { return a.opt_hash && a.alg_id == 5; }, "-sha384"},
        {"-sha512", [](const G_APP& a) { return a.opt_hash && a.alg_id == 6; }, "-sha512"},
        {"-P", [](const G_APP& a) { return a.opt_peak && a.page_size == 0x200000; }, "-P alone is the peak switch"},
        {"-PEAK", [](const G_APP& a) { return a.opt_peak; }, "-peak"},
        {"-N", [](const G_APP& a) { return a.opt_peak && a.opt_normalize; }, "-n"},
        {"-normalize", [](const G_APP& a) { return a.opt_peak && a.opt_normalize; }, "-normalize"},
        {"-B", [](const G_APP& a) { return a.opt_bench && a.opt_bench_ff && a.opt_verbose; }, "-B 0xFF bench"},
        {"-b", [](const G_APP& a) { return a.opt_bench && !a.opt_bench_ff && a.opt_verbose; }, "-b bench"},
        {"-BENCH", [](const G_APP& a) { return a.opt_bench && !a.opt_bench_ff; }, "-BENCH is the plain bench"},
        {"-V", [](const G_APP& a) { return a.opt_verbose; }, "-v"},
        {"-verbose", [](const G_APP& a) { return a.opt_verbose; }, "-verbose"},
        {"-T", [](const G_APP& a) { return a.opt_thread_affinity; }, "-t"},
        {"-L", [](const G_APP& a) { return a.opt_lock && !a.opt_log; }, "-L is lock, not log"},
        {"-Lock", [](const G_APP& a) { return a.opt_lock; }, "-lock"},
        {"-DISMOUNT", [](const G_APP& a) { return a.opt_lock; }, "-dismount"},
        {"-OO", [](const G_APP& a) { return a.opt_keep_offline && a.opt_offline && a.opt_lock; }, "-OO implies"},
        {"-O", [](const G_APP& a) { return a.opt_offline && a.opt_lock && !a.opt_keep_offline; }, "-O implies"},
        {"-offline", [](const G_APP& a) { return a.opt_offline && a.opt_lock; }, "-offline"},
        {"-a", [](const G_APP& a) { return a.opt_append && !a.opt_resume; }, "-a"},
        {"-append", [](const G_APP& a) { return a.opt_append; }, "-append"},
        {"-r", [](const G_APP& a) { return a.opt_append && a.opt_resume; }, "-r implies append"},
        {"-resume", [](const G_APP& a) { return a.opt_append && a.opt_resume; }, "-resume"},
        {"-Write", [](const G_APP& a) { return a.opt_write; }, "-Write"},
        {"-P0", [](const G_APP& a) { return a.page_size == 512 && a.buffered_io && !a.opt_peak; }, "-P0"},
        {"-P9", [](const G_APP& a) { return a.page_size == 262144 && !a.buffered_io; }, "-P9"},
        {"-PA", [](const G_APP& a) { return a.page_size == 524288; }, "-PA"},
        {"-Pk", [](const G_APP& a) { return a.page_size == (u64{512} << 20); }, "-Pk lower case"},
        {"-PK", [](const G_APP& a) { return a.page_size == (u64{512} << 20); }, "-PK 512 MiB"},
        {"-Pz", [](const G_APP& a) { return a.page_size == 0x200000 && !a.opt_peak; }, "-Pz leaves the size"},
        {"-45", [](const G_APP& a) { return a.buffers_shift == 4 && a.page_size == (u64{0x200000} << 5); }, "-45"},
        {"-0", [](const G_APP& a) { return a.buffers_shift == 0 && a.page_size == 0x200000; }, "-0"},
        {"-9x", [](const G_APP& a) { return a.buffers_shift == 9 && a.page_size == 0x200000; }, "-9x"},
        {"-?5", [](const G_APP& a) { return a.buffers_shift == 1 && a.page_size == (u64{0x200000} << 5); }, "-?5"},
    };
    for (const row_case& c : rows) {
        G_APP app(0, nullptr, false);
        // One path and the switch: recognised means exactly one path.
        parsed p = parse(app, {"file", c.arg});
        EXPECT_EQ(p.result, 0) << c.what;
        EXPECT_TRUE(c.check(app)) << c.what;
        EXPECT_TRUE(app.single_file) << c.what << ": the switch must count as recognised";
    }
}

TEST(Options, UnmatchedSpellingsArePaths) {
    for (const char* arg : {"-o", "-A", "-R", "-write", "-OFFLINE", "-compare", "--", "-x", "-", "-#5", "-Con"}) {
        G_APP app(0, nullptr, false);
        parse(app, {"file", arg});
        EXPECT_FALSE(app.single_file) << arg << " must count as a second path";
        EXPECT_STREQ(app.file_name[2], arg);
    }
}

TEST(Options, SizeSwitchesActInArgumentOrder) {
    {
        G_APP app(0, nullptr, false);
        parse(app, {"f", "-45", "-P3"});
        EXPECT_EQ(app.page_size, 4096u);
        EXPECT_EQ(app.buffers_shift, 4u);
    }
    {
        G_APP app(0, nullptr, false);
        parse(app, {"f", "-P3", "-45"});
        EXPECT_EQ(app.page_size, 128u * 1024);
    }
    {
        G_APP app(0, nullptr, false);
        parse(app, {"f", "-P0", "-P9"});  // nothing clears buffered_io again
        EXPECT_EQ(app.page_size, 262144u);
        EXPECT_TRUE(app.buffered_io);
    }
    {
        G_APP app(0, nullptr, false);
        parse(app, {"f", "-sha1", "-md5"});  // the last hash switch wins
        EXPECT_EQ(app.alg_id, 2u);
    }
}

struct mode_case {
    std::vector<std::string> args;
    int result;
    bool single, hash, compare, banner;
    u64 shift;
    const char* what;
};

TEST(Options, ModeDecision) {
    const mode_case cases[] = {
        {{}, -1, false, false, false, true, 1, "no arguments: banner and usage"},
        {{"-sha1"}, -1, false, true, false, false, 1, "-sha1 alone: usage without banner"},
        {{"-v"}, -1, false, false, false, true, 1, "-v alone: banner and usage"},
        {{"-Write"}, -1, false, false, false, true, 1, "-Write alone: usage"},
        {{"img"}, 0, true, true, false, false, 1, "one path hashes"},
        {{"img", "-p"}, 0, true, false, false, false, 1, "one path with peak only"},
        {{"img", "-sha1", "-c"}, 0, true, true, true, true, 1, "-c stays set with one path"},
        {{"-sha1", "img"}, 0, true, true, false, false, 1, "argument 1 is the switch; one path"},
        {{"a", "b"}, 0, false, false, true, true, 4, "two paths compare with 16 buffers"},
        {{"a", "b", "-sha256"}, 0, false, true, false, false, 1, "two paths with a hash: hashing only"},
        {{"a", "b", "-sha256", "-v"}, 0, false, true, true, true, 4, "-v brings the comparison back"},
        {{"a", "b", "-p"}, 0, false, false, false, false, 1, "peak only"},
        {{"a", "b", "-Write", "-c"}, 0, false, false, false, true, 6, "a copy is not compared; 64 buffers"},
        {{"a", "b", "-2"}, 0, false, false, true, true, 2, "an explicit ring size wins"},
        {{"a", "b", "-Write", "-0"}, 0, false, false, false, true, 0, "-0 with a copy"},
        {{"a", "b", "-q"}, 0, false, false, true, false, 4, "quiet: no banner"},
    };
    for (const mode_case& c : cases) {
        G_APP app(0, nullptr, false);
        parsed p = parse(app, c.args);
        EXPECT_EQ(p.result, c.result) << c.what;
        EXPECT_EQ(app.usage_shown, c.result == -1) << c.what;
        EXPECT_EQ(!p.out.empty(), c.result == -1) << c.what << ": usage on standard output";
        EXPECT_EQ(app.single_file, c.single) << c.what;
        EXPECT_EQ(app.opt_hash, c.hash) << c.what;
        EXPECT_EQ(app.opt_compare, c.compare) << c.what;
        EXPECT_EQ(p.err == ":: file compare and hash utility  2025-12-25\n", c.banner) << c.what << ": " << p.err;
        EXPECT_EQ(app.buffers_shift, c.shift) << c.what;
    }
}

TEST(Options, NormalizeTargetIsArgumentTwo) {
    G_APP app(0, nullptr, false);
    parse(app, {"src.raw", "-n"});
    EXPECT_TRUE(app.single_file);
    EXPECT_STREQ(app.file_name[2], "-n");
    EXPECT_TRUE(app.opt_normalize);
    EXPECT_FALSE(app.opt_hash);
}

TEST(Options, BenchmarkTarget) {
    {
        G_APP app(0, nullptr, false);
        parsed p = parse(app, {"-b", "-l"});
        EXPECT_EQ(p.result, 0);
        EXPECT_STREQ(app.file_name[0], "zef-log.txt");
        EXPECT_EQ(app.file_name[1], nullptr) << "no path is taken";
    }
    {
        G_APP app(0, nullptr, false);
        parse(app, {"/dev/vol", "-Write", "-L", "-b", "-l"});
        EXPECT_STREQ(app.file_name[0], "/dev/vol");
    }
    {
        G_APP app(0, nullptr, false);
        parsed p = parse(app, {"/dev/vol", "-L", "-b", "-l"});
        EXPECT_STREQ(app.file_name[0], "zef-log.txt");
        EXPECT_NE(p.err.find(":: add -Write to overwrite [/dev/vol]\n"), std::string::npos) << p.err;
    }
    {
        G_APP app(0, nullptr, false);
        parsed p = parse(app, {"/dev/vol", "-b", "-l"});  // fewer than four arguments: ignored
        EXPECT_STREQ(app.file_name[0], "zef-log.txt");
        EXPECT_EQ(p.err.find("add -Write"), std::string::npos);
        EXPECT_EQ(p.out, "");
    }
}

TEST(Options, VerifyCountsOnlyWithACopyOntoAReadableTarget) {
    struct verify_case {
        std::vector<std::string> args;
        bool accepted;
    };
    const verify_case cases[] = {
        {{"src", "dst", "-Write", "-verify"}, true},
        {{"src", "dst", "-VERIFY", "-Write"}, true},
        {{"src", "dst", "-Write", "-Verify", "-sha1", "-resume"}, true},
        {{"src", "dst", "-verify"}, false},
        {{"src", "-verify"}, false},
        {{"-verify"}, false},
        {{"src", "dst", "-Write", "-verify", "-n"}, false},
        {{"/dev/vol", "-Write", "-L", "-b", "-l", "-verify"}, false},
        {{"src", "-", "-Write", "-verify"}, false},
        {{"src", "con", "-Write", "-verify"}, false},
    };
    for (const verify_case& c : cases) {
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        G_APP app(0, nullptr, false);
        parsed p = parse(app, c.args);
        EXPECT_TRUE(app.opt_verify) << line;
        EXPECT_EQ(p.result == 0, c.accepted) << line;
        EXPECT_EQ(app.run_failed, !c.accepted) << line;
        EXPECT_EQ(p.out, "") << line << ": no usage text";
        if (!c.accepted) {
            EXPECT_EQ(p.err.rfind("!! -verify", 0), 0u) << line << p.err;
        }
    }
    // The row counts as a switch: one path, and "-verify" is never a path.
    G_APP app(0, nullptr, false);
    parse(app, {"src", "dst", "-Write", "-verify"});
    EXPECT_FALSE(app.single_file);
    EXPECT_STREQ(app.file_name[2], "dst");
}

TEST(Options, UsageLine28ShowsThePageSize) {
    G_APP app(0, nullptr, false);
    parsed p = parse(app, {"-P9"});  // 256 KiB: << 5 is 8 MB
    EXPECT_EQ(p.result, -1);
    EXPECT_NE(p.out.find("page_size = page_size<<5 = 8 MB\n"), std::string::npos);
    EXPECT_EQ(p.out.rfind("::usage::\n\tzef <file1> [file2] [-##]\n", 0), 0u);
    EXPECT_NE(p.out.find("\tzef -b -l\t# benchmark write performance 0x00 to [zef-log.txt]\n"), std::string::npos);
}

// ---------------------------------------------------------------- new rows

TEST(Options, HashListParser) {
    enum : u32 { MD2, MD4, MD5, SHA1, SHA256, SHA384, SHA512, XXH128 };
    struct row {
        const char* list;
        std::vector<u32> ids;  // empty: refused
        const char* why;
    };
    const row rows[] = {
        {"md5", {MD5}, ""},
        {"md5,sha1,sha256", {MD5, SHA1, SHA256}, ""},
        {"XXH128,Sha512,md2", {XXH128, SHA512, MD2}, ""},
        {"md2,md4,md5,sha1,sha256,sha384,sha512,xxh128", {MD2, MD4, MD5, SHA1, SHA256, SHA384, SHA512, XXH128}, ""},
        {"sha384,md4", {SHA384, MD4}, ""},
        {"", {}, "the list is empty"},
        {",", {}, "name 1 is empty"},
        {"md5,", {}, "name 2 is empty"},
        {"md5,,sha1", {}, "name 2 is empty"},
        {",md5", {}, "name 1 is empty"},
        {"md5,sha3", {}, "\"sha3\" is not an algorithm"},
        {"md5, sha1", {}, "\" sha1\" is not an algorithm"},
        {"-md5", {}, "\"-md5\" is not an algorithm"},
        {"sha", {}, "\"sha\" is not an algorithm"},
        {"xxh64", {}, "\"xxh64\" is not an algorithm"},
        {"md5,sha1,MD5", {}, "\"MD5\" is named twice"},
        {"xxh128,xxh128", {}, "\"xxh128\" is named twice"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.list);
        u32 ids[G_CRYPT_ALG_COUNT] = {};
        u32 count = 99;
        std::string why;
        const bool ok = parse_hash_list(r.list, ids, count, why);
        EXPECT_EQ(ok, !r.ids.empty());
        if (ok) {
            EXPECT_EQ(std::vector<u32>(ids, ids + count), r.ids);
        } else {
            EXPECT_EQ(why, r.why);
        }
    }
}

TEST(Options, NewHashRows) {
    {
        G_APP app(0, nullptr, false);
        parsed p = parse(app, {"file", "-XXH128"});
        EXPECT_EQ(p.result, 0);
        EXPECT_TRUE(app.single_file) << "-xxh128 is a switch";
        EXPECT_TRUE(app.opt_hash);
        EXPECT_EQ(app.alg_id, 7u);
        EXPECT_EQ(app.hash_list_count, 0u);
    }
    {
        G_APP app(0, nullptr, false);
        parsed p = parse(app, {"file", "-HASH=Md5,xxh128"});
        EXPECT_EQ(p.result, 0);
        EXPECT_TRUE(app.single_file) << "-hash= is a switch";
        EXPECT_TRUE(app.opt_hash);
        EXPECT_EQ(app.hash_list_count, 2u);
        EXPECT_EQ(app.hash_list[0], 2u);
        EXPECT_EQ(app.hash_list[1], 7u);
        EXPECT_EQ(p.err, "");
    }
    {
        // Two paths and a list: both hashed, not compared, as with -sha1.
        G_APP app(0, nullptr, false);
        parsed p = parse(app, {"a", "b", "-hash=sha1"});
        EXPECT_EQ(p.result, 0);
        EXPECT_FALSE(app.single_file);
        EXPECT_TRUE(app.opt_hash);
        EXPECT_FALSE(app.opt_compare);
    }
    // With single hash switches, before or after it, the list is used.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"f", "-sha256", "-hash=md5,sha1"}, {"f", "-hash=md5,sha1", "-xxh128"}}) {
        G_APP app(0, nullptr, false);
        parsed p = parse(app, args);
        EXPECT_EQ(p.result, 0);
        EXPECT_EQ(app.hash_list_count, 2u);
        EXPECT_EQ(p.err, "!! -hash=md5,sha1 and " + args[args[1] == "-sha256" ? 1 : 2] + " given: the list is used\n");
    }
}

TEST(Options, BadHashListRefusesTheRun) {
    for (const char* arg : {"-hash=", "-hash=md5,nope", "-Hash=sha1,SHA1"}) {
        G_APP app(0, nullptr, false);
        parsed p = parse(app, {"a", "b", "-Write", arg});
        EXPECT_EQ(p.result, -1) << arg;
        EXPECT_TRUE(app.options_refused) << arg;
        EXPECT_TRUE(app.run_failed) << arg;
        EXPECT_EQ(app.exit_status(), 2) << arg;
        EXPECT_EQ(p.err.rfind(std::string("!! ") + arg + ": ", 0), 0u) << p.err;
        EXPECT_EQ(p.out, "");
    }
}

TEST(Options, HelpOnlyAsTheOnlyArgument) {
    G_APP app(0, nullptr, false);
    parsed p = parse(app, {"--help"});
    EXPECT_EQ(p.result, -1);
    EXPECT_TRUE(app.usage_shown);
    EXPECT_FALSE(app.run_failed);
    EXPECT_EQ(p.out.rfind("::usage::\n", 0), 0u);
    for (const char* text : {"\t-verify ", "\t-hash=LIST ", "\t-xxh128 "})
        EXPECT_NE(p.out.find(text), std::string::npos) << text;

    G_APP other(0, nullptr, false);
    parse(other, {"file", "--help"});
    EXPECT_STREQ(other.file_name[2], "--help") << "beside a path it is a path, as before";
}

}  // namespace
