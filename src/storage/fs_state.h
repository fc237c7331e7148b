// Storage state shared by the storage files: settings, flags, counters,
// the open log file, the two storage locks and the small helpers every
// storage file uses.
//
// Lock order: s_fs_iomutex -> s_mutex -> s_fs_qmutex; never the reverse.
// s_fs_qmutex guards the log queue, the counters and the warning;
// s_fs_iomutex serialises all storage file work.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "broker/state.h"
#include "broker/sync.h"
#include "storage/storage.h"

namespace bvm {

extern constinit mutex s_fs_qmutex;
extern constinit mutex s_fs_iomutex;

// --- settings: kept across stop and start; changed only by the setters ---
// The directory and the persistence switch change only while the broker is
// stopped (under s_mutex), so the threads read them without a lock.
extern char s_fs_dir[1024];  // UTF-8; empty = storage off
extern constinit std::atomic<int> s_fs_cfg_persist;  // 1 by default
extern constinit std::atomic<int> s_fs_cfg_log;      // 0 by default
extern constinit std::atomic<int32_t> s_fs_ret_days;       // 30; <= 0: no age limit
extern constinit std::atomic<int32_t> s_fs_max_total_mb;   // 1024; <= 0: no limit
extern constinit std::atomic<int32_t> s_fs_max_file_mb;    // 64; <= 0: no split
extern constinit std::atomic<int64_t> s_fs_clock_offset_s;

// --- state flags -----------------------------------------------------------
extern constinit std::atomic<int> s_fs_active;  // the current run started the writer
extern constinit std::atomic<int> s_fs_usable;  // the directory passed the checks of the latest start
extern constinit std::atomic<int> s_fs_loaded;  // memory reflects this directory's snapshot files
extern constinit std::atomic<int> s_fs_log_on;  // log records are accepted now
extern constinit std::atomic<int> s_fs_thread_run;
extern constinit std::atomic<int> s_fs_sweep_pending;  // 1 at load
extern int32_t s_fs_loaded_retained GUARDED_BY(s_fs_qmutex);
extern int32_t s_fs_loaded_sessions GUARDED_BY(s_fs_qmutex);

// --- counters (guarded by s_fs_qmutex) -------------------------------------
extern int64_t s_fs_log_written GUARDED_BY(s_fs_qmutex);
extern int64_t s_fs_log_dropped GUARDED_BY(s_fs_qmutex);
extern int64_t s_fs_q_items GUARDED_BY(s_fs_qmutex);
extern int64_t s_fs_q_bytes GUARDED_BY(s_fs_qmutex);
extern int64_t s_fs_snapshots GUARDED_BY(s_fs_qmutex);
extern int64_t s_fs_last_snapshot_ms GUARDED_BY(s_fs_qmutex);
extern int64_t s_fs_write_errors GUARDED_BY(s_fs_qmutex);
extern int64_t s_fs_log_files GUARDED_BY(s_fs_qmutex);
extern int64_t s_fs_log_total_bytes GUARDED_BY(s_fs_qmutex);
extern int64_t s_fs_log_deleted GUARDED_BY(s_fs_qmutex);

// The storage clock: wall-clock Unix milliseconds plus the offset.
int64_t fs_now_ms() noexcept;

// Joins the configured directory and a file name ("/" added unless the
// directory already ends in "/" or "\"), bounded by size (callers use 1100).
void fs_join(char* out, size_t size, const char* name) noexcept;

// Formats the warning with its one text argument (at most 511 characters),
// stores it under s_fs_qmutex and copies it into the last error.
void fs_set_warning(const char* format, const char* text) noexcept EXCLUDES(s_fs_qmutex);

// --- snapshots (storage/snapshot.cpp) --------------------------------------
// One snapshot pass; force writes both files, otherwise only the dirty ones.
// REQUIRES s_fs_iomutex, not s_mutex.
void fs_snapshot(bool force) noexcept;
// The two load steps of the start, with s_mutex held.
void fs_load_retained() noexcept REQUIRES(s_mutex);
void fs_load_sessions() noexcept REQUIRES(s_mutex);

// --- daily logs (storage/log_files.cpp) ------------------------------------
void fs_log_drain() noexcept;        // REQUIRES s_fs_iomutex
void fs_retention_sweep() noexcept;  // REQUIRES s_fs_iomutex
void fs_log_close() noexcept;        // REQUIRES s_fs_iomutex
// Path of the open log file for the status report ("" when none is open).
void fs_log_current_path(char* out, size_t size) noexcept;

}  // namespace bvm
