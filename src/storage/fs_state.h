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
#include <string>

#include "base/byte_buf.h"
#include "broker/state.h"
#include "broker/sync.h"
#include "storage/storage.h"

namespace bvm {

extern constinit mutex s_fs_qmutex;
extern constinit mutex s_fs_iomutex;

// --- settings: kept across stop and start; changed only by the setters ---
// The directory and the persistence switch change only while the broker is
// stopped (under s_mutex), so the threads read them without a lock.
extern char s_fs_dir[1024];                               // UTF-8; empty = storage off
extern constinit std::atomic<int> s_fs_cfg_persist;       // 1 by default
extern constinit std::atomic<int> s_fs_cfg_log;           // 0 by default
extern constinit std::atomic<int32_t> s_fs_ret_days;      // 30; <= 0: no age limit
extern constinit std::atomic<int32_t> s_fs_max_total_mb;  // 1024; <= 0: no limit
extern constinit std::atomic<int32_t> s_fs_max_file_mb;   // 64; <= 0: no split
extern constinit std::atomic<int64_t> s_fs_clock_offset_s;

// --- state flags -----------------------------------------------------------
extern constinit std::atomic<int> s_fs_active;  // the current run started the writer
extern constinit std::atomic<int>
    s_fs_usable;  // the directory passed the checks of the latest start
extern constinit std::atomic<int> s_fs_loaded;  // memory reflects this directory's snapshot files
extern constinit std::atomic<int> s_fs_log_on;  // log records are accepted now
extern constinit std::atomic<int> s_fs_thread_run;
extern constinit std::atomic<int> s_fs_sweep_pending;  // 1 at load
extern int32_t s_fs_loaded_retained GUARDED_BY(s_fs_qmutex);
extern int32_t s_fs_loaded_sessions GUARDED_BY(s_fs_qmutex);
// The latest storage warning; empty when there is none.
extern char s_fs_warning[512] GUARDED_BY(s_fs_qmutex);
// Storage-clock time of the last retention sweep (written by the sweep).
extern constinit std::atomic<int64_t> s_fs_last_sweep_ms;

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
// b - a on the storage clock, without overflow for any offset.
int64_t fs_elapsed_ms(int64_t a, int64_t b) noexcept;

// Joins the configured directory and a file name ("/" added unless the
// directory already ends in a path separator of this platform), bounded by
// size (callers use 1100).
void fs_join(char* out, size_t size, const char* name) noexcept;

// Formats the warning, the first "%s" of format replaced by text ("%%" gives
// "%"), into at most 511 bytes; stores it under s_fs_qmutex and copies it
// into the last error. A cut never ends inside a UTF-8 sequence, so the
// status report can still show the text.
void fs_set_warning(const char* format, const char* text) noexcept EXCLUDES(s_fs_qmutex);

// --- the log queue (storage/log_queue.cpp) ---------------------------------
inline constexpr int64_t FS_QUEUE_MAX_ITEMS = 50000;
inline constexpr int64_t FS_QUEUE_MAX_BYTES = 67108864;  // 64 MiB of payload

// Records wait back to back in chunks of storage, so queueing one is a copy
// into memory already held, not an allocation per message. Chunks come from
// a small pool the drain refills.
struct log_chunk;

// One routed message waiting for the daily log, as the drain reads it. The
// texts and the payload point into the chunk that holds the record.
struct log_record {
  int64_t ts_ms = 0;  // storage clock when queued
  const char* topic = "";
  size_t topic_len = 0;  // cut to 255 bytes, no zero byte
  const char* client = "";
  size_t client_len = 0;  // publisher's client identifier, cut to 127 bytes
  int32_t qos = 0;
  uint8_t retain = 0;
  const uint8_t* payload = nullptr;  // null when payload_len is 0
  size_t payload_len = 0;
};

// Detaches every waiting record, oldest first; the caller owns the chunks
// and hands them back with fs_log_free_list.
log_chunk* fs_log_take_all() noexcept EXCLUDES(s_fs_qmutex);
// Returns taken chunks to the pool (or frees them); their records are gone.
void fs_log_free_list(log_chunk* head) noexcept EXCLUDES(s_fs_qmutex);
// Frees the pooled chunks, so a stopped broker holds no queue memory.
void fs_log_release_memory() noexcept EXCLUDES(s_fs_qmutex);

// Reads the records of a taken list in queue order.
class log_cursor {
 public:
  explicit log_cursor(const log_chunk* head) noexcept : chunk_(head) {}
  // Fills *out with the next record; false after the last one.
  bool next(log_record* out) noexcept;

 private:
  const log_chunk* chunk_;
  size_t at_ = 0;
};

// --- snapshots (storage/snapshot.cpp) --------------------------------------
// One snapshot pass; force writes both files, otherwise only the dirty ones.
// REQUIRES s_fs_iomutex, not s_mutex.
void fs_snapshot(bool force) noexcept;
// The two load steps of the start, with s_mutex held.
void fs_load_retained() noexcept REQUIRES(s_mutex);
void fs_load_sessions() noexcept REQUIRES(s_mutex);

// --- daily logs (storage/log_files.cpp) ------------------------------------
void fs_log_drain() noexcept;  // REQUIRES s_fs_iomutex
// Asks the writer thread to drain before its 50 ms tick is over.
void fs_writer_nudge() noexcept;
void fs_retention_sweep() noexcept;  // REQUIRES s_fs_iomutex
void fs_log_close() noexcept;        // REQUIRES s_fs_iomutex
// Path of the open log file for the status report ("" when none is open).
// The path is published under s_fs_qmutex, which the caller holds.
void fs_log_current_path(char* out, size_t size) noexcept REQUIRES(s_fs_qmutex);

// The local calendar day of a storage-clock time, "%04d-%02d-%02d";
// "1970-01-01" when the time cannot be converted or its year has no four
// digits (no log file name could hold it).
void fs_local_day(int64_t ms, char (&out)[11]) noexcept;
// Appends the record's log line, without the line feed, to *out. False when
// the text cannot be produced (memory); *out is then unspecified.
bool fs_log_line(const log_record& r, std::string* out) noexcept;

// A file name of the daily log: "YYYY-MM-DD.jsonl" (part 1) or
// "YYYY-MM-DD.N.jsonl" with N > 1 of up to six digits. Other names are
// foreign: never counted, never deleted.
struct log_file_entry {
  char name[48] = {};
  char day[11] = {};
  int32_t part = 1;
  uint64_t size = 0;
};
bool fs_parse_log_name(const char* name, log_file_entry* out) noexcept;

}  // namespace bvm
