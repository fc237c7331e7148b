#include "os/clock.h"

#include <time.h>

#include <atomic>

namespace bvm::os {
namespace {
constinit std::atomic<int64_t> g_wall_shift{0};
constinit std::atomic<int64_t> g_mono_shift{0};
}  // namespace

int64_t wall_seconds() noexcept {
  return static_cast<int64_t>(::time(nullptr)) + g_wall_shift.load(std::memory_order_relaxed);
}

int64_t wall_millis() noexcept {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000 +
         g_wall_shift.load(std::memory_order_relaxed) * 1000;
}

int64_t mono_seconds() noexcept {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  // +1 keeps the value nonzero: a zero last-activity means "never active".
  return static_cast<int64_t>(ts.tv_sec) + 1 + g_mono_shift.load(std::memory_order_relaxed);
}

int64_t mono_millis() noexcept {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return (static_cast<int64_t>(ts.tv_sec) + 1 + g_mono_shift.load(std::memory_order_relaxed)) *
             1000 +
         ts.tv_nsec / 1000000;
}

void sleep_millis(int ms) noexcept {
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0) {
  }
}

void test_shift_wall_clock(int64_t seconds) noexcept {
  g_wall_shift.fetch_add(seconds, std::memory_order_relaxed);
}

void test_shift_mono_clock(int64_t seconds) noexcept {
  g_mono_shift.fetch_add(seconds, std::memory_order_relaxed);
}

}  // namespace bvm::os
