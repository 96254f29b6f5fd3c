#pragma once
// errno to Windows error numbers, one table for the whole backend.
#include "os/types.h"

namespace os::posix {

enum class io_side { read, write, open, other };

// The Windows number for an errno value. EIO means an unreadable block on a
// read (23, so bad blocks are skipped) and a device error elsewhere (1117);
// EBUSY is a sharing violation (32) at open and "busy" (170) elsewhere.
u32 map_errno(int e, io_side side = io_side::other);

// Remembers the errno a code came from, so that its message reads as the
// system's words (strerror) rather than a translation.
void remember(u32 code, int e);
int errno_of(u32 code);

// Maps and remembers in one step.
inline u32 fail(int e, io_side side = io_side::other) {
    u32 code = map_errno(e, side);
    remember(code, e);
    return code;
}

}  // namespace os::posix
