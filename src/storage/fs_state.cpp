// The storage state every storage file shares, and the storage clock.
#include "storage/fs_state.h"

#include "os/clock.h"

namespace bvm {

constinit mutex s_fs_qmutex;
constinit mutex s_fs_iomutex;

char s_fs_dir[1024] = {};
constinit std::atomic<int> s_fs_cfg_persist{1};
constinit std::atomic<int> s_fs_cfg_log{0};
constinit std::atomic<int32_t> s_fs_ret_days{30};
constinit std::atomic<int32_t> s_fs_max_total_mb{1024};
constinit std::atomic<int32_t> s_fs_max_file_mb{64};
constinit std::atomic<int64_t> s_fs_clock_offset_s{0};

constinit std::atomic<int> s_fs_active{0};
constinit std::atomic<int> s_fs_usable{0};
constinit std::atomic<int> s_fs_loaded{0};
constinit std::atomic<int> s_fs_log_on{0};
constinit std::atomic<int> s_fs_thread_run{0};
constinit std::atomic<int> s_fs_sweep_pending{1};  // the first tick after load sweeps
int32_t s_fs_loaded_retained = 0;
int32_t s_fs_loaded_sessions = 0;
char s_fs_warning[512] = {};
constinit std::atomic<int64_t> s_fs_last_sweep_ms{0};

constinit std::atomic<int> s_fs_dirty_ret{0};
constinit std::atomic<int> s_fs_dirty_sess{0};

int64_t s_fs_log_written = 0;
int64_t s_fs_log_dropped = 0;
int64_t s_fs_q_items = 0;
int64_t s_fs_q_bytes = 0;
int64_t s_fs_snapshots = 0;
int64_t s_fs_last_snapshot_ms = 0;
int64_t s_fs_write_errors = 0;
int64_t s_fs_log_files = 0;
int64_t s_fs_log_total_bytes = 0;
int64_t s_fs_log_deleted = 0;

int64_t fs_now_ms() noexcept {
  // The offset may be any 64-bit value; the sum wraps instead of overflowing,
  // and a time that far out simply has no calendar day.
  uint64_t offset_ms =
      static_cast<uint64_t>(s_fs_clock_offset_s.load(std::memory_order_relaxed)) * 1000u;
  return static_cast<int64_t>(static_cast<uint64_t>(os::wall_millis()) + offset_ms);
}

int64_t fs_elapsed_ms(int64_t a, int64_t b) noexcept {
  return static_cast<int64_t>(static_cast<uint64_t>(b) - static_cast<uint64_t>(a));
}

}  // namespace bvm
