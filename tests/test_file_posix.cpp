// G_FILE over the Linux backend: standard streams, pipes, the exact reports,
// the refused create tried once more, direct I/O flags, and (as root) loop
// devices: their length, direct reads up to the end, the exclusive hold of
// the volume lock and the dismount of idle and busy mounts.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "io/G_FILE.h"
#include "os/console.h"
#include "os/posix/errors.h"

namespace {

constexpr u32 rd = os::generic_read;
constexpr u32 wr = os::generic_write;
constexpr u32 sentinel = 0x5A5A5A5Au;

struct scratch {
    std::string dir;
    scratch() {
        char tmpl[] = "/tmp/zef-fileposix-XXXXXX";
        if (!mkdtemp(tmpl)) std::abort();
        dir = tmpl;
    }
    ~scratch() { run("rm -rf '" + dir + "'"); }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    static int run(const std::string& command) {
        int st = std::system((command + " >/dev/null 2>&1").c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
};

void put(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string get(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string pattern(size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i + 8 <= n; i += 8) {
        u64 v = gen();
        std::memcpy(&s[i], &v, 8);
    }
    for (size_t i = n & ~size_t{7}; i < n; ++i) s[i] = static_cast<char>(gen());
    return s;
}

int open_fd_count() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

int status_flags(const G_FILE& f) { return fcntl(static_cast<int>(f.handle), F_GETFL); }

std::string fd_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

std::string open_capturing(G_FILE& f, const std::string& path, u32 access, u32 disposition, u32 flags = 0) {
    testing::internal::CaptureStdout();
    f.open(path.c_str(), access, disposition, flags);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// ---------------------------------------------------------------- streams

// Keeps a copy of standard input (or /dev/null in its place when the tests
// run without one) and puts it back at the end.
struct stdin_guard {
    bool had = fcntl(0, F_GETFD) >= 0;
    int saved = -1;
    stdin_guard() {
        if (!had) ::open("/dev/null", O_RDONLY);  // lands on fd 0
        saved = fcntl(0, F_DUPFD_CLOEXEC, 3);
    }
    void restore() const { dup2(saved, 0); }
    ~stdin_guard() {
        if (had) restore();
        else ::close(0);
        ::close(saved);
    }
};

TEST(FilePosixStreams, ReadingNamesAreStandardInput) {
    for (const char* name : {"-", "con", "CON"}) {
        SCOPED_TRACE(name);
        stdin_guard in;
        ASSERT_GE(in.saved, 0);
        G_FILE f;
        EXPECT_EQ(f.open(name, rd, os::open_existing, os::flag_no_buffering), 0u);
        EXPECT_TRUE(f.is_open);
        EXPECT_TRUE(f.is_std_stream);
        EXPECT_EQ(f.handle, 0);
        EXPECT_EQ(f.error_r, 0u);
        // The object owns the handle: closing it closes standard input.
        EXPECT_EQ(f.close(), 0u);
        EXPECT_EQ(fcntl(0, F_GETFD), -1);
        in.restore();
    }
}

TEST(FilePosixStreams, WithoutStandardInputTheNameIsAPath) {
    scratch s;
    put(s.path("-"), "a file named dash");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(s.dir.c_str()), 0);
    stdin_guard in;
    ::close(0);
    G_FILE f;
    u32 result = f.open("-", rd, os::open_existing, 0);
    char buf[64] = {};
    s64 got = f.is_open ? f.read(buf, sizeof buf) : -1;
    const bool stream = f.is_std_stream;
    f.close();
    in.restore();
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(result, 0u);
    EXPECT_FALSE(stream);
    EXPECT_EQ(std::string(buf, got > 0 ? static_cast<size_t>(got) : 0), "a file named dash");
}

// Runs `body` in a child whose standard output and error are pipes; gives
// back what each received and the child's exit status.
struct child_output {
    std::string out, err;
    int status = -1;
};

template <class Body>
child_output in_child(Body body) {
    int out[2], err[2];
    if (pipe(out) || pipe(err)) std::abort();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
        _exit(body());
    }
    ::close(out[1]);
    ::close(err[1]);
    child_output r;
    int st = 0;
    waitpid(pid, &st, 0);
    char buf[4096];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) r.out.append(buf, static_cast<size_t>(n));
    for (ssize_t n; (n = ::read(err[0], buf, sizeof buf)) > 0;) r.err.append(buf, static_cast<size_t>(n));
    ::close(out[0]);
    ::close(err[0]);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

TEST(FilePosixStreams, WritingNamesCarryOnlyTheData) {
    struct stream_case {
        const char* name;
        u32 access;
    } cases[] = {{"-", wr}, {"con", rd | wr}, {"CON", wr}, {"-", os::generic_all}};
    for (const stream_case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << " access " << std::hex << c.access);
        child_output r = in_child([&] {
            G_FILE f;
            if (f.open(c.name, c.access, os::create_always, os::flag_no_buffering) != 0) return 10;
            if (!f.is_std_stream || f.error_r != 0) return 11;
            // The program's own texts, buffered and raw, now reach standard error.
            std::printf("text ");
            std::fflush(stdout);
            if (::write(1, "raw", 3) != 3) return 12;
            if (f.write("DATA", 4) != 4) return 13;
            if (f.close() != 0) return 14;
            return 0;
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "DATA");
        EXPECT_EQ(r.err, "text raw");
    }
}

TEST(FilePosixStreams, OtherSpellingsAreFiles) {
    scratch s;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(s.dir.c_str()), 0);
    for (const char* name : {"Con", "cON", "con.txt"}) {
        SCOPED_TRACE(name);
        child_output r = in_child([&] {
            G_FILE f;
            if (f.open(name, wr, os::create_always, 0) != 0) return 10;
            if (f.is_std_stream) return 11;
            if (f.write("x", 1) != 1) return 12;
            return 0;
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(get(name), "x");
    }
    ASSERT_EQ(chdir(cwd), 0);
}

// ---------------------------------------------------------------- pipes

TEST(FilePosixPipes, SizeSeekFlushAndTheBrokenPipe) {
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    G_FILE in, out;
    ASSERT_EQ(out.open(fd_path(p[1]).c_str(), wr, os::open_existing, 0), 0u);
    ASSERT_EQ(in.open(fd_path(p[0]).c_str(), rd, os::open_existing, 0), 0u);
    ::close(p[0]);
    ::close(p[1]);

    // No size and no device length: 0, with the length request's code.
    for (G_FILE* f : {&in, &out}) {
        f->error_r = sentinel;
        EXPECT_EQ(f->get_size(), 0);
        EXPECT_EQ(f->error_r, 1u);
        f->error_r = sentinel;
        EXPECT_EQ(f->get_disk_length(), 0);
        EXPECT_EQ(f->error_r, 1u);
    }

    const std::string data = pattern(3000, 5);
    EXPECT_EQ(out.write(data.data(), 3000), 3000);
    std::string buf(8192, '\0');
    EXPECT_EQ(in.read(buf.data(), 8192), 3000);
    EXPECT_EQ(buf.substr(0, 3000), data);

    EXPECT_EQ(in.seek(0, os::file_begin), -1);
    EXPECT_EQ(in.error_r, 87u);
    EXPECT_EQ(out.set_eof(), 87u);
    EXPECT_EQ(out.error_w, 87u);

    // A pipe cannot be flushed, neither directly nor through a second
    // handle; the second handle is not left open.
    for (G_FILE* f : {&in, &out}) {
        const int before = open_fd_count();
        f->error_w = sentinel;
        u32 code = f->flush();
        EXPECT_NE(code, 0u);
        EXPECT_EQ(f->error_w, code);
        EXPECT_EQ(open_fd_count(), before);
    }

    // Device requests: nothing is sent to a pipe.
    out.error_w = sentinel;
    EXPECT_EQ(out.lock_dismount(), 0u);
    EXPECT_EQ(out.error_w, 0u);
    out.error_w = sentinel;
    EXPECT_FALSE(out.set_offline(1));
    EXPECT_EQ(out.error_w, sentinel);
    EXPECT_EQ(out.allow_extended_io(), 1u);

    // No reader left: the write fails on the output side only.
    in.close();
    out.error_r = sentinel;
    out.error_w = 0;
    EXPECT_EQ(out.write(data.data(), 100), -1);
    EXPECT_EQ(out.error_w, 109u);
    EXPECT_EQ(out.error_r, sentinel);
    out.close();

    // The writer gone: the reader meets the end.
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(in.open(fd_path(p[0]).c_str(), rd, os::open_existing, 0), 0u);
    ::close(p[0]);
    ::close(p[1]);
    EXPECT_EQ(in.read(buf.data(), 8192), 0);
    EXPECT_EQ(in.error_r, 0u);

    sigaction(SIGPIPE, &old, nullptr);
}

// ---------------------------------------------------------------- reports and codes

TEST(FilePosixOpen, ReportsNameThePathAndTheSystemText) {
    scratch s;
    mkdir(s.path("dir").c_str(), 0755);
    const std::string is_dir = "   ^ERROR: 336, Is a directory\n";
    const std::string no_file = "   ^ERROR: 2, No such file or directory\n";
    struct report_case {
        std::string path;
        u32 access, disposition;
        u32 code;
        std::string line;
    } cases[] = {
        {s.path("dir"), rd, os::open_existing, 336, is_dir},
        {s.path("dir"), rd | wr, os::open_existing, 336, is_dir},
        {s.path("dir"), wr, os::create_always, 336, is_dir},
        {s.path("missing"), rd, os::open_existing, 2, no_file},
        {s.path("no/such/dir/f.bin"), wr, os::create_always, 2, no_file},
        {s.path("no/such/dir/f.bin"), rd | wr, os::open_always, 2, no_file},
    };
    for (const report_case& c : cases) {
        SCOPED_TRACE(c.path);
        G_FILE f;
        EXPECT_EQ(open_capturing(f, c.path, c.access, c.disposition), "open(" + c.path + ")\n" + c.line);
        EXPECT_EQ(f.error_r, c.code);
        EXPECT_FALSE(f.is_open);
    }
    EXPECT_EQ(access(s.path("no").c_str(), F_OK), -1);
}

// EBUSY is a sharing violation when an open meets it (another holds the
// object), "busy" elsewhere; both read as the system's words.
TEST(FilePosixOpen, BusyAtOpenIsASharingViolation) {
    using os::posix::io_side;
    struct busy_case {
        io_side side;
        u32 code;
    } cases[] = {{io_side::open, 32}, {io_side::other, 170}, {io_side::read, 170}, {io_side::write, 170}};
    for (const busy_case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.side));
        const u32 code = os::posix::fail(EBUSY, c.side);
        EXPECT_EQ(code, c.code);
        std::string text;
        ASSERT_TRUE(os::error_text(code, text));
        EXPECT_EQ(text, std::string(std::strerror(EBUSY)) + "\n");
    }
}

TEST(FilePosixOpen, OverlongPathIsOpenedAndItsReportCut) {
    scratch s;
    std::string p = s.dir;
    while (p.size() < 600) p += "/" + std::string(60, 'd');
    ASSERT_EQ(scratch::run("mkdir -p '" + p + "'"), 0);
    p += "/f.bin";
    G_FILE f;
    EXPECT_EQ(open_capturing(f, p, wr, os::create_always), "");
    EXPECT_TRUE(f.is_open);
    f.close();
    G_FILE g;
    std::string printed = open_capturing(g, p + ".missing", rd, os::open_existing);
    EXPECT_EQ(g.error_r, 2u);
    size_t line_end = printed.find('\n');
    ASSERT_NE(line_end, std::string::npos);
    EXPECT_LE(line_end, 511u);
    EXPECT_EQ(printed.rfind("open(" + s.dir, 0), 0u);
    EXPECT_EQ(printed.substr(line_end), "\n   ^ERROR: 2, No such file or directory\n");
}

// Makes a path unchangeable for the life of the guard: immutable as root
// (permissions do not bind root), read-only by mode otherwise.
struct frozen {
    std::string path;
    bool ok = false;
    bool by_attribute = geteuid() == 0;
    explicit frozen(std::string p) : path(std::move(p)) {
        ok = by_attribute ? scratch::run("chattr +i '" + path + "'") == 0 : chmod(path.c_str(), 0555) == 0;
    }
    ~frozen() {
        if (!ok) return;
        if (by_attribute) scratch::run("chattr -i '" + path + "'");
        else chmod(path.c_str(), 0755);
    }
};

TEST(FilePosixOpen, RefusedCreateIsTriedOnceMoreAsOpenExisting) {
    scratch s;
    const std::string dir = s.path("locked");
    mkdir(dir.c_str(), 0755);
    put(s.path("locked/kept.bin"), "kept");
    const std::string file = s.path("frozen.bin");
    put(file, "frozen");
    frozen guard_dir(dir);
    frozen guard_file(file);
    if (!guard_dir.ok || !guard_file.ok) GTEST_SKIP() << "cannot make a path unchangeable here";
    if (geteuid() == 0) chmod(file.c_str(), 0444);

    const std::string missing = dir + "/new.bin";
    struct retry_case {
        std::string path;
        u32 access, disposition;
        u32 code;  // reported
    } cases[] = {
        // Creating is refused (5); the second try, OPEN_EXISTING, finds no
        // file: the refusal of the create is what is reported.
        {missing, wr, os::create_always, 5},
        {missing, rd | wr, os::create_always, 5},
        {missing, os::generic_all, os::create_always, 5},
        // Without write access, or with OPEN_ALWAYS, there is no second try.
        {missing, rd, os::create_always, 5},
        {missing, wr, os::open_always, 5},
        // An existing file that may not be written: refused both times.
        {file, wr, os::create_always, 5},
    };
    for (const retry_case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.path << " access " << std::hex << c.access << " disposition "
                                        << c.disposition);
        G_FILE f;
        std::string printed = open_capturing(f, c.path, c.access, c.disposition);
        EXPECT_EQ(f.error_r, c.code);
        EXPECT_FALSE(f.is_open);
        EXPECT_EQ(printed.rfind("open(" + c.path + ")\n   ^ERROR: " + std::to_string(c.code) + ", ", 0), 0u)
            << printed;
        EXPECT_EQ(printed.find("open(", 1), std::string::npos) << printed;  // reported once
    }
    EXPECT_EQ(get(file), "frozen");
    // A file that exists in the unchangeable folder still opens for writing.
    G_FILE kept;
    EXPECT_EQ(kept.open(s.path("locked/kept.bin").c_str(), wr, os::create_always, 0), 0u);
    EXPECT_EQ(kept.error_r, 183u);
}

TEST(FilePosixOpen, AccessAndDirectIo) {
    scratch s;
    const std::string p = s.path("a.bin");
    put(p, pattern(8192, 6));
    struct flag_case {
        u32 access, flags;
        int mode;
        bool direct;
    } cases[] = {
        {rd, 0, O_RDONLY, false},
        {wr, 0, O_WRONLY, false},
        {rd | wr, 0, O_RDWR, false},
        {os::generic_all, 0, O_RDWR, false},
        {rd, os::flag_no_buffering, O_RDONLY, true},
        {rd | wr, os::flag_no_buffering, O_RDWR, true},
    };
    for (const flag_case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.access << " " << c.flags);
        G_FILE f;
        ASSERT_EQ(f.open(p.c_str(), c.access, os::open_existing, c.flags), 0u);
        EXPECT_EQ(status_flags(f) & O_ACCMODE, c.mode);
        EXPECT_EQ((status_flags(f) & O_DIRECT) != 0, c.direct);
    }

