// The daily message log: one compact JSON line per routed message, in files
// named by local day and split into numbered parts by size, and the
// retention sweep that removes old files by age and by total size.
//
// Everything here runs with s_fs_iomutex held (writer tick, flush, stop);
// counters and the published path of the open file go under s_fs_qmutex.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "codec/base64.h"
#include "os/file.h"
#include "storage/fs_state.h"
#include "storage/json.h"

namespace bvm {
namespace {

constexpr size_t PATH_SIZE = 1100;
constexpr size_t MAX_LISTED = 8192;
constexpr int64_t MIB = 1048576;
constexpr int64_t DAY_MS = 86400000;

// The open log file (guarded by s_fs_iomutex).
std::FILE* s_fs_log_fp = nullptr;
char s_fs_log_day[40] = {};
int32_t s_fs_log_part = 1;
char s_fs_log_name[64] = {};
int64_t s_fs_log_bytes = 0;
// Full path of the open file, "" when none is open. Published under
// s_fs_qmutex for the status report, which does not take s_fs_iomutex.
char s_fs_log_path[1120] GUARDED_BY(s_fs_qmutex) = {};

void publish_open_path(const char* path) noexcept {
  lock_guard lock(s_fs_qmutex);
  copy_text(s_fs_log_path, path);
}

// Flushes, commits and closes the open file; false when its buffered lines
// could not be handed to the system (they are lost).
bool close_log() noexcept {
  bool flushed = true;
  if (s_fs_log_fp != nullptr) {
    flushed = os::flush_file(s_fs_log_fp);
    // The commit's result cannot bring anything back; a failed flush is
    // what loses lines, and the caller counts those.
    if (flushed) (void)os::sync_file(s_fs_log_fp);
    (void)os::close_file(s_fs_log_fp);
    s_fs_log_fp = nullptr;
    publish_open_path("");
  }
  s_fs_log_day[0] = '\0';
  s_fs_log_name[0] = '\0';
  s_fs_log_bytes = 0;
  return flushed;
}

int64_t part_limit_bytes() noexcept {
  int32_t mb = s_fs_max_file_mb.load(std::memory_order_relaxed);
  return mb > 0 ? static_cast<int64_t>(mb) * MIB : 0;
}

void log_file_name(char (&out)[64], const char* day, int32_t part) noexcept {
  if (part <= 1) {
    (void)std::snprintf(out, sizeof out, "%s.jsonl", day);
  } else {
    (void)std::snprintf(out, sizeof out, "%s.%d.jsonl", day, part);
  }
}

// Opens a part of a day for appending and makes it the open log file.
bool fs_log_open_part(const char* day_text, int32_t part) noexcept {
  char day[40];
  copy_text(day, day_text);
  close_log();
  char name[64];
  log_file_name(name, day, part);
  char path[PATH_SIZE];
  fs_join(path, sizeof path, name);
  // A last line without its line feed is what an interrupted earlier run
  // leaves; it keeps a line of its own.
  uint8_t last = 0;
  bool torn = os::read_last_byte(path, &last) == 1 && last != '\n';
  std::FILE* f = os::open_file(path, "ab");
  if (f == nullptr) return false;
  if (torn) (void)os::write_all(f, "\n", 1);
  int64_t size = os::seek_end(f);
  s_fs_log_bytes = size < 0 ? 0 : size;
  s_fs_log_fp = f;
  s_fs_log_part = part < 1 ? 1 : part;
  copy_text(s_fs_log_day, day);
  copy_text(s_fs_log_name, name);
  publish_open_path(path);
  s_fs_sweep_pending.store(1, std::memory_order_relaxed);
  return true;
}

bool accept_log_name(const char* name) noexcept {
  log_file_entry e;
  return fs_parse_log_name(name, &e);
}

// The log files of the directory, oldest first (none when the directory
// cannot be read); false when memory for the listing is short.
bool fs_list_logs(std::vector<log_file_entry>* out) noexcept {
  try {
    std::vector<os::dir_entry> found;
    found.reserve(64);
    if (!os::list_files(s_fs_dir, ".jsonl", MAX_LISTED, accept_log_name, &found)) {
      out->clear();
      return true;
    }
    out->clear();
    out->reserve(found.size());
    for (const os::dir_entry& d : found) {
      log_file_entry e;
      if (!fs_parse_log_name(d.name.c_str(), &e)) continue;
      e.size = d.size;
      out->push_back(e);
    }
    // Sorted through plain pointers: vector iterators would make the assertion
    // build instantiate a GNU-unique comparison object that the library exports.
    log_file_entry* first = out->data();
    std::sort(first, first + out->size(), [](const log_file_entry& a, const log_file_entry& b) {
      int c = std::strcmp(a.day, b.day);
      return c != 0 ? c < 0 : a.part < b.part;
    });
    return true;
  } catch (...) {
    out->clear();
    return false;
  }
}

// The part a new day's records go to: its highest part, or the next one
// when that part has reached the size limit.
int32_t choose_part(const char* day) noexcept {
  std::vector<log_file_entry> files;
  int32_t part = 1;
  uint64_t size = 0;
  if (fs_list_logs(&files)) {
    for (const log_file_entry& e : files) {
      if (std::strcmp(e.day, day) == 0 && e.part >= part) {
        part = e.part;
        size = e.size;
      }
    }
  }
  int64_t limit = part_limit_bytes();
  if (limit > 0 && size >= static_cast<uint64_t>(limit)) part += 1;
  return part;
}

// The calendar texts of the latest second seen. A drain meets the same
// second thousands of times at a high message rate, so the calendar lookups
// and their formatting run once per second of records rather than once per
// record. Kept for one drain only: a time zone change between drains is seen
// exactly as before.
struct time_cache {
  bool utc_valid = false;
  int64_t utc_second = 0;
  bool utc_failed = false;
  char utc_prefix[64] = {};  // "YYYY-MM-DDTHH:MM:SS."
  size_t utc_prefix_len = 0;
  bool day_valid = false;
  int64_t day_second = 0;
  char day[11] = {};
};

const char* cached_local_day(time_cache* tc, int64_t ms) noexcept {
  int64_t second = ms / 1000;
  if (!tc->day_valid || tc->day_second != second) {
    fs_local_day(ms, tc->day);
    tc->day_second = second;
    tc->day_valid = true;
  }
  return tc->day;
}

// Appends "YYYY-MM-DDTHH:MM:SS.mmmZ" (UTC; milliseconds below zero show as 0).
void append_time_text(time_cache* tc, int64_t ts_ms, std::string* out) {
  int64_t second = ts_ms / 1000;
  if (!tc->utc_valid || tc->utc_second != second) {
    os::calendar c{};
    tc->utc_failed = !os::utc_calendar(second, &c);
    if (!tc->utc_failed) {
      int n = std::snprintf(tc->utc_prefix, sizeof tc->utc_prefix, "%04d-%02d-%02dT%02d:%02d:%02d.",
                            c.year, c.month, c.day, c.hour, c.minute, c.second);
      tc->utc_prefix_len = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof tc->utc_prefix - 1);
    }
    tc->utc_second = second;
    tc->utc_valid = true;
  }
  if (tc->utc_failed) {
    out->append("1970-01-01T00:00:00.000Z");
    return;
  }
  int64_t ms = ts_ms - 1000 * second;
  if (ms < 0) ms = 0;
  char tail[5] = {static_cast<char>('0' + ms / 100), static_cast<char>('0' + ms / 10 % 10),
                  static_cast<char>('0' + ms % 10), 'Z', 0};
  out->append(tc->utc_prefix, tc->utc_prefix_len);
  out->append(tail, 4);
}

void append_base64(const uint8_t* bytes, size_t len, std::string* out) {
  size_t at = out->size();
  size_t text_len = 4 * ((len + 2) / 3);
  out->resize(at + text_len + 1);
  bv_base64_encode(bytes, len, out->data() + at, text_len + 1);
  out->resize(at + text_len);
}

void append_int(int64_t v, std::string* out) {
  char digits[24];
  auto res = std::to_chars(digits, digits + sizeof digits, v);
  out->append(digits, static_cast<size_t>(res.ptr - digits));
}

// Appends ,"key":"text" or, when the text is not UTF-8, ,"key_b64":"...".
void append_text_field(const char* key, const char* key_b64, const char* text, size_t len,
                       std::string* out) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  size_t mark = out->size();
  out->append(",\"").append(key).append("\":\"");
  if (append_json_text(out, bytes, len)) {
    out->push_back('"');
    return;
  }
  out->resize(mark);
  out->append(",\"").append(key_b64).append("\":\"");
  append_base64(bytes, len, out);
  out->push_back('"');
}

