// The message watch, the status line and the storage monitor.
#include "monitor.h"

#include <ctime>
#include <filesystem>
#include <system_error>

namespace bvm::mqttd {
namespace {

// A first look at the history asks for only this many entries; the whole
// window (500) only when they do not reach back to the last one printed.
constexpr int WATCH_FIRST_LIMIT = 64;

constexpr auto WARNING_REPEAT = std::chrono::seconds(60);
constexpr auto DROPPED_REPEAT = std::chrono::seconds(10);

int64_t unix_now() { return static_cast<int64_t>(std::time(nullptr)); }

double seconds_between(steady_time from, steady_time to) {
  return std::chrono::duration<double>(to - from).count();
}

// The folder as the operator will look for it.
std::string absolute_dir(const std::string& dir) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::weakly_canonical(dir, ec);
  return ec ? dir : p.string();
}

const char* on_off(bool on) { return on ? "on" : "off"; }

}  // namespace

// ---- message_watch ----------------------------------------------------------

bool message_watch::read(int limit) {
  if (parse_messages(messages_report(limit).c_str(), &entries_)) return true;
  if (!failure_reported_) {
    failure_reported_ = true;
    print(stderr, "%s: warning: the broker's message report could not be read\n", PROGRAM);
  }
  return false;
}

void message_watch::poll(std::FILE* out) {
  if (!read(WATCH_FIRST_LIMIT)) return;
  if (entries_.size() == static_cast<size_t>(WATCH_FIRST_LIMIT) &&
      entries_.front().id > last_id_ + 1 && !read(0)) {
    return;
  }
  for (const history_message& m : entries_) {
    if (m.id <= last_id_) continue;
    // Ids are consecutive; a jump means the entries between were
    // overwritten before this look.
    if (m.id > last_id_ + 1) print(out, "%s\n", gap_line(m.id - last_id_ - 1).c_str());
    print(out, "%s\n", watch_line(m).c_str());
    last_id_ = m.id;
  }
}

// ---- status_reporter --------------------------------------------------------

status_reporter::status_reporter(int interval_s, steady_time now)
    : interval_(interval_s), last_time_(now), next_time_(now + interval_) {
  have_last_ = parse_stats(stats_report().c_str(), &last_);
}

void status_reporter::tick(std::FILE* out, steady_time now) {
  if (now < next_time_) return;
  // The next line is due one interval after this one was due, so the lines
  // keep their rhythm however late a tick comes; after a long stall
  // (a suspended process) the rhythm starts again from now.
  next_time_ += interval_;
  if (next_time_ <= now) next_time_ = now + interval_;

  broker_stats current;
  if (!parse_stats(stats_report().c_str(), &current)) return;
  if (have_last_) {
    print(out, "%s\n",
          status_line(unix_now(), last_, current, seconds_between(last_time_, now)).c_str());
  }
  last_ = current;
  last_time_ = now;
  have_last_ = true;
}

// ---- storage_monitor --------------------------------------------------------

bool storage_monitor::read() {
  if (parse_storage_status(storage_report().c_str(), &status_)) return true;
  if (!failure_reported_) {
    failure_reported_ = true;
    print(stderr, "%s: warning: the storage status report could not be read\n", PROGRAM);
  }
  return false;
}

void storage_monitor::warn(const std::string& text) {
  print(stderr, "%s: warning: %s\n", PROGRAM, text.c_str());
}

// The log queue refuses records when it is full and a failed write loses
// them; neither leaves a warning text of its own.
void storage_monitor::report_dropped() {
  print(stderr,
        "%s: warning: storage: %lld more messages left out of the daily log (%lld in all)\n",
        PROGRAM, static_cast<long long>(status_.log_dropped - dropped_shown_),
        static_cast<long long>(status_.log_dropped));
  dropped_shown_ = status_.log_dropped;
}

void storage_monitor::after_start(const options& opts, const std::string& start_warning,
                                  steady_time now) {
  storage_wanted_ = opts.storage;
  if (!storage_wanted_) {
    print(stdout, "%s: storage off\n", PROGRAM);
    return;
  }
  if (!read()) return;
  was_active_ = status_.active;
  // The start's warning is also the last error, which the caller printed.
  if (!status_.warning.empty() && status_.warning != start_warning) warn(status_.warning);
  shown_warning_ = status_.warning;
  errors_shown_ = status_.write_errors;
  warning_time_ = now;
  dropped_shown_ = status_.log_dropped;
  dropped_time_ = now - DROPPED_REPEAT;

  if (status_.active) {
    std::string loaded;
    if (status_.persistence) {
      loaded =
          "; loaded " + std::to_string(status_.loaded_retained) +
          (status_.loaded_retained == 1 ? " retained message and " : " retained messages and ") +
          std::to_string(status_.loaded_sessions) +
          (status_.loaded_sessions == 1 ? " session" : " sessions");
    }
    print(stdout, "%s: storage in '%s' (snapshots %s, message log %s)%s\n", PROGRAM,
          absolute_dir(status_.dir).c_str(), on_off(status_.persistence), on_off(status_.log),
          loaded.c_str());
  } else if (status_.warning.empty()) {
    print(stdout, "%s: storage off (--no-persistence without --log leaves nothing to store)\n",
          PROGRAM);
  }
}

void storage_monitor::tick(steady_time now) {
  if (!storage_wanted_ || !read()) return;
  if (status_.warning != shown_warning_) {
    if (!status_.warning.empty()) warn(status_.warning);
    shown_warning_ = status_.warning;
    errors_shown_ = status_.write_errors;
    warning_time_ = now;
  } else if (!status_.warning.empty() && status_.write_errors > errors_shown_ &&
             now - warning_time_ >= WARNING_REPEAT) {
    print(stderr, "%s: warning: %s (%lld more failed writes)\n", PROGRAM, status_.warning.c_str(),
          static_cast<long long>(status_.write_errors - errors_shown_));
    errors_shown_ = status_.write_errors;
    warning_time_ = now;
  }
  if (status_.log_dropped > dropped_shown_ && now - dropped_time_ >= DROPPED_REPEAT) {
    report_dropped();
    dropped_time_ = now;
  }
}

void storage_monitor::before_stop() {
  if (storage_wanted_) (void)read();
}

void storage_monitor::after_stop() {
  if (!storage_wanted_) return;
  const int64_t errors_before = status_.write_errors;
  const int64_t snapshots_before = status_.snapshots;
  if (!read()) return;
  if (status_.warning != shown_warning_ && !status_.warning.empty()) warn(status_.warning);
  if (status_.log_dropped > dropped_shown_) report_dropped();
  if (!was_active_ || !status_.persistence) return;
  // The stop ends with a forced snapshot pass, which counts only when both
  // files were written; a failed one counts as a write error.
  if (status_.snapshots > snapshots_before && status_.write_errors == errors_before) {
    print(stdout, "%s: state saved in '%s'\n", PROGRAM, absolute_dir(status_.dir).c_str());
  } else {
    print(stderr, "%s: warning: storage: the final snapshot could not be written to '%s'\n",
          PROGRAM, absolute_dir(status_.dir).c_str());
  }
}

}  // namespace bvm::mqttd
