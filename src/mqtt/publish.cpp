// PUBLISH, PUBACK, PUBREL, PINGREQ and DISCONNECT from clients, and the
// host's mqtt_publish.
#include <cstring>

#include "base/text.h"
#include "brelvane_mqtt.h"
#include "broker/last_error.h"
#include "mqtt/handlers.h"
#include "mqtt/route.h"
#include "net/client.h"
#include "session/session.h"
#include "storage/storage.h"

namespace bvm {

void send_reply(mqtt_client* c, const uint8_t* bytes, size_t len) noexcept {
  client_send_packet(c, bytes, len);
}

int handle_publish(mqtt_client* c, uint8_t byte0, packet_reader r) noexcept {
  s_total_received += 1;
  int qos = (byte0 >> 1) & 3;
  if (qos == 2) {
    set_last_error("QoS 2 not supported; closing connection");
    if (c->protocol_level == 5) {
      static constexpr uint8_t DISCONNECT_QOS_NOT_SUPPORTED[] = {0xE0, 0x02, 0x9B, 0x00};
      send_reply(c, DISCONNECT_QOS_NOT_SUPPORTED, sizeof DISCONNECT_QOS_NOT_SUPPORTED);
    }
    c->closing = 1;
    return -1;
  }
  const uint8_t* d = r.data;
  size_t rl = r.len;
  if (rl <= 1) return 1;
  size_t topic_len = static_cast<size_t>((d[0] << 8) | d[1]);
  if (topic_len + 2 > rl) return 1;
  char topic[256];
  copy_text(topic, d + 2, topic_len);
  size_t pos = topic_len + 2;
  const uint8_t* id = nullptr;
  if (qos > 0) {
    // QoS 1, or the malformed 3, which is routed as offered and never acknowledged.
    if (topic_len + 4 > rl) return 1;
    id = d + topic_len + 2;
    pos = topic_len + 4;
  }
  r.pos = pos;
  if (c->protocol_level == 5 && !r.at_end()) r.skip_properties();
  const uint8_t* payload = r.at_end() ? nullptr : d + r.pos;
  size_t payload_len = r.remaining();
  route_message(topic, payload, payload_len, qos, (byte0 & 0x01) != 0, false, c->client_id);
  if (qos == 1) {
    uint8_t ack[] = {0x40, 0x02, id[0], id[1]};
    send_reply(c, ack, sizeof ack);
  }
  return 1;
}

int handle_puback(mqtt_client* c, packet_reader r) noexcept {
  // Only a session records unacknowledged deliveries.
  if (c->session == nullptr) return 1;
  if (r.len <= 1) return 1;
  mark_sessions_dirty();
  uint16_t id = static_cast<uint16_t>((r.data[0] << 8) | r.data[1]);
  if (id != 0) session_ack(c->session, id);
  return 1;
}

int handle_pubrel(mqtt_client* c, packet_reader r) noexcept {
  if (r.len <= 1) return 1;
  // No QoS 2 state is kept: the release is simply completed.
  uint8_t comp[] = {0x70, 0x02, r.data[0], r.data[1]};
  send_reply(c, comp, sizeof comp);
  return 1;
}

int handle_pingreq(mqtt_client* c) noexcept {
  static constexpr uint8_t PINGRESP[] = {0xD0, 0x00};
  send_reply(c, PINGRESP, sizeof PINGRESP);
  return 1;
}

int handle_disconnect(mqtt_client* c) noexcept {
  c->will_flag = 0;
  c->closing = 1;
  return 1;
}

}  // namespace bvm

extern "C" BV_EXPORT int mqtt_publish(const char* topic, const char* payload, int qos, int retain) {
  using namespace bvm;
  if (topic == nullptr || topic[0] == '\0') {
    set_last_error("Invalid topic name");
    return -1;
  }
  // Any other value would reach subscribers as a PUBLISH with invalid QoS
  // bits (a negative one sets both) and sit in the history as such.
  if (qos < 0 || qos > 2) {
    set_last_error("Invalid QoS");
    return -1;
  }
  lock_guard lock(s_mutex);
  size_t len = payload == nullptr ? 0 : std::strlen(payload);
  s_total_published += 1;
  route_message(topic, reinterpret_cast<const uint8_t*>(payload), len, qos, retain != 0,
                retain != 0, "broker");
  return 0;
}
