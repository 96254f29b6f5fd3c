// Nothing lost, no false success: outputs that are inputs, closed standard
// streams, standard output as a regular file, targets cut before the run
// can start, -append and -resume onto what cannot take them, dangling links,
// results that cannot be written, verdicts without a comparison, the error
// numbers of failed creates and the text after the partition table.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using e2e::in_dir;
using e2e::result;
using e2e::run_zef;
using e2e::same_bytes;
using e2e::status_text;


bool mounted_tmpfs(const std::string& dir, const std::string& options) {
    int st = -1;
    e2e::shell("mount -t tmpfs -o " + options + " tmpfs '" + dir + "' 2>/dev/null", &st);
    return st == 0;
}

struct mount_guard {
    std::string dir;
    ~mount_guard() {
        if (!dir.empty()) e2e::shell("umount '" + dir + "' 2>/dev/null");
    }
};

// ------------------------------------------------ an output that is an input

struct shared_case {
    const char* what;
    std::vector<std::string> args;
    bool both;  // also for the Windows build
};

// Every case names "f" (the input, 3 MiB + 123 bytes) and, when it exists,
// "log.txt" (an earlier log, also an input); links are made before.
void check_outputs_that_are_inputs(bool both) {
    const std::string data = e2e::random_bytes(3 * 1048576 + 123, 10);
    const std::string old_log = e2e::random_bytes(5000, 11);
    const shared_case cases[] = {
        {"same path", {"f", "f", "-Write"}, true},
        {"hard link", {"f", "hard", "-Write"}, true},
        {"hard link, normalized", {"f", "hard", "-n"}, true},
        {"symbolic link", {"f", "soft", "-Write"}, false},
        {"appended", {"f", "f", "-Write", "-append"}, false},
        {"resumed", {"f", "hard", "-Write", "-resume"}, false},
        {"normalized onto itself", {"f", "f", "-n"}, false},
        {"log that is the input", {"zef-log.txt", "-l"}, false},
        {"log that is the compared input", {"f", "zef-log.txt", "-c", "-l"}, false},
    };
    for (const shared_case& c : cases) {
        if (c.both != both) continue;
        SCOPED_TRACE(c.what);
        e2e::temp_dir dir;
        e2e::write_file(dir.file("f"), data);
        ASSERT_EQ(link(dir.file("f").c_str(), dir.file("hard").c_str()), 0);
        if (!both) {
            ASSERT_EQ(symlink("f", dir.file("soft").c_str()), 0);
            e2e::write_file(dir.file("zef-log.txt"), old_log);
        }
        result r = run_zef(c.args, in_dir(dir.path));
        EXPECT_EQ(r.status, 2) << status_text(r);
        EXPECT_NE(r.err.find("refused, nothing written"), std::string::npos) << r.err;
        EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("f")), data));
        if (!both) {
            EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("zef-log.txt")), old_log));
        }
    }
}

TEST(BothSafety, OutputThatIsAnInputIsRefused) { check_outputs_that_are_inputs(true); }
TEST(Safety, OutputThatIsAnInputIsRefused) { check_outputs_that_are_inputs(false); }

TEST(Safety, StandardInputThatIsTheTargetIsRefused) {
    e2e::temp_dir dir;
    const std::string data = e2e::random_bytes(1048576 + 7, 12);
    e2e::write_file(dir.file("f"), data);
    e2e::options o = in_dir(dir.path);
    o.stdin_fd = ::open(dir.file("f").c_str(), O_RDONLY);
    ASSERT_GE(o.stdin_fd, 0);
    result r = run_zef({"-", "f", "-Write"}, o);
    ::close(o.stdin_fd);
    EXPECT_EQ(r.status, 2) << status_text(r);
    EXPECT_NE(r.err.find("the target [f] is the input [-]"), std::string::npos) << r.err;
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("f")), data));
}

