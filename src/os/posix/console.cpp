#include "os/console.h"

#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "os/posix/errors.h"
#include "os/posix/posix.h"

namespace os {

namespace {
void (*ctrl_c_callback)() = nullptr;
const char* ctrl_c_notice = nullptr;
size_t ctrl_c_notice_length = 0;
bool closed_at_start[3] = {false, false, false};

void on_sigint(int) {
    int saved = errno;
    if (ctrl_c_notice) {
        ssize_t r = ::write(2, ctrl_c_notice, ctrl_c_notice_length);
        (void)r;
    }
    if (ctrl_c_callback) ctrl_c_callback();
    errno = saved;
}
}  // namespace

void init_console() {
    // A closed standard descriptor would be the number of the next file
    // opened: console text would land in a copy target or a log.
    for (int n = 0; n < 3; ++n) {
        if (fcntl(n, F_GETFD) >= 0 || errno != EBADF) continue;
        closed_at_start[n] = true;
        int fd = ::open("/dev/null", n == 0 ? O_RDONLY : O_WRONLY);
        if (fd >= 0 && fd != n) {
            dup2(fd, n);
            ::close(fd);
        }
    }
    // Character conversion only; numbers keep the decimal point.
    std::setlocale(LC_CTYPE, "C.UTF-8");
    // A closed pipe is a write error (EPIPE), not the end of the process.
    signal(SIGPIPE, SIG_IGN);
}

bool std_stream_closed(int n) { return n >= 0 && n < 3 && closed_at_start[n]; }

handle text_handle(int n) { return (n == 1 || n == 2) && !closed_at_start[n] ? n : invalid_handle; }

std::string eight_bit_text(const u8* bytes, size_t count) {
    std::string out;
    iconv_t cd = iconv_open("UTF-8", "CP1251");
    if (cd == reinterpret_cast<iconv_t>(-1)) return out;
    out.resize(count * 3);  // at most three UTF-8 bytes per character
    char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes));
    size_t in_left = count;
    char* put = out.data();
    size_t out_left = out.size();
    while (in_left > 0 && iconv(cd, &in, &in_left, &put, &out_left) == static_cast<size_t>(-1)) {
        // A byte the code page leaves undefined (0x98) shows as '?'.
        if (errno != EILSEQ || out_left == 0) break;
        ++in;
        --in_left;
        *put++ = '?';
        --out_left;
    }
    iconv_close(cd);
    out.resize(out.size() - out_left);
    return out;
}

void redirect_stdout_to_stderr() {
    posix::redirect_stdout();
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void install_ctrl_c_handler(void (*on_ctrl_c)(), const char* notice) {
    ctrl_c_callback = on_ctrl_c;
    ctrl_c_notice = notice;
    ctrl_c_notice_length = notice ? std::strlen(notice) : 0;
    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    // Ctrl+Break ends the process, also when a shell started us with it ignored.
    signal(SIGQUIT, SIG_DFL);
}

bool is_debugger_present() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("TracerPid:", 0) == 0) return std::stol(line.substr(10)) != 0;
    return false;
}

int read_char() { return std::getchar(); }

void enable_privilege(const char*) {
    // Root may read and write every device already; nothing to enable.
}

bool error_text(u32 code, std::string& text) {
    int e = posix::errno_of(code);
    if (e == 0) return false;
    text = std::strerror(e);
    text += '\n';
    return true;
}

}  // namespace os
