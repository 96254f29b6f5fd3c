// A real failing disk: a loop device over a FUSE file whose reads fail with
// EIO in a byte range. The unreadable 1 MiB slots are reported and hashed as
// 0xAD; everything else is read as it is.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

constexpr size_t MiB = 1 << 20;
constexpr size_t disk_size = 16 * MiB;

unsigned char pattern_byte(size_t i) { return static_cast<unsigned char>((i * 31 + 7) & 0xFF); }

std::string sha1_hex(const std::string& data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, EVP_sha1(), nullptr);
    return e2e::hex_of(md, len);
}

bool wait_child(pid_t pid, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The file system running in a child, mounted on `mnt`; unmounted and the
// child gone when this ends, whatever happened.
struct bad_disk {
    std::string mnt, file, log;
    pid_t pid = -1;
    bool mounted = false;

    bad_disk(const std::string& dir, size_t bad_start, size_t bad_len)
        : mnt(dir + "/mnt"), file(dir + "/mnt/disk.img"), log(dir + "/fuse.log") {
        if (mkdir(mnt.c_str(), 0755) != 0) return;
        const std::string prog = ZEF_FUSE_BADFILE, size = std::to_string(disk_size),
                          start = std::to_string(bad_start), len = std::to_string(bad_len);
        pid = fork();
        if (pid == 0) {
            FILE* f = std::freopen(log.c_str(), "w", stderr);
            if (f) dup2(fileno(f), 1);
            execl(prog.c_str(), prog.c_str(), mnt.c_str(), size.c_str(), start.c_str(), len.c_str(), "-f",
                  "-s", static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid < 0) return;
        struct stat st;
        for (int waited = 0; waited < 5000; waited += 10) {
            if (stat(file.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) == disk_size) {
                mounted = true;
                return;
            }
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~bad_disk() {
        if (mounted) e2e::shell("fusermount3 -u -q '" + mnt + "' 2>/dev/null");
        if (pid > 0) {
            kill(pid, SIGTERM);
            if (!wait_child(pid, 3000)) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
        if (mounted) e2e::shell("umount -l '" + mnt + "' 2>/dev/null");
        rmdir(mnt.c_str());
    }
    bad_disk(const bad_disk&) = delete;
    bad_disk& operator=(const bad_disk&) = delete;
};

struct loop_device {
    std::string dev;
    loop_device(const std::string& backing, const std::string& extra) : dev(e2e::attach_loop(backing, extra)) {}
    ~loop_device() { e2e::detach_loop(dev); }
    loop_device(const loop_device&) = delete;
    loop_device& operator=(const loop_device&) = delete;
};

struct bad_range_case {
    const char* name;
    size_t bad_start, bad_len;
    std::vector<size_t> lost_slots;  // 1 MiB slots expected as 0xAD
    std::string report;              // all of standard error
};

TEST(FailingDevice, UnreadableSlotsOfALoopDeviceBecome0xAD) {
    if (!e2e::is_root()) GTEST_SKIP() << "needs root";
    if (std::string(ZEF_FUSE_BADFILE).empty() || access(ZEF_FUSE_BADFILE, X_OK) != 0)
        GTEST_SKIP() << "fuse_badfile not built";
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse";

    const bad_range_case cases[] = {
        {"one page at 4 MiB", 4 * MiB, 4096, {4}, " addr 400000  page 4  CRC 1\n"},
        {"one sector across 9 MiB", 9 * MiB - 512, 1024, {8, 9},
         " addr 800000  page 8  CRC 1\n addr 900000  page 9  CRC 2\n"},
        {"the last sector", disk_size - 512, 512, {15}, " addr f00000  page f  CRC 1\n"},
    };
    std::string pattern(disk_size, '\0');
    for (size_t i = 0; i < disk_size; ++i) pattern[i] = static_cast<char>(pattern_byte(i));

    int runs = 0;
    for (const bad_range_case& c : cases) {
        std::string expected_data = pattern;
        for (size_t slot : c.lost_slots) expected_data.replace(slot * MiB, MiB, MiB, '\xAD');
        const std::string expected = sha1_hex(expected_data);
        for (const char* loop_mode : {"--direct-io=on", ""}) {
            SCOPED_TRACE(std::string(c.name) + ", losetup " + loop_mode);
            e2e::temp_dir dir;
            bad_disk disk(dir.path, c.bad_start, c.bad_len);
            if (!disk.mounted) GTEST_SKIP() << "mount failed: " << e2e::read_file(disk.log);
            loop_device loop(disk.file, loop_mode);
            if (loop.dev.empty()) continue;  // losetup refused this mode
            e2e::result r = e2e::run_zef({loop.dev, "-sha1", "-PB"});
            EXPECT_EQ(r.status, 3);
            EXPECT_EQ(r.out, expected + "  " + loop.dev + "\n");
            EXPECT_EQ(r.err, c.report);
            ++runs;
        }
    }
    if (runs == 0) GTEST_SKIP() << "losetup failed";
}

}  // namespace