// The same device by two paths, and a partition and its disk, as source and
// target of a copy: refused, the device's bytes unchanged.
TEST(Safety, SameDeviceOrPartitionAndDiskAreRefused) {
    if (!e2e::is_root()) GTEST_SKIP() << "loop devices need root";
    e2e::temp_dir dir;
    const std::string img = dir.file("disk.img");
    const std::string data = e2e::random_bytes(8 * 1048576, 13);
    e2e::write_file(img, data);
    int st = -1;
    e2e::shell("printf 'label: dos\\nstart=2048, size=8192, type=83\\n' | sfdisk -q '" + img + "' >/dev/null 2>&1", &st);
    if (st != 0) GTEST_SKIP() << "sfdisk not available";
    const std::string before = e2e::read_file(img);
    const std::string dev = e2e::attach_loop(img);
    if (dev.empty()) GTEST_SKIP() << "no loop device";
    struct stat sb {};
    ASSERT_EQ(stat(dev.c_str(), &sb), 0);
    // A second node of the same device.
    const std::string node = dir.file("node");
    ASSERT_EQ(mknod(node.c_str(), S_IFBLK | 0600, sb.st_rdev), 0);
    e2e::shell("partx -a '" + dev + "' 2>/dev/null");
    const std::string part = dev + "p1";
    const bool have_part = access(part.c_str(), F_OK) == 0;

    std::vector<std::vector<std::string>> cases = {{dev, node, "-Write"}, {node, dev, "-Write"}, {dev, dev, "-Write"}};
    if (have_part) {
        cases.push_back({part, dev, "-Write"});
        cases.push_back({dev, part, "-Write"});
    }
    for (const auto& args : cases) {
        SCOPED_TRACE(args[0] + " -> " + args[1]);
        result r = run_zef(args, in_dir(dir.path));
        EXPECT_EQ(r.status, 2) << status_text(r);
        EXPECT_NE(r.err.find("refused, nothing written"), std::string::npos) << r.err;
    }
    if (have_part) e2e::shell("partx -d '" + dev + "' 2>/dev/null");
    e2e::detach_loop(dev);
    EXPECT_TRUE(same_bytes(e2e::read_file(img), before));
    if (!have_part) GTEST_SKIP() << "no partition node (partx): partition and disk not tried";
}

// A device written over the file system that holds the input: refused.
TEST(Safety, DeviceUnderTheInputFileIsRefused) {
    if (!e2e::is_root()) GTEST_SKIP() << "loop devices and mounts need root";
    e2e::temp_dir dir;
    const std::string img = dir.file("fs.img");
    int st = -1;
    e2e::shell("truncate -s 16M '" + img + "' && mkfs.ext4 -q -F '" + img + "' >/dev/null 2>&1", &st);
    if (st != 0) GTEST_SKIP() << "mkfs.ext4 not available";
    const std::string dev = e2e::attach_loop(img);
    if (dev.empty()) GTEST_SKIP() << "no loop device";
    ASSERT_EQ(mkdir(dir.file("mnt").c_str(), 0755), 0);
    e2e::shell("mount '" + dev + "' '" + dir.file("mnt") + "' 2>/dev/null", &st);
    if (st != 0) {
        e2e::detach_loop(dev);
        GTEST_SKIP() << "ext4 cannot be mounted here";
    }
    const std::string data = e2e::random_bytes(300000, 30);
    e2e::write_file(dir.file("mnt/f"), data);
    e2e::shell("sync");
    result r = run_zef({"mnt/f", dev, "-Write"}, in_dir(dir.path));
    EXPECT_EQ(r.status, 2) << status_text(r);
    EXPECT_NE(r.err.find("refused, nothing written"), std::string::npos) << r.err;
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("mnt/f")), data));
    e2e::shell("umount '" + dir.file("mnt") + "'", &st);
    EXPECT_EQ(st, 0);  // a file system that was not written over unmounts cleanly
    e2e::shell("e2fsck -fn '" + dev + "' >/dev/null 2>&1", &st);
    EXPECT_EQ(st, 0);
    e2e::detach_loop(dev);
}

// ------------------------------------------------ closed standard streams

