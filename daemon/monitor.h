// What the main loop does between waits for a signal: the message watch,
// the status line and the storage warnings. Each keeps what it has already
// printed, so that it prints only what is new.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "options.h"
#include "reports.h"

namespace bvm::mqttd {

using steady_time = std::chrono::steady_clock::time_point;

// Prints every message of the broker's history that it has not printed yet,
// found by id (ids only grow). The history holds the newest 500 messages;
// when more arrived since the previous look, it says how many were missed.
class message_watch {
 public:
  void poll(std::FILE* out);

 private:
  bool read(int limit);

  int64_t last_id_ = 0;
  bool failure_reported_ = false;
  std::vector<history_message> entries_;
};

// The periodic status line, with rates between two samples of the counters.
class status_reporter {
 public:
  status_reporter(int interval_s, steady_time now);
  void tick(std::FILE* out, steady_time now);

 private:
  std::chrono::seconds interval_;
  steady_time last_time_;
  steady_time next_time_;
  broker_stats last_{};
  bool have_last_ = false;
};

// Storage warnings as they appear, and what storage does at start and stop.
// The library keeps only its latest warning text and counts failed writes,
// so a warning is printed when its text changes, and a failure that goes on
// with the same text is repeated at most once a minute with the count.
class storage_monitor {
 public:
  // start_warning: the last-error text the successful start left.
  void after_start(const options& opts, const std::string& start_warning, steady_time now);
  void tick(steady_time now);
  // Around mqtt_broker_stop: whether its final snapshot was written.
  void before_stop();
  void after_stop();

 private:
  bool read();
  void warn(const std::string& text);
  void report_dropped();

  storage_status status_{};
  bool storage_wanted_ = false;
  bool was_active_ = false;
  bool failure_reported_ = false;
  std::string shown_warning_;
  int64_t errors_shown_ = 0;  // write_errors when the warning was last printed
  steady_time warning_time_{};
  int64_t dropped_shown_ = 0;  // log_dropped when last reported
  steady_time dropped_time_{};
};

}  // namespace bvm::mqttd
