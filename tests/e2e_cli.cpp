// The command line as a user meets it: usage, banner, Ctrl+C, exit status.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

namespace {

std::string expected_usage(const std::string& program) {
    std::string text = e2e::read_file(std::string(ZEF_TEST_DATA) + "/usage.txt");
    for (size_t at; (at = text.find("@ZEF@")) != std::string::npos;) text.replace(at, 5, program);
    return text;
}

const char* const banner = ":: file compare and hash utility  2025-12-25\n";

TEST(BothUsage, NoArgumentsSwitchAloneVerboseAlone) {
    e2e::temp_dir dir;
    e2e::options o;
    o.cwd = dir.path;
    // The usage text shows argv[0]: the path as started here, and under
    // Wine the Windows form of it. It is read off the first line.
    std::string program = e2e::zef_path();
    auto program_of = [&](const std::string& out) {
        const std::string head = "::usage::\n\t";
        size_t end = out.find(" <file1>");
        if (out.rfind(head, 0) == 0 && end != std::string::npos) return out.substr(head.size(), end - head.size());
        return program;
    };

    e2e::result r = e2e::run_zef({}, o);
    program = program_of(r.out);
    if (!e2e::under_wine()) {
        EXPECT_EQ(program, e2e::zef_path());
    }
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, banner);
    EXPECT_EQ(r.out, expected_usage(program));

    r = e2e::run_zef({"-sha1"}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "") << "a hash switch and no path: no banner";
    EXPECT_EQ(r.out, expected_usage(program));

    r = e2e::run_zef({"-v"}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, banner);
    EXPECT_EQ(r.out, expected_usage(program));
}

// --help alone: the usage text unchanged, then what this build adds.
TEST(BothUsage, HelpAddsTheNewSwitches) {
    e2e::temp_dir dir;
    e2e::options o;
    o.cwd = dir.path;
    e2e::result r = e2e::run_zef({"--help"}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const size_t end = r.out.find(" <file1>");
    ASSERT_EQ(r.out.rfind("::usage::\n\t", 0), 0u) << r.out;
    ASSERT_NE(end, std::string::npos) << r.out;
    const std::string program = r.out.substr(11, end - 11);
    const std::string usage = expected_usage(program);
    ASSERT_EQ(r.out.substr(0, usage.size()), usage);
    const std::string added = r.out.substr(usage.size());
    for (const char* text : {"::switches added in this build\n", "\t-verify ", "\t-hash=LIST ", "\t-xxh128 ", "cksum -c"})
        EXPECT_NE(added.find(text), std::string::npos) << text << "\n" << added;
}

TEST(Cli, CtrlCEndsTheRunWithCleanUp) {
    // /dev/zero has no size: it is read as a stream until Ctrl+C.
    e2e::options o;
    o.sigint_after_ms = 400;
    e2e::result r = e2e::run_zef({"/dev/zero", "-sha1", "-v"}, o);
    EXPECT_EQ(r.status, 2) << "an interrupted run has not done its job";
    EXPECT_NE(r.err.find("\n\tCTRL+C typed! exitting...\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("/dev/zero\n"), std::string::npos) << "no digest of a part";
}

TEST(Cli, QuitSignalKeepsItsDefault) {
    int status = 0;
    std::string out = e2e::shell("'" + e2e::zef_path() +
                                     "' /dev/zero -sha1 >/dev/null 2>&1 & p=$!; sleep 0.3; kill -QUIT $p; wait $p; echo $?",
                                 &status);
    EXPECT_EQ(std::stoi(out), 128 + 3) << "Ctrl+Break ends the process at once";
}

TEST(Cli, DumpSwitchOnlyInFirstPlace) {
    e2e::temp_dir dir;
    e2e::write_file(dir.file("a"), "abc");
    e2e::options o;
    o.cwd = dir.path;
    // "-mbr" in second place is a path like any unmatched argument.
    e2e::result r = e2e::run_zef({"a", "-mbr"}, o);
    EXPECT_NE(r.out.find("open(-mbr)"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 2);
}

}  // namespace

namespace {

TEST(Cli, CopyWithoutTargetIsRefused) {
    e2e::temp_dir dir;
    e2e::write_file(dir.file("src"), "data");
    e2e::options o;
    o.cwd = dir.path;
    e2e::result r = e2e::run_zef({"src", "-Write", "-sha1"}, o);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("!! -Write needs a target"), std::string::npos) << r.err;
    EXPECT_EQ(e2e::shell("ls '" + dir.path + "'"), "src\n") << "no file named like the switch";
}

}  // namespace
