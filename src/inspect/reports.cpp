// The topics and statistics reports.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/no_destructor.h"
#include "brelvane_mqtt.h"
#include "inspect/history.h"
#include "inspect/report_text.h"
#include "mqtt/retained.h"
#include "net/client.h"
#include "os/clock.h"
#include "session/session.h"
#include "storage/json.h"

namespace bvm {
namespace {

std::string& topics_text() {
  static no_destructor<std::string> text;
  return *text;
}

char s_stats_json_buf[2048];

void write_topic_object(json_writer& w, const char* topic, bool retained, const char* payload,
                        int qos, int64_t updated) {
  w.StartObject();
  w.Key("topic");
  write_report_text(w, topic);
  w.Key("retained");
  w.Bool(retained);
  w.Key("payload");
  write_report_text(w, payload);
  w.Key("qos");
  w.Int(qos);
  w.Key("last_updated");
  w.Int64(updated);
  w.EndObject();
}

bool build_topics(std::string* out) REQUIRES(s_mutex) {
  rapidjson::StringBuffer sb;
  json_writer w(sb);
  w.StartArray();
  for (retained_message* m = s_retained; m != nullptr; m = m->next) {
    write_topic_object(w, m->topic, true, reinterpret_cast<const char*>(m->payload.data()), m->qos,
                       m->updated);
  }
  for (int32_t i = 0; i < s_log_count; ++i) {
    const history_entry& e = history_at(i);
    if (retained_find(e.topic) != nullptr) continue;
    write_topic_object(w, e.topic, false,
                       e.payload_copied ? reinterpret_cast<const char*>(e.payload.data()) : "",
                       e.qos, e.timestamp);
  }
  w.EndArray();
  if (!w.IsComplete()) return false;
  out->assign(sb.GetString(), sb.GetSize());
  return true;
}

}  // namespace
}  // namespace bvm

extern "C" BV_EXPORT const char* mqtt_get_topics_json(void) {
  using namespace bvm;
  lock_guard lock(s_mutex);
  std::string& text = topics_text();
  try {
    if (build_topics(&text)) return text.c_str();
  } catch (...) {
    // Out of memory: the constant below.
  }
  text.clear();
  text.shrink_to_fit();
  return "[]";
}

extern "C" BV_EXPORT const char* mqtt_get_stats_json(void) {
  using namespace bvm;
  lock_guard lock(s_mutex);
  int active = 0;
  for (mqtt_client* c = s_clients; c != nullptr; c = c->next) {
    if (c->live()) ++active;
  }
  bool running = broker_running();
  long long uptime = running ? static_cast<long long>(os::wall_seconds() - s_start_time) : 0;
  (void)std::snprintf(s_stats_json_buf, sizeof s_stats_json_buf,
                      "{\"status\":\"%s\",\"tcp_port\":%d,\"ws_port\":%d,\"active_clients\":%d,"
                      "\"total_published\":%lld,\"total_received\":%lld,\"bytes_in\":%lld,"
                      "\"bytes_out\":%lld,\"uptime_seconds\":%lld,\"retained_count\":%d,"
                      "\"sessions\":%d,\"session_queued\":%d,\"session_dropped\":%lld}",
                      running ? "running" : "stopped", s_tcp_port, s_ws_port, active,
                      static_cast<long long>(s_total_published),
                      static_cast<long long>(s_total_received), static_cast<long long>(s_bytes_in),
                      static_cast<long long>(s_bytes_out), uptime, retained_count(),
                      s_session_count, session_queued_total(),
                      static_cast<long long>(s_session_dropped));
  return s_stats_json_buf;
}
