#include "os/console.h"

#include <fcntl.h>
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
    // Character conversion only; numbers keep the decimal point.
    std::setlocale(LC_CTYPE, "C.UTF-8");
    // A closed pipe is a write error (EPIPE), not the end of the process.
    signal(SIGPIPE, SIG_IGN);
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