TEST(Safety, ClosedStandardStreamsNeverBecomeFiles) {
    e2e::temp_dir dir;
    const std::string data = e2e::random_bytes(2 * 1048576 + 999, 14);
    e2e::write_file(dir.file("f"), data);

    // Status lines, progress and digests must not land in the target.
    e2e::options closed = in_dir(dir.path);
    closed.close_stdout = closed.close_stderr = true;
    result copy = run_zef({"f", "x", "-Write", "-v", "-sha1"}, closed);
    EXPECT_EQ(copy.status, 2);  // the digest had nowhere to go
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("x")), data));

    // A log opened with standard output closed gets no console text.
    e2e::write_file(dir.file("g"), data);
    e2e::options no_out = in_dir(dir.path);
    no_out.close_stdout = true;
    result log = run_zef({"f", "g", "-c", "-l"}, no_out);
    EXPECT_EQ(log.status, 0) << status_text(log);
    EXPECT_EQ(e2e::read_file(dir.file("zef-log.txt")), "");
}

TEST(Safety, DashOfAClosedStreamIsRefused) {
    e2e::temp_dir dir;
    const std::string data = e2e::random_bytes(100000, 15);
    e2e::write_file(dir.file("f"), data);
    struct dash_case {
        const char* what;
        std::vector<std::string> args;
        bool close_in, close_out;
        const char* message;
    } cases[] = {
        {"compare with closed input", {"f", "-"}, true, false, "!! -: standard input is closed"},
        {"hash of closed input", {"-"}, true, false, "!! -: standard input is closed"},
        {"copy to closed output", {"f", "-", "-Write"}, false, true, "!! -: standard output is closed"},
    };
    for (const dash_case& c : cases) {
        SCOPED_TRACE(c.what);
        e2e::options o = in_dir(dir.path);
        o.close_stdin = c.close_in;
        o.close_stdout = c.close_out;
        result r = run_zef(c.args, o);
        EXPECT_EQ(r.status, 2) << status_text(r);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("no differences"), std::string::npos) << r.err;
        EXPECT_NE(access(dir.file("-").c_str(), F_OK), 0);  // no file named like the stream
    }
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("f")), data));
}

// ------------------------------------------------ standard output as a file

// Standard output opened by the caller on a file that holds a line already,
// positioned at its end or opened to append; the caller writes "END" through
// the same descriptor afterwards, as a shell block does.
void check_copy_into_standard_output_file(bool append) {
    for (size_t size : {size_t{5000}, size_t{2 * 1048576 + 1234}, size_t{4096}}) {
        SCOPED_TRACE(std::to_string(size) + (append ? " appended" : " positioned"));
        e2e::temp_dir dir;
        const std::string data = e2e::random_bytes(size, static_cast<unsigned>(size));
        e2e::write_file(dir.file("s"), data);
        e2e::write_file(dir.file("out"), "HEAD\n");
        const int fd = ::open(dir.file("out").c_str(), O_WRONLY | (append ? O_APPEND : 0));
        ASSERT_GE(fd, 0);
        ASSERT_EQ(lseek(fd, 0, SEEK_END), 5);
        e2e::options o = in_dir(dir.path);
        o.stdout_fd = fd;
        result r = run_zef({"s", "-", "-Write"}, o);
        ASSERT_EQ(::write(fd, "END\n", 4), 4);
        ::close(fd);
        EXPECT_EQ(r.status, 0) << status_text(r);
        EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("out")), "HEAD\n" + data + "END\n"));
    }
}

TEST(BothSafety, CopyIntoStandardOutputFileKeepsItsPosition) { check_copy_into_standard_output_file(false); }
TEST(BothSafety, CopyIntoStandardOutputFileOpenedToAppend) { check_copy_into_standard_output_file(true); }

