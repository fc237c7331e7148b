#include "os/thread.h"

#include <atomic>
#include <chrono>

namespace bvm::os {
namespace {
constinit std::atomic<int> g_fail_countdown{0};
}  // namespace

void test_fail_nth_thread_start(int n) noexcept {
  g_fail_countdown.store(n, std::memory_order_relaxed);
}

bool worker_thread::start(void (*fn)()) noexcept {
  int n = g_fail_countdown.load(std::memory_order_relaxed);
  while (n > 0 && !g_fail_countdown.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
  }
  if (n == 1) return false;
  {
    std::lock_guard lock(m_);
    done_ = false;
  }
  try {
    thread_ = std::thread([this, fn] {
      try {
        fn();
      } catch (...) {
        // A thread entry never lets an exception escape: it would terminate the host.
      }
      std::lock_guard lock(m_);
      done_ = true;
      cv_.notify_all();
    });
  } catch (...) {
    return false;
  }
  return true;
}

bool worker_thread::wait_for(int ms) {
  std::unique_lock lock(m_);
  return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; });
}

void worker_thread::join() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace bvm::os
