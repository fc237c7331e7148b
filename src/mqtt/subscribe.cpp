// SUBSCRIBE and UNSUBSCRIBE: filter validation, the subscription list,
// SUBACK/UNSUBACK and the retained messages sent after a SUBACK.
#include <cstring>

#include "base/alloc.h"
#include "base/text.h"
#include "mqtt/codec.h"
#include "mqtt/handlers.h"
#include "mqtt/retained.h"
#include "mqtt/subscription.h"
#include "mqtt/topic.h"
#include "net/client.h"
#include "storage/storage.h"

namespace bvm {
namespace {

constexpr size_t MAX_FILTERS_PER_PACKET = 32;
constexpr uint8_t CODE_REFUSED = 0x80;
constexpr uint8_t CODE_NO_SUBSCRIPTION = 0x11;

struct filter_walk {
  packet_reader r;
  size_t handled = 0;

  // The next filter, cut at 255 bytes, when its length field and bytes fit.
  bool next(char (&filter)[256]) noexcept {
    if (handled >= MAX_FILTERS_PER_PACKET) return false;
    if (r.remaining() < 2) return false;
    size_t n = static_cast<size_t>((r.data[r.pos] << 8) | r.data[r.pos + 1]);
    if (r.remaining() - 2 < n) return false;
    copy_text(filter, r.data + r.pos + 2, n);
    r.pos += 2 + n;
    handled += 1;
    return true;
  }
};

// Positions the reader at the first filter: after the identifier and, at
// level 5, after the property section (when there is more than the identifier).
filter_walk start_filters(const mqtt_client* c, packet_reader r) noexcept {
  r.pos = 2;
  if (c->protocol_level == 5 && r.len != 2) r.skip_properties();
  return filter_walk{r};
}

void send_retained(mqtt_client* c, const char* filter, int granted) noexcept REQUIRES(s_mutex) {
  for (retained_message* m = s_retained; m != nullptr; m = m->next) {
    if (mqtt_topic_matches(filter, m->topic) == 0) continue;
    int qos = granted < m->qos ? granted : m->qos;
    uint16_t pid = qos > 0 ? next_packet_id() : 0;
    byte_buf packet;
    if (!build_publish_packet(m->topic, m->payload.data(), m->payload.size(), qos, 0x01, pid,
                              c->protocol_level, &packet)) {
      continue;
    }
    client_send_packet(c, packet.data(), packet.size());
  }
}

}  // namespace

int handle_subscribe(mqtt_client* c, packet_reader r) noexcept {
  if (c->session != nullptr) mark_sessions_dirty();
  if (r.len <= 1) return 1;
  filter_walk walk = start_filters(c, r);
  char filters[MAX_FILTERS_PER_PACKET][256];
  uint8_t codes[MAX_FILTERS_PER_PACKET];
  size_t n = 0;
  // n is checked first so that filters[n] never names the slot past the end.
  while (n < MAX_FILTERS_PER_PACKET && walk.next(filters[n])) {
    int requested = 0;
    if (!walk.r.at_end()) {
      uint8_t options = 0;
      (void)walk.r.read_u8(&options);
      requested = options & 0x03;
    }
    if (!topic_filter_valid(filters[n])) {
      codes[n] = CODE_REFUSED;
    } else {
      int granted = requested >= 1 ? 1 : 0;
      codes[n] = static_cast<uint8_t>(granted);
      subscription* existing = subscription_find(c->subs, filters[n]);
      if (existing != nullptr) {
        existing->qos = granted;
      } else if (subscription* s = try_new<subscription>()) {
        // Out of memory: the code is still the granted QoS, nothing is stored.
        copy_text(s->filter, filters[n]);
        s->qos = granted;
        s->next = c->subs;
        c->subs = s;
        routing_changed();
      }
    }
    ++n;
  }
  // Type, length, identifier, the level 5 property byte, then the codes.
  uint8_t ack[5 + MAX_FILTERS_PER_PACKET];
  size_t len = 0;
  ack[len++] = 0x90;
  ack[len++] = static_cast<uint8_t>((c->protocol_level == 5 ? 3 : 2) + n);
  ack[len++] = r.data[0];
  ack[len++] = r.data[1];
  if (c->protocol_level == 5) ack[len++] = 0x00;
  std::memcpy(ack + len, codes, n);
  send_reply(c, ack, len + n);
  for (size_t i = 0; i < n; ++i) {
    if (codes[i] != CODE_REFUSED) send_retained(c, filters[i], codes[i]);
  }
  return 1;
}

int handle_unsubscribe(mqtt_client* c, packet_reader r) noexcept {
  if (c->session != nullptr) mark_sessions_dirty();
  if (r.len <= 1) return 1;
  filter_walk walk = start_filters(c, r);
  char filter[256];
  uint8_t codes[MAX_FILTERS_PER_PACKET];
  size_t n = 0;
  while (walk.next(filter)) {
    codes[n++] = subscription_remove(&c->subs, filter) ? 0x00 : CODE_NO_SUBSCRIPTION;
  }
  uint8_t ack[5 + MAX_FILTERS_PER_PACKET];
  size_t len = 0;
  ack[len++] = 0xB0;
  if (c->protocol_level == 5) {
    ack[len++] = static_cast<uint8_t>(3 + n);
    ack[len++] = r.data[0];
    ack[len++] = r.data[1];
    ack[len++] = 0x00;
    std::memcpy(ack + len, codes, n);
    len += n;
  } else {
    ack[len++] = 0x02;
    ack[len++] = r.data[0];
    ack[len++] = r.data[1];
  }
  send_reply(c, ack, len);
  return 1;
}

}  // namespace bvm
