#include "os/clock.h"

#include <time.h>

namespace os {

s64 performance_frequency() { return 1000000000; }

s64 performance_counter() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<s64>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace os
