#include "mqtt/route.h"

#include <cstring>
#include <vector>

#include "inspect/history.h"
#include "mqtt/codec.h"
#include "mqtt/retained.h"
#include "mqtt/route_index.h"
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

// The copies of one message: encoded once per QoS (0 or 1) and level (5 or
// not); QoS 1 copies differ only in their identifier, written into the one
// encoding before each send. A copy that could not be built is tried again
// for the next subscriber, as a fresh encoding per subscriber would be.
class publish_copies {
 public:
  publish_copies(const char* topic, const uint8_t* payload, size_t payload_len, int retain) noexcept
      : topic_(topic), payload_(payload), payload_len_(payload_len), retain_(retain) {}

  // The packet for one subscriber, or null when it could not be built.
  const byte_buf* get(int qos, uint16_t pid, int32_t level) noexcept {
    if (qos != 0 && qos != 1) {
      // Not a QoS a subscription grants: encoded apart, every time.
      return build(qos, pid, level, &other_) ? &other_ : nullptr;
    }
    size_t l = level == 5 ? 1 : 0;
    byte_buf& b = packets_[qos][l];
    if (!built_[qos][l]) {
      if (!build(qos, pid, level, &b)) return nullptr;
      built_[qos][l] = true;
      if (qos == 1) {
        // The identifier sits right before the level 5 property byte and the payload.
        size_t tail = (payload_ != nullptr ? payload_len_ : 0) + l;
        pid_at_[l] = b.size() - tail - 2;
      }
      return &b;
    }
    if (qos == 1) {
      b.data()[pid_at_[l]] = static_cast<uint8_t>(pid >> 8);
      b.data()[pid_at_[l] + 1] = static_cast<uint8_t>(pid & 0xFF);
    }
    return &b;
  }

 private:
  bool build(int qos, uint16_t pid, int32_t level, byte_buf* out) const noexcept {
    return build_publish_packet(topic_, payload_, payload_len_, qos, static_cast<uint8_t>(retain_),
                                pid, level, out);
  }

  const char* topic_;
  const uint8_t* payload_;
  size_t payload_len_;
  int retain_;
  byte_buf packets_[2][2];
  bool built_[2][2] = {};
  size_t pid_at_[2] = {};  // where a QoS 1 copy's identifier is, per level
  byte_buf other_;
};

// One client of s_clients whose first matching subscription is sub.
void deliver_to_client(mqtt_client* c, const subscription* sub, const char* topic,
                       const uint8_t* payload, size_t payload_len, int qos, int retain,
                       publish_copies& copies) noexcept REQUIRES(s_mutex) {
  bool live = c->live();
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
  if (!live) return;
  const byte_buf* packet = copies.get(effective, pid, c->protocol_level);
  if (packet != nullptr) client_send_packet(c, packet->data(), packet->size());
}

// A detached session whose first matching subscription is sub.
void deliver_to_session(mqtt_session* s, const subscription* sub, const char* topic,
                        const uint8_t* payload, size_t payload_len, int qos, int retain) noexcept
    REQUIRES(s_mutex) {
  int effective = qos < sub->qos ? qos : sub->qos;
  if (effective > 0) session_enqueue(s, topic, payload, payload_len, retain, 0);
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
  publish_copies copies(topic, payload, payload_len, retain);
  std::vector<route_hit>* hits = nullptr;
  if (route_index_lookup(topic, &hits)) {
    // The same lists in the same order as the walk below, minus those
    // without a matching subscription.
    for (const route_hit& h : *hits) {
      if (h.client != nullptr) {
        if (!h.client->live() && h.client->session == nullptr) continue;
        deliver_to_client(h.client, h.sub, topic, payload, payload_len, qos, retain, copies);
      } else if (h.session->owner == nullptr) {  // else served through its client
        deliver_to_session(h.session, h.sub, topic, payload, payload_len, qos, retain);
      }
    }
    return;
  }
  for (mqtt_client* c = s_clients; c != nullptr; c = c->next) {
    if (!c->live() && c->session == nullptr) continue;
    const subscription* sub = first_match(c->subs, topic);
    if (sub == nullptr) continue;
    deliver_to_client(c, sub, topic, payload, payload_len, qos, retain, copies);
  }
  for (mqtt_session* s = s_sessions; s != nullptr; s = s->next) {
    if (s->owner != nullptr) continue;  // served through its client above
    const subscription* sub = first_match(s->subs, topic);
    if (sub == nullptr) continue;
    deliver_to_session(s, sub, topic, payload, payload_len, qos, retain);
  }
}

}  // namespace bvm
