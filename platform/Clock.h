// Time: pauses, a monotonic counter and the local date and time.
#pragma once

#include <cstdint>

namespace velmora {

// Blocks the calling thread for `milliseconds` (resumes after signals).
void SleepMs(uint32_t milliseconds);

// A high-resolution monotonic counter in nanoseconds (for seeds and timing).
uint64_t MonotonicNanoseconds();

struct LocalDateTime {
  int year, month, day, hour, minute, second, millisecond;
};
// The current local date and time with milliseconds.
LocalDateTime NowLocal();

}  // namespace velmora
