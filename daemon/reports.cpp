// Reading the library's JSON reports (RapidJSON, DOM) and the lines printed
// from them.
//
// The reports are the library's own output, but the program still checks
// every member's presence and type: RapidJSON's accessors assert (or, with
// assertions off, misbehave) on a value of the wrong type.
#include "reports.h"

#include <mutex>

#include <rapidjson/document.h>

#include "brelvane_mqtt.h"
#include "render.h"

namespace bvm::mqttd {
namespace {

std::mutex& report_lock() {
  static std::mutex lock;
  return lock;
}

template <typename F>
std::string copy_report(F&& call) {
  std::lock_guard lock(report_lock());
  const char* text = call();
  return text == nullptr ? std::string() : std::string(text);
}

bool parse_document(const char* text, rapidjson::Document& doc) {
  if (text == nullptr) return false;
  // No encoding validation: the renderer handles any bytes, and one odd
  // string must not hide the rest of a report.
  doc.Parse(text);
  return !doc.HasParseError();
}

bool get(const rapidjson::Value& obj, const char* name, int64_t* out) {
  auto it = obj.FindMember(name);
  if (it == obj.MemberEnd() || !it->value.IsInt64()) return false;
  *out = it->value.GetInt64();
  return true;
}

bool get(const rapidjson::Value& obj, const char* name, bool* out) {
  auto it = obj.FindMember(name);
  if (it == obj.MemberEnd() || !it->value.IsBool()) return false;
  *out = it->value.GetBool();
  return true;
}

bool get(const rapidjson::Value& obj, const char* name, std::string* out) {
  auto it = obj.FindMember(name);
  if (it == obj.MemberEnd() || !it->value.IsString()) return false;
  // With the length: a "\u0000" escape would otherwise end the text early.
  out->assign(it->value.GetString(), it->value.GetStringLength());
  return true;
}

// "1 client", "3 clients".
std::string count_of(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string stats_report() { return copy_report(mqtt_get_stats_json); }
std::string topics_report() { return copy_report(mqtt_get_topics_json); }
std::string storage_report() { return copy_report(mqtt_get_storage_status_json); }
std::string messages_report(int limit) {
  return copy_report([limit] { return mqtt_poll_messages_json(limit); });
}

bool parse_stats(const char* text, broker_stats* out) {
  rapidjson::Document doc;
  if (!parse_document(text, doc) || !doc.IsObject()) return false;
  return get(doc, "active_clients", &out->active_clients) &&
         get(doc, "total_published", &out->total_published) &&
         get(doc, "total_received", &out->total_received) && get(doc, "bytes_in", &out->bytes_in) &&
         get(doc, "bytes_out", &out->bytes_out) &&
         get(doc, "retained_count", &out->retained_count) && get(doc, "sessions", &out->sessions) &&
         get(doc, "session_queued", &out->session_queued) &&
         get(doc, "session_dropped", &out->session_dropped);
}

bool parse_storage_status(const char* text, storage_status* out) {
  rapidjson::Document doc;
  if (!parse_document(text, doc) || !doc.IsObject()) return false;
  return get(doc, "dir", &out->dir) && get(doc, "active", &out->active) &&
         get(doc, "persistence", &out->persistence) && get(doc, "log", &out->log) &&
         get(doc, "log_dropped", &out->log_dropped) && get(doc, "snapshots", &out->snapshots) &&
         get(doc, "write_errors", &out->write_errors) &&
         get(doc, "loaded_retained", &out->loaded_retained) &&
         get(doc, "loaded_sessions", &out->loaded_sessions) && get(doc, "warning", &out->warning);
}

bool parse_messages(const char* text, std::vector<history_message>* out) {
  rapidjson::Document doc;
  if (!parse_document(text, doc) || !doc.IsArray()) return false;
  out->clear();
  out->reserve(doc.Size());
  for (const rapidjson::Value& entry : doc.GetArray()) {
    if (!entry.IsObject()) return false;
    history_message m;
    if (!get(entry, "id", &m.id) || !get(entry, "topic", &m.topic) ||
        !get(entry, "payload", &m.payload) || !get(entry, "qos", &m.qos) ||
        !get(entry, "retain", &m.retain) || !get(entry, "client_id", &m.client_id) ||
        !get(entry, "timestamp", &m.timestamp)) {
      return false;
    }
    out->push_back(std::move(m));
  }
  return true;
}

std::string status_line(int64_t now_unix, const broker_stats& before, const broker_stats& after,
                        double seconds) {
  if (!(seconds > 0)) seconds = 1;
  const auto rate = [&](int64_t from, int64_t to) {
    // A counter never goes down; if it did, show nothing rather than a
    // negative rate.
    return to > from ? static_cast<double>(to - from) / seconds : 0.0;
  };
  const double messages_in = rate(before.total_received + before.total_published,
                                  after.total_received + after.total_published);
  std::string line = format_clock(now_unix) + " " +
                     count_of(after.active_clients, "client", "clients") + ", in " +
                     format_message_rate(messages_in) + " (" +
                     format_byte_rate(rate(before.bytes_in, after.bytes_in)) + "), out " +
                     format_byte_rate(rate(before.bytes_out, after.bytes_out)) + ", " +
                     std::to_string(after.retained_count) + " retained, " +
                     count_of(after.sessions, "session", "sessions") + " (" +
                     std::to_string(after.session_queued) + " queued";
  if (after.session_dropped > 0) {
    line += ", " + std::to_string(after.session_dropped) + " dropped";
  }
  line += ")";
  return line;
}

std::string watch_line(const history_message& m) {
  std::string line = format_clock(m.timestamp) + " [" +
                     (m.client_id.empty() ? std::string("(no id)") : render_label(m.client_id)) +
                     "] " + render_label(m.topic) + " (qos " + std::to_string(m.qos) +
                     (m.retain ? ", retained): " : "): ") + render_payload(m.payload);
  return line;
}

std::string gap_line(int64_t missed) {
  return "(" + count_of(missed, "message", "messages") + " not shown)";
}

}  // namespace bvm::mqttd