// The line of one record, in the order and escaping the JSON writer used:
// ts_ms, time, topic, enc, payload, qos, retain, client; with the line feed
// when the drain asks for it.
bool format_line(const log_record& r, time_cache* tc, bool line_feed, std::string* out) noexcept {
  try {
    out->append("{\"ts_ms\":");
    append_int(r.ts_ms, out);
    out->append(",\"time\":\"");
    append_time_text(tc, r.ts_ms, out);
    out->push_back('"');
    append_text_field("topic", "topic_b64", r.topic, r.topic_len, out);

    static constexpr uint8_t EMPTY[1] = {0};
    const uint8_t* payload = r.payload_len > 0 ? r.payload : EMPTY;
    size_t mark = out->size();
    out->append(",\"enc\":\"utf8\",\"payload\":\"");
    if (!append_json_text(out, payload, r.payload_len)) {
      out->resize(mark);
      out->append(",\"enc\":\"base64\",\"payload\":\"");
      append_base64(payload, r.payload_len, out);
    }
    out->append("\",\"qos\":");
    append_int(r.qos, out);
    out->append(r.retain != 0 ? ",\"retain\":true" : ",\"retain\":false");
    append_text_field("client", "client_b64", r.client, r.client_len, out);
    out->append(line_feed ? "}\n" : "}");
    return true;
  } catch (...) {
    return false;
  }
}

