// The Prometheus text exposition of the stats and storage-status reports.
//
// Names follow the usual conventions: a brelvane_ prefix, base units (bytes,
// seconds) with the unit in the name, _total on counters. Counters are the
// library's lifetime counters, which never go down while it is loaded, not
// even across a stop and a start. The texts (version, storage folder, log
// file) travel as label values of "info" series, escaped as the format asks.
#include "metrics.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <iterator>

#include <rapidjson/document.h>

namespace bvm::mqttd {
namespace {

enum class kind { counter, gauge };

// One figure of a report: its key, its metric name and help, and the factor
// that brings it to base units.
struct figure {
  const char* key;
  const char* name;
  kind type;
  const char* help;
  int64_t scale = 1;
};

constexpr int64_t SECONDS_PER_DAY = 86400;
constexpr int64_t BYTES_PER_MIB = 1024 * 1024;

constexpr figure STATS_FIGURES[] = {
    {"active_clients", "brelvane_clients_connected", kind::gauge,
     "MQTT clients connected now (over TCP and WebSocket)."},
    {"total_received", "brelvane_messages_received_total", kind::counter,
     "PUBLISH packets received from clients."},
    {"total_published", "brelvane_messages_published_by_host_total", kind::counter,
     "Messages the host program published into the broker."},
    {"bytes_in", "brelvane_network_received_bytes_total", kind::counter,
     "Bytes received from clients."},
    {"bytes_out", "brelvane_network_sent_bytes_total", kind::counter, "Bytes sent to clients."},
    {"uptime_seconds", "brelvane_uptime_seconds", kind::gauge,
     "Seconds since the broker started; 0 while it is stopped."},
    {"retained_count", "brelvane_retained_messages", kind::gauge, "Retained messages stored."},
    {"sessions", "brelvane_sessions", kind::gauge, "Persistent sessions stored."},
    {"session_queued", "brelvane_session_queued_messages", kind::gauge,
     "Messages waiting in the queues of persistent sessions."},
    {"session_dropped", "brelvane_session_dropped_messages_total", kind::counter,
     "Messages dropped because a persistent session's queue was full."},
};

constexpr figure STORAGE_FIGURES[] = {
    {"active", "brelvane_storage_active", kind::gauge,
     "1 while storage is active (its writer thread runs), else 0."},
    {"persistence", "brelvane_storage_persistence_enabled", kind::gauge,
     "1 when snapshots of retained messages and sessions are configured."},
    {"log", "brelvane_storage_log_enabled", kind::gauge,
     "1 when the daily message log is configured."},
    {"log_written", "brelvane_storage_log_records_written_total", kind::counter,
     "Records written to the message log."},
    {"log_dropped", "brelvane_storage_log_records_dropped_total", kind::counter,
     "Log records refused by a full queue or lost by a failed write."},
    {"log_queue", "brelvane_storage_log_queue_records", kind::gauge,
     "Log records waiting to be written."},
    {"snapshots", "brelvane_storage_snapshots_total", kind::counter, "Completed snapshot passes."},
    {"write_errors", "brelvane_storage_write_errors_total", kind::counter,
     "Failed log drains and failed snapshot passes."},
    {"loaded_retained", "brelvane_storage_loaded_retained_messages", kind::gauge,
     "Retained messages loaded from the snapshot at the latest start."},
    {"loaded_sessions", "brelvane_storage_loaded_sessions", kind::gauge,
     "Sessions loaded from the snapshot at the latest start."},
    {"log_files", "brelvane_storage_log_files", kind::gauge,
     "Log files present after the latest retention sweep."},
    {"log_bytes", "brelvane_storage_log_size_bytes", kind::gauge,
     "Total size of the log files after the latest retention sweep."},
    {"log_deleted", "brelvane_storage_log_files_deleted_total", kind::counter,
     "Log files deleted by retention sweeps."},
    {"retention_days", "brelvane_storage_log_retention_seconds", kind::gauge,
     "Age after which log files are deleted; 0 for no limit.", SECONDS_PER_DAY},
    {"max_total_mb", "brelvane_storage_log_max_total_bytes", kind::gauge,
     "Total size above which the oldest log files are deleted; 0 for no limit.", BYTES_PER_MIB},
    {"max_file_mb", "brelvane_storage_log_max_file_bytes", kind::gauge,
     "Size at which a day's log continues in a new part; 0 for no limit.", BYTES_PER_MIB},
};

// A number of the report as an integer: booleans as 0 and 1.
bool number_of(const rapidjson::Value& obj, const char* key, int64_t* out) {
  auto it = obj.FindMember(key);
  if (it == obj.MemberEnd()) return false;
  if (it->value.IsBool()) {
    *out = it->value.GetBool() ? 1 : 0;
    return true;
  }
  if (!it->value.IsInt64()) return false;
  *out = it->value.GetInt64();
  return true;
}

bool text_of(const rapidjson::Value& obj, const char* key, std::string* out) {
  auto it = obj.FindMember(key);
  if (it == obj.MemberEnd() || !it->value.IsString()) return false;
  out->assign(it->value.GetString(), it->value.GetStringLength());
  return true;
}

bool parse_object(const std::string& text, rapidjson::Document& doc) {
  doc.Parse(text.c_str(), text.size());
  return !doc.HasParseError() && doc.IsObject();
}

// A label value: backslash, double quote and line feed are the characters
// the text format escapes.
std::string label_value(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (char ch : text) {
    if (ch == '\\') {
      out += "\\\\";
    } else if (ch == '"') {
      out += "\\\"";
    } else if (ch == '\n') {
      out += "\\n";
    } else {
      out += ch;
    }
  }
  out += '"';
  return out;
}

void header(std::string& out, const char* name, kind type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += type == kind::counter ? " counter\n" : " gauge\n";
}

void sample(std::string& out, const char* name, const std::string& labels, const char* value) {
  out += name;
  out += labels;
  out += ' ';
  out += value;
  out += '\n';
}

void sample(std::string& out, const char* name, const std::string& labels, int64_t value) {
  sample(out, name, labels, std::to_string(value).c_str());
}

// Every figure of the table, or none: a report without one of them is not
// the report this program knows.
bool render_figures(const rapidjson::Value& report, const figure* first, const figure* last,
                    std::string& out) {
  std::string part;
  for (const figure* f = first; f != last; ++f) {
    int64_t value = 0;
    if (!number_of(report, f->key, &value)) return false;
    header(part, f->name, f->type, f->help);
    sample(part, f->name, {}, value * f->scale);
  }
  out += part;
  return true;
}

bool render_stats(const rapidjson::Document& stats, const std::string& version, std::string& out) {
  std::string status;
  int64_t tcp_port = 0;
  int64_t ws_port = 0;
  if (!text_of(stats, "status", &status) || !number_of(stats, "tcp_port", &tcp_port) ||
      !number_of(stats, "ws_port", &ws_port)) {
    return false;
  }
  std::string part;
  header(part, "brelvane_build_info", kind::gauge, "The library version, as a label; always 1.");
  sample(part, "brelvane_build_info", "{version=" + label_value(version) + "}", 1);
  header(part, "brelvane_broker_running", kind::gauge, "1 while the broker runs, else 0.");
  sample(part, "brelvane_broker_running", {}, status == "running" ? 1 : 0);
  header(part, "brelvane_listener_port", kind::gauge,
         "Port of each MQTT listener as last started; 0 for none.");
  sample(part, "brelvane_listener_port", "{transport=\"tcp\"}", tcp_port);
  sample(part, "brelvane_listener_port", "{transport=\"websocket\"}", ws_port);
  if (!render_figures(stats, std::begin(STATS_FIGURES), std::end(STATS_FIGURES), part)) {
    return false;
  }
  out += part;
  return true;
}

bool render_storage(const rapidjson::Document& storage, std::string& out) {
  std::string dir;
  std::string log_file;
  std::string warning;
  int64_t last_snapshot_ms = 0;
  if (!text_of(storage, "dir", &dir) || !text_of(storage, "log_file", &log_file) ||
      !text_of(storage, "warning", &warning) ||
      !number_of(storage, "last_snapshot_ms", &last_snapshot_ms)) {
    return false;
  }
  std::string part;
  header(part, "brelvane_storage_info", kind::gauge,
         "The storage folder and the open log file (empty when none), as labels; always 1.");
  sample(part, "brelvane_storage_info",
         "{dir=" + label_value(dir) + ",log_file=" + label_value(log_file) + "}", 1);
  if (!render_figures(storage, std::begin(STORAGE_FIGURES), std::end(STORAGE_FIGURES), part)) {
    return false;
  }
  header(part, "brelvane_storage_last_snapshot_timestamp_seconds", kind::gauge,
         "Storage-clock time of the latest completed snapshot pass; 0 for none since the start.");
  char seconds[32];
  (void)std::snprintf(seconds, sizeof seconds, "%.3f",
                      static_cast<double>(last_snapshot_ms) / 1000.0);
  sample(part, "brelvane_storage_last_snapshot_timestamp_seconds", {}, seconds);
  header(part, "brelvane_storage_warning_present", kind::gauge,
         "1 while the storage status holds a warning (see /api/storage), else 0.");
  sample(part, "brelvane_storage_warning_present", {}, warning.empty() ? 0 : 1);
  out += part;
  return true;
}

}  // namespace

bool render_metrics(const std::string& stats_json, const std::string& storage_json,
                    const std::string& version, std::string* out) {
  rapidjson::Document stats;
  out->clear();
  if (!parse_object(stats_json, stats) || !render_stats(stats, version, *out)) return false;
  rapidjson::Document storage;
  if (parse_object(storage_json, storage)) (void)render_storage(storage, *out);
  return true;
}

}  // namespace bvm::mqttd
