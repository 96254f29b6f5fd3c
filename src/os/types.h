#pragma once
// Fixed-width names shared by the core and the platform layer.
#include <cstddef>
#include <cstdint>

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using s16 = std::int16_t;
using s32 = std::int32_t;
using s64 = std::int64_t;

namespace os {

// An open file, device, pipe or standard stream. The value -1 is "no handle"
// on both platforms (INVALID_HANDLE_VALUE on Windows, a negative fd here).
using handle = std::intptr_t;
inline constexpr handle invalid_handle = -1;

// Windows error numbers the core decides on. Every os call reports failure
// with one of these (or another Windows number), never with errno.
namespace err {
inline constexpr u32 success = 0;
inline constexpr u32 invalid_function = 1;
inline constexpr u32 file_not_found = 2;
inline constexpr u32 path_not_found = 3;
inline constexpr u32 access_denied = 5;
inline constexpr u32 invalid_handle = 6;
inline constexpr u32 not_enough_memory = 8;
inline constexpr u32 write_protect = 19;
inline constexpr u32 crc = 23;
inline constexpr u32 sharing_violation = 32;
inline constexpr u32 not_supported = 50;
inline constexpr u32 invalid_parameter = 87;
inline constexpr u32 broken_pipe = 109;
inline constexpr u32 disk_full = 112;
inline constexpr u32 busy = 170;
inline constexpr u32 already_exists = 183;
inline constexpr u32 pipe_busy = 231;
inline constexpr u32 directory_not_supported = 336;  // a directory named as a path
inline constexpr u32 device_hardware_error = 483;
inline constexpr u32 operation_aborted = 995;  // a blocked read or write cut short on purpose
inline constexpr u32 io_device = 1117;
}  // namespace err

}  // namespace os
