#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#ifndef ZEF_FUSE_BADFILE
#define ZEF_FUSE_BADFILE ""
#endif
#ifndef ZEF_BUILT_BINARY
#define ZEF_BUILT_BINARY "zef"
#endif

namespace e2e {

std::string zef_path() {
    if (const char* p = std::getenv("ZEF_BIN"); p && *p) return p;
    return ZEF_BUILT_BINARY;
}

bool under_wine() {
    const char* w = std::getenv("ZEF_WRAP");
    return w && *w;
}

namespace {

void drain(int fd, std::string& into) {
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) into.append(buf, static_cast<size_t>(n));
        else if (n < 0 && errno == EINTR) continue;
        else break;
    }
}

}  // namespace

result run_zef(const std::vector<std::string>& args, const options& o) {
    std::vector<std::string> argv_s;
    if (const char* w = std::getenv("ZEF_WRAP"); w && *w) {
        std::istringstream words(w);
        for (std::string word; words >> word;) argv_s.push_back(word);
    }
    argv_s.push_back(zef_path());
    argv_s.insert(argv_s.end(), args.begin(), args.end());

    int in[2], out[2], err[2], unread[2] = {-1, -1};
    if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe");
    if (o.stdout_unread && pipe2(unread, O_CLOEXEC)) throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        if (!o.stdout_path.empty()) {
            int fd = ::open(o.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
        } else if (o.stdout_unread) {
            dup2(unread[1], 1);
        } else {
            dup2(out[1], 1);
        }
        dup2(err[1], 2);
        if (o.stdin_fd >= 0) dup2(o.stdin_fd, 0);
        if (o.stdout_fd >= 0) dup2(o.stdout_fd, 1);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1], o.stdin_fd, o.stdout_fd})
            if (fd > 2) ::close(fd);
        if (o.close_stdin) ::close(0);
        if (o.close_stdout) ::close(1);
        if (o.close_stderr) ::close(2);
        if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) _exit(127);
        for (const auto& [k, v] : o.env) setenv(k.c_str(), v.c_str(), 1);
        if (!std::getenv("WINEDEBUG")) setenv("WINEDEBUG", "-all", 1);
        if (o.signal_number > 0) signal(o.signal_number, SIG_DFL);
        std::vector<char*> argv;
        for (auto& s : argv_s) argv.push_back(s.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (unread[1] >= 0) ::close(unread[1]);
    signal(SIGPIPE, SIG_IGN);
    using clock = std::chrono::steady_clock;
    std::atomic<clock::rep> sigint_sent{0};  // time since epoch, 0 = not sent

    std::thread feeder([&, fd = in[1]] {
        const std::string& data = o.input;
        size_t pos = 0;
        while (pos < data.size()) {
            size_t n = o.input_short_reads ? std::min<size_t>(data.size() - pos, 1000 + pos % 7919) : data.size() - pos;
            ssize_t w = ::write(fd, data.data() + pos, n);
            if (w <= 0) break;
            pos += static_cast<size_t>(w);
            if (o.input_short_reads && (pos / 1000) % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (!o.input_stays_open) ::close(fd);
    });
    std::thread killer;
    if (o.sigint_after_ms >= 0 || o.sigkill_after_ms >= 0) {
        killer = std::thread([&] {
            int ms = o.sigint_after_ms >= 0 ? o.sigint_after_ms : o.sigkill_after_ms;
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            // Stamped before the signal, so that the time to the exit is never short.
            if (o.sigint_after_ms >= 0) sigint_sent = clock::now().time_since_epoch().count();
            kill(pid, o.sigint_after_ms >= 0 ? SIGINT : SIGKILL);
        });
    }
    result r;
    // The watchdog signals or kills only while the child is not yet reaped.
    std::mutex wd_mutex;
    std::condition_variable wd_cv;
    bool exited = false;
    std::thread watchdog;
    if (o.timeout_ms >= 0 || (o.signal_number > 0 && o.signal_after_ms >= 0)) {
        watchdog = std::thread([&] {
            const auto start = std::chrono::steady_clock::now();
            std::unique_lock<std::mutex> lock(wd_mutex);
            auto ended = [&] { return exited; };
            if (o.signal_number > 0 && o.signal_after_ms >= 0 &&
                !wd_cv.wait_until(lock, start + std::chrono::milliseconds(o.signal_after_ms), ended))
                kill(pid, o.signal_number);
            if (o.timeout_ms >= 0 && !wd_cv.wait_until(lock, start + std::chrono::milliseconds(o.timeout_ms), ended)) {
                kill(pid, SIGKILL);
                r.timed_out = true;
            }
        });
    }
    std::thread out_reader([&] { drain(out[0], r.out); });
    drain(err[0], r.err);
    out_reader.join();
    {
        siginfo_t info{};
        while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
        }
        const clock::rep sent = sigint_sent.load();
        if (sent != 0)
            r.sigint_to_exit_ms = std::chrono::duration<double, std::milli>(
                                      clock::now() - clock::time_point(clock::duration(sent)))
                                      .count();
    }
    if (watchdog.joinable()) {
        {
            std::lock_guard<std::mutex> lock(wd_mutex);
            exited = true;
        }
        wd_cv.notify_all();
        watchdog.join();
        if (r.timed_out) r.err += "\n[harness: killed after " + std::to_string(o.timeout_ms) + " ms]\n";
    }
    feeder.join();
    if (o.input_stays_open) ::close(in[1]);
    if (unread[0] >= 0) ::close(unread[0]);
    // The signal goes out before the child is reaped: at worst to a zombie,
    // never to a recycled pid.
    if (killer.joinable()) killer.join();
    int st = 0;
    waitpid(pid, &st, 0);
    ::close(out[0]);
    ::close(err[0]);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

std::string shell(const std::string& command, int* status) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = pclose(p);
    if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

temp_dir::temp_dir() {
    const char* base = std::getenv("ZEF_TEST_TMP");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zef-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp");
    path = buf.data();
}

temp_dir::~temp_dir() { shell("rm -rf '" + path + "'"); }

void write_file(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::string s(n, '\0');
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        unsigned long long v = gen();
        std::memcpy(&s[i], &v, 8);
    }
    for (; i < n; ++i) s[i] = static_cast<char>(gen());
    return s;
}

std::string tool_digest(const std::string& tool, const std::string& path) {
    std::string out = shell(tool + " '" + path + "' 2>/dev/null");
    size_t end = out.find_first_of(" \n");
    return out.substr(0, end);
}

bool is_root() { return geteuid() == 0; }

std::string attach_loop(const std::string& backing, const std::string& extra) {
    if (!is_root()) return "";
    int st = 0;
    std::string dev = shell("losetup -f --show " + extra + " '" + backing + "' 2>/dev/null", &st);
    if (st != 0) return "";
    while (!dev.empty() && (dev.back() == '\n' || dev.back() == ' ')) dev.pop_back();
    return dev;
}

void detach_loop(const std::string& dev) {
    if (!dev.empty()) shell("losetup -d '" + dev + "' 2>/dev/null");
}

options in_dir(const std::string& cwd) {
    options o;
    o.cwd = cwd;
    return o;
}

options with_env(const std::string& cwd, std::map<std::string, std::string> env) {
    options o = in_dir(cwd);
    o.env = std::move(env);
    return o;
}

options stdout_to(const std::string& cwd, const std::string& path) {
    options o = in_dir(cwd);
    o.stdout_path = path;
    return o;
}

std::string sq(const std::string& s) { return "'" + s + "'"; }

long long file_length(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

::testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    return ::testing::AssertionFailure() << "length " << got.size() << " (expected " << want.size()
                                         << "), first difference at byte " << i;
}

::testing::AssertionResult same_file(const std::string& got, const std::string& want) {
    int st = -1;
    std::string out = shell("cmp " + sq(want) + " " + sq(got) + " 2>&1", &st);
    if (st == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "cmp: " << out;
}

std::string status_text(const result& r) { return "status " + std::to_string(r.status) + "\nstderr:\n" + r.err; }

namespace {
bool wait_child(pid_t pid, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}
}  // namespace

std::string fuse_disk::unavailable() {
    if (!is_root()) return "needs root";
    if (std::string(ZEF_FUSE_BADFILE).empty() || access(ZEF_FUSE_BADFILE, X_OK) != 0) return "fuse_badfile not built";
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "no /dev/fuse";
    return "";
}

fuse_disk::fuse_disk(const std::string& dir, size_t size, size_t bad_start, size_t bad_len, long long flip_at)
    : mnt(dir + "/mnt"), file(dir + "/mnt/disk.img"), log(dir + "/fuse.log") {
    if (mkdir(mnt.c_str(), 0755) != 0) return;
    const std::string prog = ZEF_FUSE_BADFILE;
    std::vector<std::string> args = {prog, mnt, std::to_string(size), std::to_string(bad_start),
                                     std::to_string(bad_len)};
    if (flip_at >= 0) args.push_back(std::to_string(flip_at));
    args.push_back("-f");
    args.push_back("-s");
    pid = fork();
    if (pid == 0) {
        FILE* f = std::freopen(log.c_str(), "w", stderr);
        if (f) dup2(fileno(f), 1);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(prog.c_str(), argv.data());
        _exit(127);
    }
    if (pid < 0) return;
    struct stat st;
    for (int waited = 0; waited < 5000; waited += 10) {
        if (stat(file.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) == size) {
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

fuse_disk::~fuse_disk() {
    if (mounted) shell("fusermount3 -u -q '" + mnt + "' 2>/dev/null");
    if (pid > 0) {
        kill(pid, SIGTERM);
        if (!wait_child(pid, 3000)) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    if (mounted) shell("umount -l '" + mnt + "' 2>/dev/null");
    rmdir(mnt.c_str());
}

std::string hex_of(const unsigned char* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < n; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
    }
    return hex;
}

std::string join(const std::vector<std::string>& words) {
    std::string s;
    for (const auto& w : words) s += (s.empty() ? "" : " ") + w;
    return s;
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace e2e
