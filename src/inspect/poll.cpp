// mqtt_poll_messages_json: the newest history entries as JSON.
#include <cstring>
#include <string>

#include "base/no_destructor.h"
#include "brelvane_mqtt.h"
#include "inspect/history.h"
#include "inspect/report_text.h"
#include "storage/json.h"

namespace bvm {
namespace {

// The text returned by the last poll; replaced by the next one.
std::string& poll_text() {
  static no_destructor<std::string> text;
  return *text;
}

bool build_poll(int limit, std::string* out) REQUIRES(s_mutex) {
  rapidjson::StringBuffer sb;
  json_writer w(sb);
  int32_t skip = 0;
  int32_t count = s_log_count;
  if (limit > 0 && limit < s_log_count) {
    skip = s_log_count - limit;
    count = limit;
  }
  w.StartArray();
  for (int32_t i = 0; i < count; ++i) {
    const history_entry& e = history_at(skip + i);
    w.StartObject();
    w.Key("id");
    w.Int64(e.id);
    w.Key("topic");
    write_report_text(w, e.topic);
    w.Key("payload");
    write_report_text(w, e.payload_copied ? reinterpret_cast<const char*>(e.payload.data()) : "");
    w.Key("qos");
    w.Int(e.qos);
    w.Key("retain");
    w.Bool(e.retain != 0);
    w.Key("client_id");
    write_report_text(w, e.client_id);
    w.Key("timestamp");
    w.Int64(e.timestamp);
    w.EndObject();
  }
  w.EndArray();
  if (!w.IsComplete()) return false;
  out->assign(sb.GetString(), sb.GetSize());
  return true;
}

}  // namespace
}  // namespace bvm

extern "C" BV_EXPORT const char* mqtt_poll_messages_json(int limit) {
  using namespace bvm;
  lock_guard lock(s_mutex);
  std::string& text = poll_text();
  try {
    if (build_poll(limit, &text)) return text.c_str();
  } catch (...) {
    // Out of memory: the constant below.
  }
  text.clear();
  text.shrink_to_fit();
  return "[]";
}
