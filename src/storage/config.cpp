// Storage settings and the host's storage calls: the directory and the
// switches, the log limits, the clock offset, flush, reset and the status
// report; and the storage start-up step that checks the directory and loads
// the snapshot files.
//
// The directory and the persistence switch change only under s_mutex while
// the broker is stopped, so the threads read them without a lock; the
// directory text is also written under s_fs_qmutex for the status report.
#include <cstring>
#include <string>

#include "base/text.h"
#include "brelvane_mqtt.h"
#include "broker/last_error.h"
#include "inspect/history.h"
#include "mqtt/retained.h"
#include "os/file.h"
#include "session/session.h"
#include "storage/fs_state.h"
#include "storage/json.h"

namespace bvm {
namespace {

constexpr size_t MAX_DIR_LEN = 959;
constexpr size_t PATH_SIZE = 1100;

// Every text in the report may need escaping, up to six bytes per byte
// (\u0001): the directory (959), the log file path (under 1120) and the
// warning (511) alone can take about 15 KiB. The buffer holds the worst case,
// so the report is never cut into invalid JSON.
char s_fs_status_buf[24576] = {};

// Creates the directory and its missing parents. The configured text is used
// as it is; only the trailing separators are left out of what is created.
bool create_directory() noexcept {
  char work[1024];
  copy_text(work, s_fs_dir);
  size_t len = std::strlen(work);
  while (len > 1 && os::is_path_separator(work[len - 1])) work[--len] = '\0';
  // Position 0 is skipped: the root of an absolute path is no parent to make.
  for (size_t i = 1; i < len; ++i) {
    if (!os::is_path_separator(work[i])) continue;
    char saved = work[i];
    work[i] = '\0';
    if (!os::is_directory(work)) (void)os::make_directory(work);
    work[i] = saved;
  }
  if (os::is_directory(work)) return true;
  return os::make_directory(work) || os::is_directory(work);
}

bool write_test() noexcept {
  char path[PATH_SIZE];
  fs_join(path, sizeof path, ".bvmqtt-write-test");
  std::FILE* f = os::open_file(path, "wb");
  if (f == nullptr) return false;
  (void)os::close_file(f);
  os::remove_file(path);
  return true;
}

void remove_in_dir(const char* name) noexcept {
  char path[PATH_SIZE];
  fs_join(path, sizeof path, name);
  os::remove_file(path);
}

// The setters that refuse a running broker write their message after
// releasing s_mutex, like every other exported call.
int refuse(const char* message) noexcept {
  set_last_error(message);
  return -1;
}

int set_storage_dir(const char* dir) {
  if (dir == nullptr) dir = "";
  const char* refusal;
  {
    lock_guard lock(s_mutex);
    if (broker_running()) {
      refusal = "mqtt_set_storage_dir: stop the broker first";
    } else if (std::strlen(dir) > MAX_DIR_LEN) {
      refusal = "mqtt_set_storage_dir: path too long";
    } else {
      // A different directory has its own snapshot files, read at the next start.
      if (std::strcmp(dir, s_fs_dir) != 0) s_fs_loaded.store(0, std::memory_order_relaxed);
      lock_guard q(s_fs_qmutex);
      copy_text(s_fs_dir, dir);
      return 0;
    }
  }
  return refuse(refusal);
}

int set_persistence_enabled(int enabled) {
  {
    lock_guard lock(s_mutex);
    if (!broker_running()) {
      s_fs_cfg_persist.store(enabled != 0 ? 1 : 0, std::memory_order_relaxed);
      return 0;
    }
  }
  return refuse("mqtt_set_persistence_enabled: stop the broker first");
}

int storage_flush() {
  lock_guard io(s_fs_iomutex);
  // Checked under s_fs_iomutex: the stop marks storage inactive under it too,
  // so a flush never opens a log file after the stop has closed it.
  if (s_fs_active.load(std::memory_order_relaxed) == 0) {
    set_last_error("mqtt_storage_flush: storage is not active");
    return -1;
  }
  fs_log_drain();
  if (s_fs_usable.load(std::memory_order_relaxed) != 0) {
    fs_retention_sweep();
    if (s_fs_cfg_persist.load(std::memory_order_relaxed) != 0) fs_snapshot(true);
  }
  return 0;
}

int reset_state() {
  {
    lock_guard lock(s_mutex);
    if (!broker_running()) {
      retained_clear_all();
      session_clear_all();
      history_clear();
      // The next start with persistence on reads the snapshot files again.
      s_fs_loaded.store(0, std::memory_order_relaxed);
      s_fs_dirty_ret.store(0, std::memory_order_relaxed);
      s_fs_dirty_sess.store(0, std::memory_order_relaxed);
      return 0;
    }
  }
  return refuse("mqtt_reset_state: stop the broker first");
}

bool write_text(json_writer& w, const char* key, const char* text) {
  w.Key(key);
  return write_checked_string(w, text, std::strlen(text));
}

// Builds the status report into s_fs_status_buf; the empty text when it
// cannot be built (out of memory, or a path that is not UTF-8).
void build_status() {
  s_fs_status_buf[0] = '\0';
  lock_guard lock(s_fs_qmutex);
  char log_file[1120];
  fs_log_current_path(log_file, sizeof log_file);
  rapidjson::StringBuffer sb;
  json_writer w(sb);
  w.StartObject();
  bool ok = write_text(w, "dir", s_fs_dir);
  w.Key("active");
  w.Bool(s_fs_active.load(std::memory_order_relaxed) != 0);
  w.Key("persistence");
  w.Bool(s_fs_cfg_persist.load(std::memory_order_relaxed) != 0);
  w.Key("log");
  w.Bool(s_fs_cfg_log.load(std::memory_order_relaxed) != 0);
  ok = ok && write_text(w, "log_file", log_file);
  const struct {
    const char* key;
    int64_t value;
  } counters[] = {
      {"log_written", s_fs_log_written},
      {"log_dropped", s_fs_log_dropped},
      {"log_queue", s_fs_q_items},
      {"snapshots", s_fs_snapshots},
      {"last_snapshot_ms", s_fs_last_snapshot_ms},
      {"write_errors", s_fs_write_errors},
      {"loaded_retained", s_fs_loaded_retained},
      {"loaded_sessions", s_fs_loaded_sessions},
      {"log_files", s_fs_log_files},
      {"log_bytes", s_fs_log_total_bytes},
      {"log_deleted", s_fs_log_deleted},
      {"retention_days", s_fs_ret_days.load(std::memory_order_relaxed)},
      {"max_total_mb", s_fs_max_total_mb.load(std::memory_order_relaxed)},
      {"max_file_mb", s_fs_max_file_mb.load(std::memory_order_relaxed)},
  };
  for (const auto& c : counters) {
    w.Key(c.key);
    w.Int64(c.value);
  }
  ok = ok && write_text(w, "warning", s_fs_warning);
  w.EndObject();
  if (!ok || !w.IsComplete() || sb.GetSize() >= sizeof s_fs_status_buf) return;
  copy_text(s_fs_status_buf, sb.GetString(), sb.GetSize());
}

}  // namespace

void storage_startup() noexcept REQUIRES(s_mutex) {
  s_fs_usable.store(0, std::memory_order_relaxed);
  {
    lock_guard lock(s_fs_qmutex);
    s_fs_warning[0] = '\0';
    s_fs_loaded_retained = 0;
    s_fs_loaded_sessions = 0;
  }
  bool persist = s_fs_cfg_persist.load(std::memory_order_relaxed) != 0;
  bool log = s_fs_cfg_log.load(std::memory_order_relaxed) != 0;
  if (s_fs_dir[0] == '\0' || (!persist && !log)) return;
  if (!create_directory()) {
    fs_set_warning("storage disabled: cannot create directory '%s'", s_fs_dir);
    return;
  }
  if (!write_test()) {
    fs_set_warning("storage disabled: directory '%s' is not writable", s_fs_dir);
    return;
  }
  s_fs_usable.store(1, std::memory_order_relaxed);
  // Left behind by a snapshot write that a crash interrupted.
  remove_in_dir("retained.json.tmp");
  remove_in_dir("sessions.json.tmp");
  if (!persist) return;
  if (s_fs_loaded.load(std::memory_order_relaxed) != 0) {
    // Memory already holds this directory's state: rewrite the files from it.
    s_fs_dirty_ret.store(1, std::memory_order_relaxed);
    s_fs_dirty_sess.store(1, std::memory_order_relaxed);
    return;
  }
  fs_load_retained();
  fs_load_sessions();
  s_fs_dirty_ret.store(0, std::memory_order_relaxed);
  s_fs_dirty_sess.store(0, std::memory_order_relaxed);
  s_fs_loaded.store(1, std::memory_order_relaxed);
}

}  // namespace bvm