TEST(BothSafety, ResumeOntoStandardOutputIsRefused) {
    e2e::temp_dir dir;
    e2e::write_file(dir.file("s"), e2e::random_bytes(100000, 16));
    e2e::write_file(dir.file("out"), "HEAD\n");
    const int fd = ::open(dir.file("out").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    e2e::options o = in_dir(dir.path);
    o.stdout_fd = fd;
    result r = run_zef({"s", "-", "-Write", "-resume"}, o);
    ::close(fd);
    EXPECT_EQ(r.status, 2) << status_text(r);
    EXPECT_EQ(e2e::read_file(dir.file("out")), "HEAD\n");
}

// Normalization to standard output: exactly the bytes a file target gets,
// and the file behind standard error keeps what it held.
TEST(Safety, NormalizationToStandardOutputWritesExactlyTheSamples) {
    for (size_t size : {size_t{3001}, size_t{5 * 1048576 + 6}}) {
        SCOPED_TRACE(size);
        e2e::temp_dir dir;
        std::string raw = e2e::random_bytes(size, 17);
        for (size_t i = 1; i < raw.size(); i += 2) raw[i] = static_cast<char>(raw[i] & 0x1F);  // quiet: scaled up
        e2e::write_file(dir.file("n.raw"), raw);
        result ref = run_zef({"n.raw", "ref.raw", "-n"}, in_dir(dir.path));
        ASSERT_EQ(ref.status, 0) << status_text(ref);
        const std::string want = e2e::read_file(dir.file("ref.raw"));
        ASSERT_EQ(want.size(), raw.size());

        e2e::write_file(dir.file("out"), "HEAD\n");
        e2e::write_file(dir.file("log"), "LOG START\n");
        const int out = ::open(dir.file("out").c_str(), O_WRONLY | O_APPEND);
        const int err = ::open(dir.file("log").c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(out, 0);
        ASSERT_GE(err, 0);
        // Standard error goes to the log through a shell-like redirection.
        const std::string command = "cd '" + dir.path + "' && '" + e2e::zef_path() + "' n.raw - -n >&" +
                                    std::to_string(out) + " 2>&" + std::to_string(err);
        int st = -1;
        e2e::shell(command, &st);
        ::close(out);
        ::close(err);
        EXPECT_EQ(st, 0);
        EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("out")), "HEAD\n" + want));
        const std::string log = e2e::read_file(dir.file("log"));
        EXPECT_EQ(log.rfind("LOG START\n", 0), 0u) << log;
        EXPECT_NE(log.find("% n.raw"), std::string::npos) << log;
    }
}

// ------------------------------------------------ cut only when the run starts

TEST(Safety, TargetKeptWhenTheBuffersCannotBeAllocated) {
    e2e::temp_dir dir;
    e2e::write_file(dir.file("src"), e2e::random_bytes(100000, 18));
    const std::string old = e2e::random_bytes(300000, 19);
    e2e::write_file(dir.file("backup"), old);
    // 512 slots of 64 MiB: more than the address space the limit allows.
    int st = -1;
    e2e::shell("cd '" + dir.path + "' && ulimit -v 4000000 && '" + e2e::zef_path() +
                   "' src backup -Write -95 >/dev/null 2>err.txt",
               &st);
    EXPECT_EQ(st, 2) << e2e::read_file(dir.file("err.txt"));
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("backup")), old));
    // The same run with the buffers in place overwrites it whole.
    result r = run_zef({"src", "backup", "-Write"}, in_dir(dir.path));
    EXPECT_EQ(r.status, 0) << status_text(r);
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("backup")), e2e::read_file(dir.file("src"))));
}

// ------------------------------------------------ -append and -resume

TEST(Safety, AppendAndResumeOntoADeviceAreRefused) {
    if (!e2e::is_root()) GTEST_SKIP() << "loop devices need root";
    e2e::temp_dir dir;
    e2e::write_file(dir.file("src"), e2e::random_bytes(100000, 20));
    const std::string img = dir.file("dev.img");
    const std::string content = e2e::random_bytes(4 * 1048576, 21);
    e2e::write_file(img, content);
    const std::string dev = e2e::attach_loop(img);
    if (dev.empty()) GTEST_SKIP() << "no loop device";
    for (const char* sw : {"-append", "-resume"}) {
        SCOPED_TRACE(sw);
        result r = run_zef({"src", dev, "-Write", sw}, in_dir(dir.path));
        EXPECT_EQ(r.status, 2) << status_text(r);
        EXPECT_NE(r.err.find("is a device: -append and -resume need a file target"), std::string::npos) << r.err;
    }
    e2e::detach_loop(dev);
    EXPECT_TRUE(same_bytes(e2e::read_file(img), content));
}

