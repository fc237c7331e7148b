// Clocks.
//
// Wall-clock seconds are what the broker reports and stores (retained
// `updated`, session `last_seen`, history timestamps, uptime). Keep-alive
// arithmetic uses the monotonic clock, so setting the system time forward or
// back neither expires nor prolongs connections. Tests move either clock
// through the test_ seams.
#pragma once

#include <cstdint>

namespace bvm::os {

// Seconds since 1970-01-01 UTC.
int64_t wall_seconds() noexcept;
// Seconds on a clock that never jumps; always at least 1.
int64_t mono_seconds() noexcept;
// Milliseconds on the same clock; always at least 1000.
int64_t mono_millis() noexcept;
// Milliseconds since 1970-01-01 UTC (before any storage offset).
int64_t wall_millis() noexcept;
void sleep_millis(int ms) noexcept;

// Test seams: shift what the clocks report by the given seconds.
void test_shift_wall_clock(int64_t seconds) noexcept;
void test_shift_mono_clock(int64_t seconds) noexcept;

}  // namespace bvm::os
