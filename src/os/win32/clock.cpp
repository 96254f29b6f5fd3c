// The performance counter.
#include "os/clock.h"

#include "os/win32/win32.h"

namespace os {

s64 performance_frequency() {
    LARGE_INTEGER f;
    f.QuadPart = 0;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
}

s64 performance_counter() {
    LARGE_INTEGER c;
    c.QuadPart = 0;
    QueryPerformanceCounter(&c);
    return c.QuadPart;
}

}  // namespace os