extern "C" {

BV_EXPORT int mqtt_set_storage_dir(const char* dir) {
  try {
    return bvm::set_storage_dir(dir);
  } catch (...) {
    return -1;
  }
}

BV_EXPORT int mqtt_set_persistence_enabled(int enabled) {
  try {
    return bvm::set_persistence_enabled(enabled);
  } catch (...) {
    return -1;
  }
}

BV_EXPORT int mqtt_set_log_enabled(int enabled) {
  using namespace bvm;
  int value = enabled != 0 ? 1 : 0;
  s_fs_cfg_log.store(value, std::memory_order_relaxed);
  // While storage runs, logging follows at once; otherwise at the next start.
  if (s_fs_active.load(std::memory_order_relaxed) != 0) {
    s_fs_log_on.store(value, std::memory_order_relaxed);
  }
  return 0;
}

BV_EXPORT int mqtt_set_log_limits(int retention_days, int max_total_mb, int max_file_mb) {
  using namespace bvm;
  if (retention_days >= 0) s_fs_ret_days.store(retention_days, std::memory_order_relaxed);
  if (max_total_mb >= 0) s_fs_max_total_mb.store(max_total_mb, std::memory_order_relaxed);
  if (max_file_mb >= 0) s_fs_max_file_mb.store(max_file_mb, std::memory_order_relaxed);
  s_fs_sweep_pending.store(1, std::memory_order_relaxed);
  return 0;
}

BV_EXPORT void mqtt_debug_set_clock_offset(int64_t seconds) {
  bvm::s_fs_clock_offset_s.store(seconds, std::memory_order_relaxed);
}

BV_EXPORT int mqtt_storage_flush(void) {
  try {
    return bvm::storage_flush();
  } catch (...) {
    return -1;
  }
}

BV_EXPORT int mqtt_reset_state(void) {
  try {
    return bvm::reset_state();
  } catch (...) {
    return -1;
  }
}

BV_EXPORT const char* mqtt_get_storage_status_json(void) {
  try {
    bvm::build_status();
  } catch (...) {
    bvm::s_fs_status_buf[0] = '\0';
  }
  return bvm::s_fs_status_buf;
}

}  // extern "C"
