// A thread with a completion signal, so that a stop can wait a bounded time
// and report a slow thread, and still never free what the thread uses
// before it has ended.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace bvm::os {

class worker_thread {
 public:
  worker_thread() = default;
  worker_thread(const worker_thread&) = delete;
  worker_thread& operator=(const worker_thread&) = delete;

  // Runs fn on a new thread. False when no thread could be created.
  [[nodiscard]] bool start(void (*fn)()) noexcept;
  bool started() const noexcept { return thread_.joinable(); }
  // Waits at most ms for the thread to end; true once it has ended.
  bool wait_for(int ms);
  // Waits for the end and joins. The thread is never detached.
  void join();

 private:
  std::thread thread_;
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false;
};

// Test seams: the nth following start() (1 = the next) fails as if the
// system had no threads left.
void test_fail_nth_thread_start(int n) noexcept;
inline void test_fail_next_thread_start() noexcept { test_fail_nth_thread_start(1); }

}  // namespace bvm::os