    // The second handle is read-write and buffered; the first stays direct.
    G_FILE direct, second;
    ASSERT_EQ(direct.open(p.c_str(), rd | wr, os::open_existing, os::flag_no_buffering), 0u);
    direct.reopen(second);
    ASSERT_TRUE(second.is_open);
    EXPECT_EQ(status_flags(second) & (O_ACCMODE | O_DIRECT), O_RDWR);
    EXPECT_NE(status_flags(direct) & O_DIRECT, 0);
    ASSERT_EQ(second.seek(8192, os::file_begin), 8192);
    EXPECT_EQ(second.write("tail", 4), 4);
    EXPECT_NE(status_flags(direct) & O_DIRECT, 0);
    EXPECT_EQ(direct.get_size(), 8196);

    // A file system that may refuse direct I/O still opens the file.
    const std::string shm = "/dev/shm/zef-fileposix-" + std::to_string(getpid());
    if (access("/dev/shm", W_OK) == 0) {
        put(shm, "in memory");
        G_FILE m;
        EXPECT_EQ(m.open(shm.c_str(), rd, os::open_existing, os::flag_no_buffering), 0u);
        EXPECT_EQ(m.get_size(), 9);
        m.close();
        unlink(shm.c_str());
    }
}

TEST(FilePosixOpen, RequestCodesOnARegularFile) {
    scratch s;
    const std::string p = s.path("r.bin");
    put(p, "0123");
    G_FILE f;
    ASSERT_EQ(f.open(p.c_str(), rd, os::open_existing, 0), 0u);
    EXPECT_EQ(f.get_disk_length(), 0);
    EXPECT_EQ(f.error_r, 1u);
    EXPECT_EQ(f.get_size(), 4);
    EXPECT_EQ(f.error_r, 0u);
    EXPECT_EQ(f.allow_extended_io(), 1u);
    EXPECT_EQ(f.error_w, 1u);
    EXPECT_EQ(f.unlock(), 1u);
    EXPECT_EQ(f.error_w, 1u);
    EXPECT_EQ(f.lock_dismount(), 0u);
    EXPECT_EQ(f.error_w, 0u);
    const int before = open_fd_count();
    EXPECT_EQ(f.flush(), 0u);  // a read-only file syncs on Linux
    EXPECT_EQ(open_fd_count(), before);
}

