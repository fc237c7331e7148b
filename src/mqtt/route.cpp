#include "mqtt/route.h"

#include "inspect/history.h"
#include "mqtt/codec.h"
#include "mqtt/retained.h"
#include "mqtt/subscription.h"
#include "mqtt/topic.h"
#include "net/client.h"
#include "session/session.h"

namespace bvm {
namespace {

subscription* first_match(subscription* list, const char* topic) noexcept {
  for (subscription* s = list; s != nullptr; s = s->next) {
    if (mqtt_topic_matches(s->filter, topic) != 0) return s;
  }
  return nullptr;
}

}  // namespace

void route_message(const char* topic, const uint8_t* payload, size_t payload_len, int qos,
                   bool retain, bool retain_to_subscribers, const char* origin) noexcept {
  log_message(topic, payload, payload_len, qos, retain ? 1 : 0, origin);
  if (retain) set_retained_message(topic, payload, payload_len, qos);
  dispatch_to_subscribers(topic, payload, payload_len, qos, retain_to_subscribers ? 1 : 0);
}

void dispatch_to_subscribers(const char* topic, const uint8_t* payload, size_t payload_len, int qos,
                             int retain) noexcept {
  for (mqtt_client* c = s_clients; c != nullptr; c = c->next) {
    bool live = c->live();
    if (!live && c->session == nullptr) continue;
    subscription* sub = first_match(c->subs, topic);
    if (sub == nullptr) continue;
    int effective = qos < sub->qos ? qos : sub->qos;
    uint16_t pid = 0;
    if (effective > 0) {
      // Drawn even for a client that is going away, so identifiers follow
      // the same sequence whatever the clients' state.
      pid = next_packet_id();
      if (c->session != nullptr) {
        session_enqueue(c->session, topic, payload, payload_len, retain, live ? pid : 0);
      }
    }
    if (!live) continue;
    byte_buf packet;
    if (!build_publish_packet(topic, payload, payload_len, effective, static_cast<uint8_t>(retain),
                              pid, c->protocol_level, &packet)) {
      continue;
    }
    client_send_packet(c, packet.data(), packet.size());
  }
  for (mqtt_session* s = s_sessions; s != nullptr; s = s->next) {
    if (s->owner != nullptr) continue;  // served through its client above
    subscription* sub = first_match(s->subs, topic);
    if (sub == nullptr) continue;
    int effective = qos < sub->qos ? qos : sub->qos;
    if (effective > 0) session_enqueue(s, topic, payload, payload_len, retain, 0);
  }
}

}  // namespace bvm
