// The library's JSON reports as the program reads them, and the lines it
// prints from them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bvm::mqttd {

// Copies of the library's report texts. Each report call replaces the text
// the previous call returned, and the program reads reports from its main
// loop and from the HTTP server's threads, so every call goes through one
// lock and hands out a copy.
std::string stats_report();
std::string topics_report();
std::string messages_report(int limit);
std::string storage_report();

// From mqtt_get_stats_json. The counters only grow while the library is
// loaded, so two samples give rates.
struct broker_stats {
  int64_t active_clients = 0;
  int64_t total_published = 0;  // by the host (here: nobody but the broker itself)
  int64_t total_received = 0;   // PUBLISH packets from clients
  int64_t bytes_in = 0;
  int64_t bytes_out = 0;
  int64_t retained_count = 0;
  int64_t sessions = 0;
  int64_t session_queued = 0;
  int64_t session_dropped = 0;
};

// From mqtt_get_storage_status_json.
struct storage_status {
  std::string dir;
  bool active = false;
  bool persistence = false;
  bool log = false;
  int64_t log_dropped = 0;
  int64_t snapshots = 0;
  int64_t write_errors = 0;
  int64_t loaded_retained = 0;
  int64_t loaded_sessions = 0;
  std::string warning;
};

// One entry of mqtt_poll_messages_json. The texts are as the report gives
// them: payload cut at its first zero byte, bytes that were not UTF-8
// replaced by U+FFFD.
struct history_message {
  int64_t id = 0;
  std::string topic;
  std::string payload;
  int64_t qos = 0;
  bool retain = false;
  std::string client_id;
  int64_t timestamp = 0;
};

// Each returns false, leaving *out in an unspecified state, when the text is
// not the report it should be.
bool parse_stats(const char* text, broker_stats* out);
bool parse_storage_status(const char* text, storage_status* out);
bool parse_messages(const char* text, std::vector<history_message>* out);

// "14:03:10 3 clients, in 120 msg/s (4.1 KiB/s), out 35.0 KiB/s, 12 retained,
// 4 sessions (17 queued)", the rates between two samples taken `seconds`
// apart.
std::string status_line(int64_t now_unix, const broker_stats& before, const broker_stats& after,
                        double seconds);

// "14:03:07 [sensor-7] home/kitchen/temp (qos 1, retained): 21.5"
std::string watch_line(const history_message& m);

// "(N messages not shown)"
std::string gap_line(int64_t missed);

}  // namespace bvm::mqttd
