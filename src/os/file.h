#pragma once
// Files, devices and standard streams: a thin, synchronous layer with the
// meaning of the Windows calls the core was written against.
//
// Contract for every call below:
// - The result is 0 on success or a Windows error number (os/types.h); the
//   backend maps its native errors, it never decides on retries or messages.
// - Calls never print, never allocate on the read/write path, and may be made
//   from any thread on a handle that thread owns.
// - Counts are bytes; positions are absolute byte offsets.
#include "os/types.h"

namespace os {

// Access, disposition and flag values are the Windows ones.
inline constexpr u32 generic_read = 0x80000000u;
inline constexpr u32 generic_write = 0x40000000u;
inline constexpr u32 generic_all = 0x10000000u;
inline constexpr u32 create_always = 2;
inline constexpr u32 open_existing = 3;
inline constexpr u32 open_always = 4;
inline constexpr u32 flag_no_buffering = 0x20000000u;
// Each write reaches the device before it completes. Linux: nothing to add,
// a direct write (flag_no_buffering) already goes past the page cache and a
// direct read of it comes from the device.
inline constexpr u32 flag_write_through = 0x80000000u;
inline constexpr u32 flag_sequential_scan = 0x08000000u;
inline constexpr u32 flag_backup_semantics = 0x02000000u;
inline constexpr u32 attribute_normal = 0x80u;
inline constexpr u32 file_begin = 0;
inline constexpr u32 file_current = 1;
inline constexpr u32 file_end = 2;

// Opens a path. create_always truncates an existing file, open_always keeps
// it; `existed` tells whether the file was there before (the 183 rule).
// flag_no_buffering asks for direct device I/O: buffers, offsets and counts
// must then be multiples of the device's unit. Where the file system cannot
// do direct I/O the file is opened buffered instead. A directory is refused
// with err::directory_not_supported (it is never data).
u32 open(const char* path, u32 access, u32 disposition, u32 flags, handle& h, bool& existed);

// What object a handle reaches, so that two handles on the same data can be
// told apart from two different ones whatever paths opened them. A file is
// named by its volume and its index on it (Linux: st_dev and st_ino;
// Windows: volume serial number and file index). A block device has
// `volume` == device_volume and its device number as `index`. `container`
// is the whole disk (device number) that a partition, or the file system
// of a file, lies on when that is a partition (Linux; 0 otherwise). `known`
// is false for pipes, consoles and character devices, which hold no bytes
// to overwrite, and for what the system does not identify. A device that
// stores its bytes in a file (a loop device) names that file in
// `backing_volume` and `backing_index` (both 0 otherwise).
struct file_identity {
    bool known = false;
    u64 volume = 0;
    u64 index = 0;
    u64 container = 0;
    u64 backing_volume = 0;
    u64 backing_index = 0;
};
inline constexpr u64 device_volume = ~u64{0};
u32 identity(handle h, file_identity& id);

// The standard streams. For reading: standard input. For writing: the
// standard-output handle, after which the process's own standard output
// (everything the program prints there) goes to standard error, so the
// returned handle carries nothing but data. invalid_handle when absent,
// also when the stream was closed when the process started (console.h).
handle take_std_handle(bool for_write);

void close(handle h);
// Removes a regular file by its path (a file this run created and will not
// use); a link or anything else is left alone.
u32 remove_file(const char* path);

// One read: `done` is the count read, 0 at the end of a file or stream.
u32 read(handle h, void* buffer, u32 count, u32& done);
// Writes every byte of the request (looping over short writes).
u32 write(handle h, const void* buffer, u32 count, u32& done);
u32 seek(handle h, s64 distance, u32 method, s64& position);
u32 set_eof(handle h);
// Size of a regular file; fails (invalid_function) on devices, pipes, consoles.
u32 file_size(handle h, s64& size);
u32 flush(handle h);
// A second, independent handle on the same object, read and write, always
// buffered. Used for flushing a read-only handle and for unaligned tails.
u32 reopen(handle h, handle& second);

// Device requests. A regular file, pipe or console refuses them.
u32 disk_length(handle h, s64& length);
u32 allow_extended_io(handle h);
u32 lock_volume(handle h);      // exclusive hold for the life of the handle
u32 dismount_volume(handle h);  // unmount every file system on the device
u32 unlock_volume(handle h);
u32 set_disk_offline(handle h, bool offline);
u32 update_disk_properties(handle h);  // have the system re-read the layout

}  // namespace os
