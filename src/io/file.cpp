#include <cstdio>
#include <cstring>

#include "app/report.h"
#include "io/G_FILE.h"
#include "os/console.h"

bool is_std_stream_name(const char* path) {
    return std::strcmp(path, "-") == 0 || std::strcmp(path, "con") == 0 || std::strcmp(path, "CON") == 0;
}

G_FILE::~G_FILE() {
    close();
    handle = os::invalid_handle;
    is_open = false;
    error_r = error_w = 0;
}

u32 G_FILE::open(const char* path, u32 access, u32 disposition, u32 flags) {
    if (is_open) return 0xFFFFFFFFu;
    u32 first_code = 0;
    for (;;) {
        error_r = 0;
        const bool write_access = (access & (os::generic_write | os::generic_all)) != 0;
        if (is_std_stream_name(path)) {
            os::handle h = os::take_std_handle(write_access);
            if (h != os::invalid_handle) {
                handle = h;
                is_open = true;
                is_std_stream = true;
                return 0;
            }
            // Never a file named like the stream in its place.
            if (os::std_stream_closed(write_access ? 1 : 0)) {
                std::fprintf(stderr, "\n!! %s: standard %s is closed\n", path, write_access ? "output" : "input");
                error_r = os::err::invalid_handle;
                return error_r;
            }
        }
        bool existed = false;
        os::handle h = os::invalid_handle;
        u32 code = os::open(path, access, disposition,
                            flags | os::flag_sequential_scan | os::flag_backup_semantics | os::attribute_normal, h,
                            existed);
        if (code == 0) {
            handle = h;
            is_open = true;
            is_std_stream = false;
            if (disposition == os::create_always || disposition == os::open_always)
                error_r = existed ? os::err::already_exists : 0;
            return 0;
        }
        // A volume or disk cannot be created: open it as it is.
        if (write_access && disposition == os::create_always && code != os::err::file_not_found) {
            first_code = code;
            disposition = os::open_existing;
            continue;
        }
        // Nothing there to open as it is: why the create failed tells more.
        if (first_code != 0 && (code == os::err::file_not_found || code == os::err::path_not_found))
            code = first_code;
        // The report names the path in a line of at most 511 characters; a
        // longer path is cut there with "..." (the open itself used it whole).
        char line[512];
        int n = std::snprintf(line, sizeof line, "open(%s)", path);
        if (n >= static_cast<int>(sizeof line)) std::memcpy(line + sizeof line - 5, "...)", 5);
        print_error(stdout, line, code);
        error_r = code;
        handle = os::invalid_handle;
        return code;
    }
}

bool overwrites(const G_FILE& output, const G_FILE& input) {
    if (!output.is_open || !input.is_open) return false;
    return overwrites(output.handle, input.handle);
}

bool overwrites(os::handle output, os::handle input) {
    if (output == os::invalid_handle || input == os::invalid_handle) return false;
    os::file_identity out, in;
    if (os::identity(output, out) != 0 || os::identity(input, in) != 0 || !out.known || !in.known)
        return false;
    if (out.volume == in.volume && out.index == in.index) return true;
    // A loop device and the file behind it hold the same bytes.
    auto backs = [](const os::file_identity& device, const os::file_identity& file) {
        return device.backing_index != 0 && device.backing_volume == file.volume && device.backing_index == file.index;
    };
    if (backs(in, out) || backs(out, in)) return true;
    if (out.volume != os::device_volume) return false;
    // A device written: the input is a partition of it, its disk, or a file
    // whose file system lies on it.
    const u64 in_device = in.volume == os::device_volume ? in.index : in.volume;
    return in_device == out.index || (in.container != 0 && in.container == out.index) ||
           (out.container != 0 && out.container == in_device);
}

u32 G_FILE::close() {
    if (!is_open) return 0xFFFFFFFFu;
    is_open = false;
    os::close(handle);
    handle = os::invalid_handle;
    return 0;
}

s64 G_FILE::get_size() {
    s64 size = -1;
    u32 code = os::file_size(handle, size);
    if (code == 0) {
        error_r = 0;
        if (size != -1) return size;
    } else {
        error_r = code;
    }
    return get_disk_length();
}

s64 G_FILE::get_disk_length() {
    s64 length = 0;
    u32 code = os::disk_length(handle, length);
    if (code != 0) {
        error_r = code;
        return 0;
    }
    error_r = 0;
    return length;
}

u32 G_FILE::flush() {
    u32 code = os::flush(handle);
    if (code == os::err::access_denied || code == os::err::invalid_handle) {
        // A handle opened for reading only flushes through a second one.
        // Never after an I/O error: a second handle would not report it.
        os::handle second;
        code = os::reopen(handle, second);
        if (code == 0) {
            code = os::flush(second);
            os::close(second);
        }
    }
    error_w = code;
    return code;
}

s64 G_FILE::read(void* buffer, u32 count) {
    u32 done = 0;
    u32 code = os::read(handle, buffer, count, done);
    if (code != 0) {
        error_r = code;
        return -1;
    }
    return done;
}

s64 G_FILE::write(const void* buffer, u32 count) {
    u32 done = 0;
    u32 code = os::write(handle, buffer, count, done);
    if (code != 0) {
        error_w = code;
        return -1;
    }
    return count;
}

s64 G_FILE::seek(s64 distance, u32 method) {
    s64 position = -1;
    u32 code = os::seek(handle, distance, method, position);
    error_r = code;
    return code == 0 ? position : -1;
}

u32 G_FILE::set_eof() {
    error_w = os::set_eof(handle);
    return error_w;
}

void G_FILE::reopen(G_FILE& target) {
    os::handle second = os::invalid_handle;
    u32 code = os::reopen(handle, second);
    if (code == 0 && second != os::invalid_handle) {
        target.handle = second;
        target.is_open = true;
        target.is_std_stream = false;
        target.error_r = 0;
    } else {
        target.error_r = code;
    }
}