// ---------------------------------------------------------------- loop devices

// A loop device over a backing file, and a mount of it; undone in any case.
struct loop_device {
    std::string dev, mount_point;
    explicit loop_device(const std::string& backing) {
        if (geteuid() != 0) return;
        FILE* p = popen(("losetup -f --show '" + backing + "' 2>/dev/null").c_str(), "r");
        if (!p) return;
        char line[256] = {};
        if (std::fgets(line, sizeof line, p)) dev = line;
        if (pclose(p) != 0) dev.clear();
        while (!dev.empty() && (dev.back() == '\n' || dev.back() == ' ')) dev.pop_back();
    }
    bool mount(const std::string& point) {
        if (scratch::run("mount -t ext4 '" + dev + "' '" + point + "'") != 0) return false;
        mount_point = point;
        return true;
    }
    bool mounted() const {
        std::ifstream m("/proc/self/mountinfo");
        std::string line;
        while (std::getline(m, line)) {
            std::istringstream words(line);
            std::string id, parent, numbers, root, point;
            words >> id >> parent >> numbers >> root >> point;
            if (point == mount_point) return true;
        }
        return false;
    }
    ~loop_device() {
        if (!mount_point.empty() && mounted() && umount2(mount_point.c_str(), 0) != 0)
            umount2(mount_point.c_str(), MNT_DETACH);
        if (!dev.empty()) scratch::run("losetup -d '" + dev + "'");
    }
};

