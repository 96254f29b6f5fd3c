#pragma once
// Shared by the Windows backend only: the system headers and the conversions
// at the edge (UTF-8 <-> UTF-16, our handle <-> HANDLE).
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

#include "os/types.h"

namespace os::win32 {

inline HANDLE native(handle h) { return reinterpret_cast<HANDLE>(h); }

// INVALID_HANDLE_VALUE is -1 already; a null handle (an absent standard
// stream) is "no handle" as well.
inline handle from_native(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return invalid_handle;
    return reinterpret_cast<handle>(h);
}

inline std::wstring widen(const char* text) {
    if (text == nullptr || *text == 0) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
    out.resize(static_cast<size_t>(n - 1));  // drop the terminator
    return out;
}

inline std::string narrow(const wchar_t* text) {
    if (text == nullptr || *text == 0) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

}  // namespace os::win32
