#include "os/thread.h"

#include <atomic>
#include <chrono>

namespace bvm::os {
namespace {
constinit std::atomic<int> g_fail_next_start{0};
}  // namespace

void test_fail_next_thread_start() noexcept { g_fail_next_start.store(1, std::memory_order_relaxed); }

bool worker_thread::start(void (*fn)()) noexcept {
  if (g_fail_next_start.exchange(0, std::memory_order_relaxed) != 0) return false;
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
