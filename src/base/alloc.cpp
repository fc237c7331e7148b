#include "base/alloc.h"

#include <atomic>

namespace bvm {
namespace {
constinit std::atomic<int> g_fail_countdown{0};
}  // namespace

void test_fail_nth_alloc(int n) noexcept { g_fail_countdown.store(n, std::memory_order_relaxed); }

bool alloc_should_fail() noexcept {
  int n = g_fail_countdown.load(std::memory_order_relaxed);
  while (n > 0) {
    if (g_fail_countdown.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) return n == 1;
  }
  return false;
}

}  // namespace bvm