TEST(BothSafety, ResumeOntoALongerFileIsRefused) {
    e2e::temp_dir dir;
    const std::string src = e2e::random_bytes(100000, 22);
    const std::string longer = e2e::random_bytes(300000, 23);
    e2e::write_file(dir.file("src"), src);
    e2e::write_file(dir.file("dst"), longer);
    result r = run_zef({"src", "dst", "-Write", "-resume"}, in_dir(dir.path));
    EXPECT_EQ(r.status, 2) << status_text(r);
    EXPECT_NE(r.err.find("cannot resume: [dst] has 300000 bytes, more than the 100000 of [src]"), std::string::npos)
        << r.err;
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("dst")), longer));
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("src")), src));
}

// ------------------------------------------------ dangling symbolic links

TEST(Safety, DanglingLinkAsTargetOrLogCreatesItsFile) {
    e2e::temp_dir dir;
    const std::string data = e2e::random_bytes(70000, 24);
    e2e::write_file(dir.file("f"), data);
    e2e::write_file(dir.file("g"), data.substr(0, 69000) + std::string(1000, 'x'));
    ASSERT_EQ(symlink("made", dir.file("link").c_str()), 0);
    result copy = run_zef({"f", "link", "-Write"}, in_dir(dir.path));
    EXPECT_EQ(copy.status, 0) << status_text(copy);
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("made")), data));

    ASSERT_EQ(symlink("made.log", dir.file("zef-log.txt").c_str()), 0);
    result log = run_zef({"f", "g", "-c", "-l"}, in_dir(dir.path));
    EXPECT_EQ(log.status, 1) << status_text(log);
    EXPECT_NE(e2e::read_file(dir.file("made.log")).size(), 0u);
}

// ------------------------------------------------ results that cannot be written

TEST(Safety, LostDigestOrVerdictFailsTheRun) {
    e2e::temp_dir dir;
    e2e::write_file(dir.file("f"), e2e::random_bytes(70000, 25));
    e2e::write_file(dir.file("g"), e2e::read_file(dir.file("f")));
    int gone[2];
    ASSERT_EQ(pipe(gone), 0);
    ::close(gone[0]);  // the reader is gone before the digest is written
    const int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    struct lost_case {
        const char* what;
        std::vector<std::string> args;
        int out_fd;
        bool close_out, close_err;
    } cases[] = {
        {"full device", {"f"}, full, false, false},
        {"pipe without reader", {"f"}, gone[1], false, false},
        {"closed standard output", {"f"}, -1, true, false},
        {"verdict with closed standard error", {"f", "g", "-c"}, -1, false, true},
    };
    for (const lost_case& c : cases) {
        SCOPED_TRACE(c.what);
        e2e::options o = in_dir(dir.path);
        o.stdout_fd = c.out_fd;
        o.close_stdout = c.close_out;
        o.close_stderr = c.close_err;
        result r = run_zef(c.args, o);
        EXPECT_EQ(r.status, 2) << status_text(r);
        if (!c.close_err) {
            EXPECT_NE(r.err.find("!! the result could not be written to standard output"), std::string::npos) << r.err;
        }
    }
    ::close(gone[1]);
    ::close(full);
}

// ------------------------------------------------ no verdict under -b

