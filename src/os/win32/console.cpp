// Console text, the Ctrl+C handler, privileges and system messages.
#include "os/console.h"

#include <fcntl.h>
#include <io.h>

#include <clocale>
#include <cstdio>
#include <cstring>

#include "os/win32/win32.h"

namespace os {
namespace {

void (*ctrl_c_action)() = nullptr;
const char* ctrl_c_notice = nullptr;
bool console_ready = false;
bool stdout_redirected = false;
bool absent_at_start[3] = {false, false, false};

BOOL WINAPI ctrl_handler(DWORD event) {
    if (event != CTRL_C_EVENT) return FALSE;  // the system's default: the process ends
    if (ctrl_c_notice != nullptr) {
        DWORD put = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), ctrl_c_notice,
                  static_cast<DWORD>(std::strlen(ctrl_c_notice)), &put, nullptr);
    }
    if (ctrl_c_action != nullptr) ctrl_c_action();
    return TRUE;
}

}  // namespace

void init_console() {
    if (console_ready) return;
    console_ready = true;
    const DWORD ids[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int n = 0; n < 3; ++n) {
        HANDLE h = GetStdHandle(ids[n]);
        absent_at_start[n] = h == nullptr || h == INVALID_HANDLE_VALUE;
    }
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCP(CP_UTF8);
    // Character conversion only: LC_NUMERIC stays "C", so numbers keep '.'.
    std::setlocale(LC_CTYPE, ".UTF-8");
    // Bytes as printed: "\n" stays "\n", as on the other platform.
    std::fflush(stdout);
    std::fflush(stderr);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

bool std_stream_closed(int n) { return n >= 0 && n < 3 && absent_at_start[n]; }

handle text_handle(int n) {
    if (n != 1 && n != 2) return invalid_handle;
    HANDLE h = GetStdHandle(n == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    return h == nullptr || h == INVALID_HANDLE_VALUE ? invalid_handle : reinterpret_cast<handle>(h);
}

std::string eight_bit_text(const u8* bytes, size_t count) {
    if (count == 0) return std::string();
    const char* text = reinterpret_cast<const char*>(bytes);
    int n = MultiByteToWideChar(1251, 0, text, static_cast<int>(count), nullptr, 0);
    if (n <= 0) return std::string();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(1251, 0, text, static_cast<int>(count), wide.data(), n);
    return win32::narrow(wide.c_str());
}

void redirect_stdout_to_stderr() {
    if (stdout_redirected) return;
    stdout_redirected = true;
    // Re-binding descriptor 1 closes its handle and re-points the process's
    // standard-output handle; keep a copy of the original for the data.
    HANDLE original = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE kept = original;
    if (original != nullptr && original != INVALID_HANDLE_VALUE) {
        HANDLE copy = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &copy, 0, FALSE,
                            DUPLICATE_SAME_ACCESS))
            kept = copy;
    }
    std::fflush(stdout);
    _dup2(_fileno(stderr), _fileno(stdout));
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    SetStdHandle(STD_OUTPUT_HANDLE, kept);
}

void install_ctrl_c_handler(void (*on_ctrl_c)(), const char* notice) {
    ctrl_c_action = on_ctrl_c;
    ctrl_c_notice = notice;
    SetConsoleCtrlHandler(ctrl_handler, TRUE);
}

bool is_debugger_present() { return IsDebuggerPresent() != FALSE; }

int read_char() { return std::getchar(); }

void enable_privilege(const char* name) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return;
    std::wstring wide = win32::widen(name);
    TOKEN_PRIVILEGES tp;
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, wide.c_str(), &tp.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
    CloseHandle(token);
}

bool error_text(u32 code, std::string& text) {
    wchar_t* message = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                 FORMAT_MESSAGE_FROM_SYSTEM,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    if (n == 0 || message == nullptr) {
        if (message != nullptr) LocalFree(message);
        return false;
    }
    text = win32::narrow(message);
    LocalFree(message);
    return true;
}

}  // namespace os