// 0 when another exclusive open of the device succeeds, else its errno.
int exclusive_open_error(const std::string& dev) {
    int fd = ::open(dev.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

TEST(FilePosixDevice, LengthAndDirectReadsUpToTheEnd) {
    if (geteuid() != 0) GTEST_SKIP() << "loop devices need root";
    constexpr s64 mib = 1 << 20;
    struct size_case {
        s64 file, device;
    } cases[] = {
        {10 * mib + 512, 10 * mib + 512},  // not a multiple of 4096
        {10 * mib, 10 * mib},
        {10 * mib + 100, 10 * mib},  // the loop device ends at the last whole sector
    };
    constexpr u32 chunk = 3 * mib;
    std::vector<unsigned char> storage(chunk + 4096);
    unsigned char* buffer = storage.data() + (4096 - reinterpret_cast<uintptr_t>(storage.data()) % 4096);
    for (const size_case& c : cases) {
        SCOPED_TRACE(c.file);
        scratch s;
        const std::string backing = s.path("disk.img");
        const std::string data = pattern(static_cast<size_t>(c.file), static_cast<unsigned>(c.file));
        put(backing, data);
        loop_device loop(backing);
        if (loop.dev.empty()) GTEST_SKIP() << "losetup -f failed";

        G_FILE f;
        ASSERT_EQ(f.open(loop.dev.c_str(), rd, os::open_existing, os::flag_no_buffering), 0u);
        EXPECT_NE(status_flags(f) & O_DIRECT, 0);
        f.error_r = sentinel;
        EXPECT_EQ(f.get_size(), c.device);
        EXPECT_EQ(f.error_r, 0u);
        EXPECT_EQ(f.get_disk_length(), c.device);
        EXPECT_EQ(f.error_r, 0u);

        std::string back;
        s64 last = -1, got;
        while ((got = f.read(buffer, chunk)) > 0) {
            back.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(got));
            last = got;
        }
        EXPECT_EQ(got, 0);
        EXPECT_EQ(f.error_r, 0u);
        EXPECT_EQ(last, c.device % chunk);  // short, then nothing
        EXPECT_EQ(static_cast<s64>(back.size()), c.device);
        EXPECT_TRUE(back == data.substr(0, static_cast<size_t>(c.device)));
        EXPECT_EQ(f.seek(0, os::file_end), c.device);
        EXPECT_EQ(f.read(buffer, chunk), 0);
    }
}

TEST(FilePosixDevice, LockHoldsTheDeviceExclusivelyUntilUnlockOrClose) {
    if (geteuid() != 0) GTEST_SKIP() << "loop devices need root";
    scratch s;
    put(s.path("disk.img"), pattern(1 << 20, 7));
    loop_device loop(s.path("disk.img"));
    if (loop.dev.empty()) GTEST_SKIP() << "losetup -f failed";
    ASSERT_EQ(exclusive_open_error(loop.dev), 0);

    G_FILE f;
    ASSERT_EQ(f.open(loop.dev.c_str(), rd | wr, os::open_existing, os::flag_no_buffering), 0u);
    EXPECT_EQ(f.allow_extended_io(), 0u);

    f.error_w = sentinel;
    EXPECT_EQ(f.lock_dismount(), 0u);
    EXPECT_EQ(f.error_w, 0u);
    EXPECT_EQ(exclusive_open_error(loop.dev), EBUSY);
    G_FILE plain;  // a plain open still succeeds
    EXPECT_EQ(plain.open(loop.dev.c_str(), rd, os::open_existing, 0), 0u);
    plain.close();

    EXPECT_EQ(f.unlock(), 0u);
    EXPECT_EQ(f.error_w, 0u);
    EXPECT_EQ(exclusive_open_error(loop.dev), 0);
    EXPECT_NE(f.unlock(), 0u);  // nothing held any more

    EXPECT_EQ(f.lock_dismount(), 0u);
    EXPECT_EQ(exclusive_open_error(loop.dev), EBUSY);
    EXPECT_EQ(f.close(), 0u);  // the close ends the hold
    EXPECT_EQ(exclusive_open_error(loop.dev), 0);

    // Offline holds the disk too, online releases it.
    ASSERT_EQ(f.open(loop.dev.c_str(), rd | wr, os::open_existing, 0), 0u);
    EXPECT_TRUE(f.set_offline(1));
    EXPECT_EQ(f.error_w, 0u);
    EXPECT_EQ(exclusive_open_error(loop.dev), EBUSY);
    EXPECT_TRUE(f.set_offline(0));
    EXPECT_EQ(exclusive_open_error(loop.dev), 0);
}

struct mounted_volume {
    scratch s;
    std::string point = s.path("mnt");
    bool ok = false;
    std::unique_ptr<loop_device> loop;
    mounted_volume() {
        const std::string image = s.path("fs.img");
        if (scratch::run("truncate -s 16M '" + image + "' && mkfs.ext4 -q -F '" + image + "'") != 0) return;
        mkdir(point.c_str(), 0755);
        loop = std::make_unique<loop_device>(image);
        ok = !loop->dev.empty() && loop->mount(point);
    }
};

TEST(FilePosixDevice, LockDismountUnmountsAnIdleVolume) {
    if (geteuid() != 0) GTEST_SKIP() << "loop devices need root";
    mounted_volume v;
    if (!v.ok) GTEST_SKIP() << "cannot mount an ext4 loop device here";
    put(v.point + "/note.txt", "on the volume");
    EXPECT_EQ(exclusive_open_error(v.loop->dev), EBUSY);

    G_FILE f;
    ASSERT_EQ(f.open(v.loop->dev.c_str(), rd | wr, os::open_existing, os::flag_no_buffering), 0u);
    EXPECT_EQ(f.lock_dismount(), 0u);
    EXPECT_EQ(f.error_w, 0u);
    EXPECT_FALSE(v.loop->mounted());
    // Dismounted, the device is held by the lock.
    EXPECT_EQ(exclusive_open_error(v.loop->dev), EBUSY);
    EXPECT_NE(scratch::run("mount -t ext4 '" + v.loop->dev + "' '" + v.point + "'"), 0);
    EXPECT_FALSE(v.loop->mounted());
    f.close();
    EXPECT_EQ(exclusive_open_error(v.loop->dev), 0);
}

TEST(FilePosixDevice, BusyVolumeKeepsItsMount) {
    if (geteuid() != 0) GTEST_SKIP() << "loop devices need root";
    mounted_volume v;
    if (!v.ok) GTEST_SKIP() << "cannot mount an ext4 loop device here";
    const int busy = ::open((v.point + "/open.txt").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(busy, 0);

    G_FILE f;
    ASSERT_EQ(f.open(v.loop->dev.c_str(), rd | wr, os::open_existing, 0), 0u);
    // The lock and the dismount fail; extended access succeeds, so the
    // request as a whole counts as done.
    f.error_w = sentinel;
    EXPECT_EQ(f.lock_dismount(), 0u);
    EXPECT_EQ(f.error_w, 0u);
    EXPECT_TRUE(v.loop->mounted());
    EXPECT_EQ(::write(busy, "still", 5), 5);
    f.close();
    ::close(busy);
    EXPECT_TRUE(v.loop->mounted());
}

}  // namespace