TEST(Safety, BenchWithTwoInputsGivesNoVerdict) {
    e2e::temp_dir dir;
    e2e::write_file(dir.file("a"), e2e::random_bytes(300000, 26));
    e2e::write_file(dir.file("b"), e2e::random_bytes(200000, 27));
    result r = run_zef({"a", "b", "-b"}, in_dir(dir.path));
    EXPECT_EQ(r.status, 0) << status_text(r);
    EXPECT_EQ(r.err.find("no differences"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("files are different"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("file is smaller"), std::string::npos) << r.err;
}

// ------------------------------------------------ error numbers of failed creates

TEST(Safety, FailedCreateReportsTheRefusal) {
    if (!e2e::is_root()) GTEST_SKIP() << "mounting needs root";
    e2e::temp_dir dir;
    e2e::write_file(dir.file("src"), e2e::random_bytes(10000, 28));
    ASSERT_EQ(mkdir(dir.file("ro").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("full").c_str(), 0755), 0);
    mount_guard ro{mounted_tmpfs(dir.file("ro"), "ro,size=1m") ? dir.file("ro") : ""};
    mount_guard full{mounted_tmpfs(dir.file("full"), "size=1m,nr_inodes=1") ? dir.file("full") : ""};
    if (ro.dir.empty() || full.dir.empty()) GTEST_SKIP() << "tmpfs cannot be mounted here";
    struct create_case {
        const char* folder;
        const char* code;  // read-only file system, no free inode
    } cases[] = {{"ro", "19"}, {"full", "112"}};
    for (const create_case& c : cases) {
        SCOPED_TRACE(c.folder);
        // A copy target, and the log of a run started in the folder.
        result copy = run_zef({"src", std::string(c.folder) + "/x", "-Write"}, in_dir(dir.path));
        EXPECT_EQ(copy.status, 2) << status_text(copy);
        EXPECT_NE(copy.out.find("open(" + std::string(c.folder) + "/x)\n   ^ERROR: " + c.code + ", "),
                  std::string::npos)
            << copy.out;
        result log = run_zef({"../src", "../src", "-c", "-l"}, in_dir(dir.file(c.folder)));
        EXPECT_EQ(log.status, 2) << status_text(log);
        EXPECT_NE(log.out.find(std::string("open(zef-log.txt)\n   ^ERROR: ") + c.code + ", "), std::string::npos)
            << log.out;
    }
}

TEST(Safety, CreateInAFolderWithoutWritePermissionReportsAccessDenied) {
    e2e::temp_dir dir;
    e2e::write_file(dir.file("src"), e2e::random_bytes(10000, 29));
    ASSERT_EQ(mkdir(dir.file("locked").c_str(), 0555), 0);
    chmod(dir.path.c_str(), 0755);
    chmod(dir.file("src").c_str(), 0644);
    std::string command = "cd '" + dir.path + "' && ";
    if (e2e::is_root()) {
        // Root ignores permissions: the run is made as nobody.
        int st = -1;
        e2e::shell("command -v setpriv >/dev/null", &st);
        if (st != 0) GTEST_SKIP() << "setpriv not available";
        command += "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    int st = -1;
    const std::string out =
        e2e::shell(command + "'" + e2e::zef_path() + "' src locked/x -Write 2>/dev/null", &st);
    if (out.find("open(src)") != std::string::npos) GTEST_SKIP() << "the test folder is not readable by nobody";
    EXPECT_EQ(st, 2);
    EXPECT_NE(out.find("open(locked/x)\n   ^ERROR: 5, "), std::string::npos) << out;
}

// The file behind standard output or standard error as the copy target or
// the log: the console text would land in it. Refused, the file as it was.
TEST(Safety, OutputThatTakesTheConsoleTextIsRefused) {
    e2e::temp_dir dir;
    const std::string data = e2e::random_bytes(3000000, 21), before = "EARLIER\n";
    e2e::write_file(dir.file("src"), data);
    e2e::write_file(dir.file("other"), data);
    const std::string zef = "'" + e2e::zef_path() + "'";
    const struct {
        std::string command, file, message;
    } cases[] = {
        {zef + " src t -Write 2> t", "t", ""},
        {zef + " src t -Write -sha1 > t", "t", "the target [t] is where standard output goes"},
        {zef + " src t -Write -verify 2>> t", "t", ""},
        {zef + " src other -l -c -md5 2>> zef-log.txt", "zef-log.txt", ""},
        {zef + " src other -l -c -md5 > zef-log.txt", "zef-log.txt", "the log [zef-log.txt] is where standard output goes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        e2e::write_file(dir.file(c.file), before);
        int status = -1;
        const std::string err =
            e2e::shell("cd '" + dir.path + "' && { " + c.command + "; echo \"rc=$?\"; } 2>&1", &status);
        const std::string now = e2e::read_file(dir.file(c.file));
        EXPECT_NE(err.find("rc=2"), std::string::npos) << err;
        // Only the shell's own redirection may have cut the file, and nothing
        // but console text (at most the refusal) may have reached it.
        const std::string kept = c.command.find(">> ") != std::string::npos ? before : "";
        EXPECT_EQ(now.compare(0, kept.size(), kept), 0) << now;
        EXPECT_EQ(now.find(data.substr(0, 64)), std::string::npos) << "copied data in the file";
        EXPECT_LT(now.size(), 4096u) << now;
        EXPECT_NE((err + now).find("refused, nothing written"), std::string::npos) << err << now;
        if (!c.message.empty()) {
            EXPECT_NE(err.find(c.message), std::string::npos) << err;
        }
        EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("src")), data));
    }
}

// A loop device and the file behind it are the same bytes, either way round.
TEST(Safety, LoopDeviceAndItsBackingFileAreRefused) {
    e2e::temp_dir dir;
    const std::string data = e2e::random_bytes(4 * 1048576, 22);
    e2e::write_file(dir.file("g"), data);
    const std::string dev = e2e::attach_loop(dir.file("g"));
    if (dev.empty()) GTEST_SKIP() << "no loop device";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{dev, "g", "-Write", "-verify"}, std::vector<std::string>{"g", dev, "-Write"}}) {
        result r = run_zef(args, in_dir(dir.path));
        EXPECT_EQ(r.status, 2) << status_text(r);
        EXPECT_NE(r.err.find("refused, nothing written"), std::string::npos) << r.err;
    }
    e2e::detach_loop(dev);
    EXPECT_TRUE(same_bytes(e2e::read_file(dir.file("g")), data));
}

