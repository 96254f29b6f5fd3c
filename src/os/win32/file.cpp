// Files, devices and standard streams on kernel32.
#include "os/file.h"

#include "os/console.h"
#include "os/win32/win32.h"

namespace os {
namespace {

using win32::native;

// Not declared by the mingw-w64 headers.
struct length_info {
    LARGE_INTEGER Length;
};

struct set_disk_attributes {
    DWORD Version;
    BOOLEAN Persist;
    BYTE Reserved1[3];
    DWORDLONG Attributes;
    DWORDLONG AttributesMask;
    DWORD Reserved2[4];
};
static_assert(sizeof(set_disk_attributes) == 40, "SET_DISK_ATTRIBUTES is 40 bytes");

constexpr DWORD ioctl_disk_get_length_info = 0x0007405C;
constexpr DWORD fsctl_allow_extended_dasd_io = 0x00090083;
constexpr DWORD fsctl_lock_volume = 0x00090018;
constexpr DWORD fsctl_unlock_volume = 0x0009001C;
constexpr DWORD fsctl_dismount_volume = 0x00090020;
constexpr DWORD ioctl_disk_set_disk_attributes = 0x0007C0F4;
constexpr DWORD ioctl_disk_update_properties = 0x00070140;
constexpr DWORDLONG disk_attribute_offline = 1;

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD open_flags_added = 0x0A000080;   // sequential, backup semantics, normal
constexpr DWORD reopen_access = 0x0012019F;      // FILE_GENERIC_READ | FILE_GENERIC_WRITE
constexpr DWORD reopen_flags = 0x0A000000;       // sequential, backup semantics

u32 device_request(handle h, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size) {
    DWORD returned = 0;
    if (!DeviceIoControl(native(h), code, in, in_size, out, out_size, &returned, nullptr))
        return GetLastError();
    return err::success;
}

bool is_directory(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK) return false;
    // Volumes and disks may not answer; only a directory's answer refuses.
    if (!GetFileInformationByHandle(h, &info)) return false;
    return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

u32 open(const char* path, u32 access, u32 disposition, u32 flags, handle& h, bool& existed) {
    h = invalid_handle;
    existed = false;
    std::wstring wide = win32::widen(path);
    HANDLE f = CreateFileW(wide.c_str(), access, share_all, nullptr, disposition,
                           flags | open_flags_added, nullptr);
    DWORD error = GetLastError();
    if (f == INVALID_HANDLE_VALUE && error == ERROR_INVALID_PARAMETER &&
        (flags & flag_no_buffering) != 0) {
        // A file system without direct I/O: the same file, buffered.
        f = CreateFileW(wide.c_str(), access, share_all, nullptr, disposition,
                        (flags & ~flag_no_buffering) | open_flags_added, nullptr);
        error = GetLastError();
    }
    if (f == INVALID_HANDLE_VALUE) return error != 0 ? error : err::invalid_function;
    if (disposition == create_always || disposition == open_always)
        existed = error == ERROR_ALREADY_EXISTS;
    if (is_directory(f)) {
        CloseHandle(f);
        return err::directory_not_supported;
    }
    h = win32::from_native(f);
    return err::success;
}

u32 remove_file(const char* path) {
    return DeleteFileW(win32::widen(path).c_str()) ? err::success : GetLastError();
}

u32 identity(handle h, file_identity& id) {
    id = file_identity{};
    // Pipes and consoles hold no bytes to overwrite; volumes and disks may
    // not answer, and stay unknown then.
    if (GetFileType(native(h)) != FILE_TYPE_DISK) return err::success;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(native(h), &info)) return err::success;
    id.known = true;
    id.volume = info.dwVolumeSerialNumber;
    id.index = (static_cast<u64>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return err::success;
}

handle take_std_handle(bool for_write) {
    if (!for_write) return win32::from_native(GetStdHandle(STD_INPUT_HANDLE));
    // Our own prints leave standard output first; the handle then carries data only.
    redirect_stdout_to_stderr();
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
    return win32::from_native(out);
}

void close(handle h) {
    if (h == invalid_handle || h == 0) return;
    CloseHandle(native(h));
}

u32 read(handle h, void* buffer, u32 count, u32& done) {
    DWORD got = 0;
    done = 0;
    if (!ReadFile(native(h), buffer, count, &got, nullptr)) {
        DWORD error = GetLastError();
        // The writer of a pipe has closed its end: the end of the stream.
        if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return err::success;
        return error;
    }
    done = got;
    return err::success;
}

u32 write(handle h, const void* buffer, u32 count, u32& done) {
    const char* p = static_cast<const char*>(buffer);
    done = 0;
    while (done < count) {
        DWORD put = 0;
        if (!WriteFile(native(h), p + done, count - done, &put, nullptr)) {
            DWORD error = GetLastError();
            // The reader of a pipe is gone (Windows says 232, Wine 233).
            if (error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED)
                return err::broken_pipe;
            return error;
        }
        if (put == 0) return err::io_device;  // no progress: never spin
        done += put;
    }
    return err::success;
}

u32 seek(handle h, s64 distance, u32 method, s64& position) {
    LARGE_INTEGER move;
    LARGE_INTEGER now;
    move.QuadPart = distance;
    now.QuadPart = 0;
    if (!SetFilePointerEx(native(h), move, &now, method)) return GetLastError();
    position = now.QuadPart;
    return err::success;
}

u32 set_eof(handle h) {
    if (!SetEndOfFile(native(h))) return GetLastError();
    return err::success;
}

u32 file_size(handle h, s64& size) {
    // Pipes may report a size (Wine does); only a disk file's size means anything.
    if (GetFileType(native(h)) != FILE_TYPE_DISK) return err::invalid_function;
    LARGE_INTEGER s;
    if (!GetFileSizeEx(native(h), &s)) return GetLastError();
    size = s.QuadPart;
    return err::success;
}

u32 flush(handle h) {
    if (!FlushFileBuffers(native(h))) return GetLastError();
    return err::success;
}

u32 reopen(handle h, handle& second) {
    second = invalid_handle;
    HANDLE f = ReOpenFile(native(h), reopen_access, share_all, reopen_flags);
    if (f == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error != 0 ? error : err::invalid_function;
    }
    second = win32::from_native(f);
    return err::success;
}

u32 disk_length(handle h, s64& length) {
    length_info info;
    info.Length.QuadPart = 0;
    u32 e = device_request(h, ioctl_disk_get_length_info, nullptr, 0, &info, sizeof(info));
    if (e == err::success) length = info.Length.QuadPart;
    return e;
}

u32 allow_extended_io(handle h) {
    return device_request(h, fsctl_allow_extended_dasd_io, nullptr, 0, nullptr, 0);
}

u32 lock_volume(handle h) { return device_request(h, fsctl_lock_volume, nullptr, 0, nullptr, 0); }

u32 dismount_volume(handle h) {
    return device_request(h, fsctl_dismount_volume, nullptr, 0, nullptr, 0);
}

u32 unlock_volume(handle h) {
    return device_request(h, fsctl_unlock_volume, nullptr, 0, nullptr, 0);
}

u32 set_disk_offline(handle h, bool offline) {
    set_disk_attributes a{};
    a.Version = sizeof(a);
    a.Persist = FALSE;
    a.Attributes = offline ? disk_attribute_offline : 0;
    a.AttributesMask = disk_attribute_offline;
    return device_request(h, ioctl_disk_set_disk_attributes, &a, sizeof(a), nullptr, 0);
}

u32 update_disk_properties(handle h) {
    return device_request(h, ioctl_disk_update_properties, nullptr, 0, nullptr, 0);
}

}  // namespace os