// Counts of one drain.
struct drain_result {
  int64_t written = 0;
  int64_t lost = 0;
  int64_t unflushed = 0;  // lines in the stream's buffer since the last flush
  bool failed = false;
};

// Closes the open file within a drain: lines still buffered when the flush
// fails never reached the file and are counted as lost, not written.
void close_in_drain(drain_result* d) noexcept {
  if (s_fs_log_fp != nullptr && !close_log()) {
    d->written -= d->unflushed;
    d->lost += d->unflushed;
    d->failed = true;
  }
  d->unflushed = 0;
}

void lose_record(drain_result* d) noexcept {
  d->lost += 1;
  d->failed = true;
  close_in_drain(d);
}

void drain_one(const log_record& r, time_cache* tc, std::string* line, drain_result* d) noexcept {
  const char* day = cached_local_day(tc, r.ts_ms);
  if (s_fs_log_fp == nullptr || std::strcmp(day, s_fs_log_day) != 0) {
    close_in_drain(d);
    if (!fs_log_open_part(day, choose_part(day))) {
      lose_record(d);
      return;
    }
  }
  line->clear();
  if (!format_line(r, tc, true, line)) {
    lose_record(d);
    return;
  }
  int64_t limit = part_limit_bytes();
  auto len = static_cast<int64_t>(line->size()) - 1;  // without the line feed
  if (limit > 0 && s_fs_log_bytes > 0 && s_fs_log_bytes + len >= limit) {
    // A record never splits a part it would be the first line of, so one
    // larger than the limit still goes, alone, into a fresh part.
    char open_day[40];
    copy_text(open_day, s_fs_log_day);
    int32_t next = s_fs_log_part + 1;
    close_in_drain(d);
    if (!fs_log_open_part(open_day, next)) {
      lose_record(d);
      return;
    }
  }
  // The line and its line feed in one call: the stream takes both or the
  // record is lost, as before when they went separately.
  if (os::write_all(s_fs_log_fp, line->data(), line->size())) {
    s_fs_log_bytes += len + 1;
    d->written += 1;
    d->unflushed += 1;
  } else {
    lose_record(d);
  }
}

}  // namespace

void fs_local_day(int64_t ms, char (&out)[11]) noexcept {
  os::calendar c{};
  if (!os::local_calendar(ms / 1000, &c) || c.year < 0 || c.year > 9999) {
    copy_text(out, "1970-01-01");
    return;
  }
  (void)std::snprintf(out, sizeof out, "%04d-%02d-%02d", c.year, c.month, c.day);
}