// Standard input as both inputs would give each part of one stream.
TEST(Safety, StandardInputAsBothInputsIsRefused) {
    e2e::temp_dir dir;
    e2e::options o = in_dir(dir.path);
    o.input = e2e::random_bytes(3000000, 23);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-", "-", "-md5"},
                                                 std::vector<std::string>{"-", "-"}}) {
        result r = run_zef(args, o);
        EXPECT_EQ(r.status, 2) << status_text(r);
        EXPECT_NE(r.err.find("standard input cannot be both inputs"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// Bytes the device could not store in the end (a write-back that fails at
// the final flush) are a failed copy, not a success.
TEST(Safety, FailedFinalFlushFailsTheCopy) {
    if (!e2e::is_root()) GTEST_SKIP() << "needs root";
    e2e::temp_dir dir;
    e2e::shell("mkdir -p '" + dir.file("small") + "'");
    if (!mounted_tmpfs(dir.file("small"), "size=1M")) GTEST_SKIP() << "no tmpfs";
    mount_guard guard{dir.file("small")};
    e2e::shell("truncate -s 3M '" + dir.file("small/back") + "'");
    const std::string dev = e2e::attach_loop(dir.file("small/back"));
    if (dev.empty()) GTEST_SKIP() << "no loop device";
    e2e::write_file(dir.file("src"), e2e::random_bytes(3000000, 24));
    e2e::options o = in_dir(dir.path);
    o.timeout_ms = 60000;
    result r = run_zef({"src", dev, "-Write", "-P0", "-q"}, o);
    e2e::detach_loop(dev);
    EXPECT_EQ(r.status, 2) << status_text(r);
    EXPECT_NE(r.err.find("h_file->flush()"), std::string::npos) << r.err;
}

// A run refused at its start leaves no new, empty target behind.
TEST(Safety, RefusedRunLeavesNoNewTarget) {
    e2e::temp_dir dir;
    e2e::write_file(dir.file("src"), e2e::random_bytes(100000, 25));
    ASSERT_EQ(::link(dir.file("src").c_str(), dir.file("zef-log.txt").c_str()), 0);
    ASSERT_EQ(::symlink("elsewhere", dir.file("dangling").c_str()), 0);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"src", "newt", "-Write", "-l"},
                                                 std::vector<std::string>{"src", "newt", "-Write", "-l", "-verify"}}) {
        result r = run_zef(args, in_dir(dir.path));
        EXPECT_EQ(r.status, 2) << status_text(r);
        struct stat st;
        EXPECT_NE(::lstat(dir.file("newt").c_str(), &st), 0) << "a new target was left behind";
    }
    // A link is never removed: the refused run leaves it as it was.
    result r = run_zef({"src", "dangling", "-Write", "-l"}, in_dir(dir.path));
    EXPECT_EQ(r.status, 2) << status_text(r);
    struct stat st;
    EXPECT_EQ(::lstat(dir.file("dangling").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

}  // namespace
