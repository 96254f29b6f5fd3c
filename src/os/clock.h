#pragma once
// The performance counter: a monotonic count and its frequency per second.
#include "os/types.h"

namespace os {
s64 performance_frequency();
s64 performance_counter();
}  // namespace os
