#pragma once
// One open file, stream, volume or disk. Owns its handle; remembers the last
// error of its input side (error_r) and of its output side (error_w).
//
// Results: u32 operations give 0, a Windows error number, or 0xFFFFFFFF when
// called in the wrong state; s64 operations give a count or position, or -1
// with the code kept in error_r / error_w. Only open() prints (its failure,
// on standard output). No locking: one thread uses an object at a time.
#include "os/file.h"

class G_FILE {
public:
    os::handle handle = os::invalid_handle;
    bool is_open = false;
    u32 error_r = 0;
    u32 error_w = 0;

    G_FILE() = default;
    ~G_FILE();
    G_FILE(const G_FILE&) = delete;
    G_FILE& operator=(const G_FILE&) = delete;

    u32 open(const char* path, u32 access, u32 disposition, u32 flags);
    u32 close();
    s64 get_size();
    s64 get_disk_length();
    u32 flush();
    s64 read(void* buffer, u32 count);
    s64 write(const void* buffer, u32 count);
    s64 seek(s64 distance, u32 method);
    s64 get_file_pointer() { return seek(0, os::file_current); }
    u32 set_eof();
    void reopen(G_FILE& target);

    // Volume and disk requests; outcome in error_w, nothing printed.
    u32 allow_extended_io();
    u32 lock_dismount();
    u32 unlock();
    bool set_offline(u8 offline);

    // Whether the last open went to a standard stream.
    bool is_std_stream = false;
};

// Whether writing `output` changes the bytes of `input`: the same file by
// any path, the same device, a partition and its disk, or a device under
// the file system that holds the input.
bool overwrites(const G_FILE& output, const G_FILE& input);
bool overwrites(os::handle output, os::handle input);

// "-", "con" and "CON" name the standard streams (no other spelling).
bool is_std_stream_name(const char* path);
