// The storage writer thread and the storage steps that start and stop it.
//
// The writer wakes every 50 ms and, holding s_fs_iomutex for that tick only,
// drains the log queue, runs a retention sweep when one is due and writes a
// snapshot when the state changed. A stop cuts the 50 ms wait short, and so
// does a log queue filling up: at high message rates 50 ms of records can
// exceed the queue's limits, and a record refused there is lost.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/no_destructor.h"
#include "os/thread.h"
#include "storage/fs_state.h"

namespace bvm {
namespace {

constexpr int TICK_MS = 50;
constexpr int64_t SWEEP_EVERY_MS = 60000;
constexpr int64_t SNAPSHOT_MIN_GAP_MS = 250;
constexpr int STOP_WAIT_MS = 5000;

struct writer_state {
  os::worker_thread thread;
  std::mutex wake_mutex;  // pairs with wake so a stop is never missed
  std::condition_variable wake;
};

writer_state& writer() {
  static no_destructor<writer_state> w;
  return *w;
}

constinit std::atomic<int> s_fs_thread_started{0};
// Set by a producer that wants the queue drained before the tick is over.
constinit std::atomic<int> s_fs_drain_wanted{0};

bool running() noexcept { return s_fs_thread_run.load(std::memory_order_relaxed) != 0; }

// One tick's file work, with s_fs_iomutex held.
void writer_tick() noexcept {
  fs_log_drain();
  if (s_fs_usable.load(std::memory_order_relaxed) != 0) {
    if (s_fs_sweep_pending.load(std::memory_order_relaxed) != 0 ||
        fs_elapsed_ms(s_fs_last_sweep_ms.load(std::memory_order_relaxed), fs_now_ms()) >=
            SWEEP_EVERY_MS) {
      fs_retention_sweep();
    }
  }
  if (s_fs_dirty_ret.load(std::memory_order_relaxed) != 0 ||
      s_fs_dirty_sess.load(std::memory_order_relaxed) != 0) {
    int64_t last;
    {
      lock_guard lock(s_fs_qmutex);
      last = s_fs_last_snapshot_ms;
    }
    bool due = last == 0 || fs_elapsed_ms(last, fs_now_ms()) >= SNAPSHOT_MIN_GAP_MS;
    if (due && s_fs_cfg_persist.load(std::memory_order_relaxed) != 0 &&
        s_fs_usable.load(std::memory_order_relaxed) != 0) {
      fs_snapshot(false);
    }
  }
}

void fs_writer() {
  writer_state& w = writer();
  while (running()) {
    {
      std::unique_lock lock(w.wake_mutex);
      w.wake.wait_for(lock, std::chrono::milliseconds(TICK_MS), [] {
        return !running() || s_fs_drain_wanted.load(std::memory_order_relaxed) != 0;
      });
    }
    s_fs_drain_wanted.store(0, std::memory_order_relaxed);
    // A stop drains and snapshots once more itself, after this thread ends.
    if (!running()) break;
    lock_guard io(s_fs_iomutex);
    writer_tick();
  }
}

}  // namespace

// The flag is set without the wake mutex, so a nudge that lands just before
// the writer starts to wait is missed; the writer then drains at the end of
// its tick as it would have anyway.
void fs_writer_nudge() noexcept {
  s_fs_drain_wanted.store(1, std::memory_order_relaxed);
  writer().wake.notify_one();
}

void storage_start_writer() noexcept {
  if (s_fs_usable.load(std::memory_order_relaxed) == 0) return;
  {
    lock_guard lock(s_fs_qmutex);
    s_fs_last_snapshot_ms = 0;
  }
  s_fs_thread_run.store(1, std::memory_order_relaxed);
  if (writer().thread.start(fs_writer)) {
    s_fs_thread_started.store(1, std::memory_order_relaxed);
    s_fs_active.store(1, std::memory_order_relaxed);
    s_fs_log_on.store(s_fs_cfg_log.load(std::memory_order_relaxed), std::memory_order_relaxed);
    return;
  }
  s_fs_thread_run.store(0, std::memory_order_relaxed);
  s_fs_usable.store(0, std::memory_order_relaxed);
  fs_set_warning("storage disabled: cannot start writer thread (%s)", s_fs_dir);
}

void storage_shutdown() noexcept {
  s_fs_log_on.store(0, std::memory_order_relaxed);
  if (s_fs_thread_started.load(std::memory_order_relaxed) != 0) {
    writer_state& w = writer();
    {
      std::lock_guard lock(w.wake_mutex);
      s_fs_thread_run.store(0, std::memory_order_relaxed);
    }
    w.wake.notify_all();
    // The writer ends within one tick; should a slow disk hold it past the
    // 5 s allowed, keep waiting: the final drain and the log file below are
    // the writer's own state until it has ended.
    try {
      w.thread.wait_for(STOP_WAIT_MS);
      w.thread.join();
    } catch (...) {
      // wait_for and join throw only on a broken thread library; a thread
      // that cannot be joined keeps running with its state intact.
    }
    s_fs_thread_started.store(0, std::memory_order_relaxed);
  }
  lock_guard io(s_fs_iomutex);
  if (s_fs_usable.load(std::memory_order_relaxed) != 0) {
    fs_log_drain();
    if (s_fs_cfg_persist.load(std::memory_order_relaxed) != 0) fs_snapshot(true);
    fs_log_close();
  }
  fs_log_release_memory();
  // Marked inactive under s_fs_iomutex, so a flush that raced with this stop
  // either ran before the final drain or sees storage inactive.
  s_fs_active.store(0, std::memory_order_relaxed);
}

}  // namespace bvm