bool fs_log_line(const log_record& r, std::string* out) noexcept {
  time_cache tc;
  return format_line(r, &tc, false, out);
}

bool fs_parse_log_name(const char* name, log_file_entry* out) noexcept {
  size_t len = std::strlen(name);
  if (len < 16 || len > 47) return false;
  for (size_t i = 0; i < 10; ++i) {
    bool hyphen = i == 4 || i == 7;
    if (hyphen ? name[i] != '-' : (name[i] < '0' || name[i] > '9')) return false;
  }
  if (std::strcmp(name + len - 6, ".jsonl") != 0) return false;
  int32_t part = 1;
  if (len != 16) {
    // "YYYY-MM-DD." then one to six digits forming a number above 1
    size_t digits = len - 16 - 1;
    if (name[10] != '.' || digits < 1 || digits > 6) return false;
    int32_t n = 0;
    for (size_t i = 11; i < 11 + digits; ++i) {
      if (name[i] < '0' || name[i] > '9') return false;
      n = n * 10 + (name[i] - '0');
    }
    if (n <= 1) return false;
    part = n;
  }
  copy_text(out->name, name);
  copy_text(out->day, name, 10);
  out->part = part;
  out->size = 0;
  return true;
}

void fs_log_drain() noexcept {
  log_chunk* list = fs_log_take_all();
  if (list == nullptr) return;
  drain_result d;
  time_cache tc;
  std::string line;
  log_cursor cursor(list);
  log_record r;
  while (cursor.next(&r)) drain_one(r, &tc, &line, &d);
  fs_log_free_list(list);
  if (s_fs_log_fp != nullptr && !os::flush_file(s_fs_log_fp)) {
    // The lines of this drain did not reach the file: lost, not written.
    d.written -= d.unflushed;
    d.lost += d.unflushed;
    d.failed = true;
    close_log();
  }
  {
    lock_guard lock(s_fs_qmutex);
    s_fs_log_written += d.written;
    s_fs_log_dropped += d.lost;
    if (d.failed) s_fs_write_errors += 1;
  }
  if (d.failed) fs_set_warning("storage: daily log write failed (%s); messages dropped", s_fs_dir);
}

void fs_log_close() noexcept { close_log(); }

void fs_log_current_path(char* out, size_t size) noexcept { copy_text(out, size, s_fs_log_path); }

void fs_retention_sweep() noexcept {
  s_fs_sweep_pending.store(0, std::memory_order_relaxed);
  int64_t now = fs_now_ms();
  s_fs_last_sweep_ms.store(now, std::memory_order_relaxed);
  if (s_fs_usable.load(std::memory_order_relaxed) == 0) return;
  std::vector<log_file_entry> files;
  if (!fs_list_logs(&files)) return;  // no room for the listing: counters kept

  uint64_t total = 0;
  for (const log_file_entry& e : files) total += e.size;
  int32_t days = s_fs_ret_days.load(std::memory_order_relaxed);
  char cutoff[11] = {};
  if (days > 0) {
    int64_t span = static_cast<int64_t>(days) * DAY_MS;
    fs_local_day(fs_elapsed_ms(span, now), cutoff);
  }
  int32_t max_total_mb = s_fs_max_total_mb.load(std::memory_order_relaxed);
  uint64_t max_total = max_total_mb > 0 ? static_cast<uint64_t>(max_total_mb) * MIB : 0;

  int64_t deleted = 0;
  for (const log_file_entry& e : files) {
    if (s_fs_log_fp != nullptr && std::strcmp(e.name, s_fs_log_name) == 0) continue;
    bool too_old = days > 0 && std::strcmp(e.day, cutoff) < 0;
    bool over_total = max_total > 0 && total > max_total;
    if (!too_old && !over_total) continue;
    char path[PATH_SIZE];
    fs_join(path, sizeof path, e.name);
    os::remove_file(path);  // a file that stays is found again by the next sweep
    total -= e.size;
    deleted += 1;
  }
  lock_guard lock(s_fs_qmutex);
  s_fs_log_files = static_cast<int64_t>(files.size()) - deleted;
  s_fs_log_total_bytes = static_cast<int64_t>(total);
  s_fs_log_deleted += deleted;
}

}  // namespace bvm
