// Volume and disk requests: each one is an attempt whose outcome is kept in
// error_w; nothing is printed and the run goes on whatever it gives.
#include "io/G_FILE.h"

u32 G_FILE::allow_extended_io() {
    flush();
    error_w = os::allow_extended_io(handle);
    return error_w;
}

u32 G_FILE::lock_dismount() {
    flush();
    if (get_disk_length() == 0) {
        // A file, or a failed length request: the last error is 0 then.
        error_w = 0;
        return 0;
    }
    u32 lock = os::lock_volume(handle);
    u32 dismount = os::dismount_volume(handle);
    u32 extended = os::allow_extended_io(handle);
    error_w = (lock == 0 || dismount == 0 || extended == 0) ? 0 : extended;
    return error_w;
}

u32 G_FILE::unlock() {
    error_w = os::unlock_volume(handle);
    return error_w;
}

bool G_FILE::set_offline(u8 offline) {
    if (get_disk_length() == 0) return false;
    u32 code = os::set_disk_offline(handle, offline != 0);
    error_w = code;
    if (offline == 0) os::update_disk_properties(handle);
    return code == 0;
}
