#include "os/posix/errors.h"
#include "os/posix/posix.h"

#include <atomic>
#include <cerrno>

namespace os::posix {

namespace {

struct mapping {
    int e;
    u32 code;
};

// EBUSY at open is a sharing violation; elsewhere it is "busy". EISDIR is
// refused at open as a directory, never as an invalid function.
constexpr mapping table[] = {
    {EPERM, err::access_denied},       {ENOENT, err::file_not_found},
    {ENOTDIR, err::path_not_found},    {EACCES, err::access_denied},
    {EBADF, err::invalid_handle},      {ENOMEM, err::not_enough_memory},
    {EROFS, err::write_protect},       {EBUSY, err::busy},
    {EINVAL, err::invalid_parameter},  {ENOSPC, err::disk_full},
    {EFBIG, err::disk_full},           {EPIPE, err::broken_pipe},
    {EEXIST, err::already_exists},     {ENOTTY, err::invalid_function},
    {ENOSYS, err::invalid_function},   {EISDIR, err::directory_not_supported},
    {ESPIPE, err::invalid_parameter},  {ENXIO, err::file_not_found},
    {ENODEV, err::file_not_found},     {EOPNOTSUPP, err::not_supported},
    {EMFILE, 4 /* too many open files */},
    {ENAMETOOLONG, 206 /* filename exced range */},
    {ELOOP, 1921 /* cant resolve filename */},
    {ETXTBSY, err::sharing_violation}, {EAGAIN, err::busy},
    {EINTR, err::operation_aborted},
};

// The errno behind each code last produced; codes are small numbers, so a
// direct table suffices. Racy updates only pick between two valid texts.
constexpr u32 remembered_size = 2048;
std::atomic<int> remembered[remembered_size];

}  // namespace

u32 map_errno(int e, io_side side) {
    if (e == EIO) return side == io_side::read ? err::crc : err::io_device;
    if (e == EBUSY && side == io_side::open) return err::sharing_violation;
    for (const mapping& m : table)
        if (m.e == e) return m.code;
    return 0x20000000u | static_cast<u32>(e);  // customer bit: no Windows twin
}

void remember(u32 code, int e) {
    if (code < remembered_size) remembered[code].store(e, std::memory_order_relaxed);
}

int errno_of(u32 code) {
    if (code < remembered_size) {
        int e = remembered[code].load(std::memory_order_relaxed);
        if (e != 0) return e;
    }
    if ((code & 0xF0000000u) == 0x20000000u) return static_cast<int>(code & 0x0FFFFFFFu);
    // A code the backend never produced itself: the errno that maps to it.
    switch (code) {
    case err::crc:
    case err::io_device:
    case err::device_hardware_error: return EIO;
    case err::sharing_violation: return EBUSY;
    default: break;
    }
    for (const mapping& m : table)
        if (m.code == code) return m.e;
    return 0;
}

std::atomic<bool> io_aborted{false};

}  // namespace os::posix
