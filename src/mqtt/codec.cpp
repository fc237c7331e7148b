#include "mqtt/codec.h"

#include <cassert>
#include <cstring>

#include "broker/last_error.h"
#include "mqtt/handlers.h"
#include "net/client.h"

namespace bvm {

uint16_t s_out_pkt_id = 1;

uint16_t next_packet_id() noexcept {
  uint16_t id = s_out_pkt_id;
  s_out_pkt_id = id == 65535 ? 1 : static_cast<uint16_t>(id + 1);
  return id;
}

int mqtt_decode_varlen(const uint8_t* data, size_t avail, uint32_t* value, size_t* used) noexcept {
  uint32_t v = 0;
  uint32_t mult = 1;
  for (size_t i = 0; i < 4; ++i) {
    if (i >= avail) return -1;
    v += static_cast<uint32_t>(data[i] & 0x7F) * mult;
    // As in the fixed header, the integer ends after its fourth byte even if
    // that byte carries a continuation bit.
    if ((data[i] & 0x80) == 0 || i == 3) {
      *value = v;
      *used = i + 1;
      return 0;
    }
    mult *= 128;
  }
  return -2;  // not reached: the loop ends after four bytes
}

void packet_reader::skip_properties() noexcept {
  uint32_t n;
  size_t used;
  if (pos >= len) return;
  if (mqtt_decode_varlen(data + pos, len - pos, &n, &used) != 0) return;
  // The length is not checked against the packet: fields that follow are
  // then simply found missing by the handler's own bounds checks.
  pos += used + n;
}

namespace {

int close_client(mqtt_client* c) noexcept {
  c->closing = 1;
  return -1;
}

}  // namespace

int process_single_mqtt_packet(mqtt_client* c, const uint8_t* bytes, size_t len,
                               size_t* consumed) noexcept {
  assert(len >= 2);
  uint32_t value = bytes[1] & 0x7F;
  uint32_t multiplier = 1;
  size_t index = 1;
  // At most four length bytes; a continuation bit on the fourth is ignored.
  while ((bytes[index] & 0x80) != 0 && index != 4) {
    if (len < index + 2) return 0;
    ++index;
    multiplier *= 128;
    value += static_cast<uint32_t>(bytes[index] & 0x7F) * multiplier;
  }
  if (value > MAX_PAYLOAD_LEN) {
    set_last_error("Remaining Length exceeds MAX_PAYLOAD_LEN");
    return close_client(c);
  }
  size_t header_len = index + 1;
  if (len < header_len + value) return 0;
  *consumed = header_len + value;

  packet_reader r{bytes + header_len, value};
  uint8_t type = bytes[0] >> 4;
  if (c->connected == 0) {
    if (type == 1) return handle_connect(c, r);
    return close_client(c);
  }
  switch (type) {
    case 1:  // a second CONNECT
      return close_client(c);
    case 3:
      return handle_publish(c, bytes[0], r);
    case 4:
      return handle_puback(c, r);
    case 6:
      return handle_pubrel(c, r);
    case 8:
      return handle_subscribe(c, r);
    case 10:
      return handle_unsubscribe(c, r);
    case 12:
      return handle_pingreq(c);
    case 14:
      return handle_disconnect(c);
    default:
      // PUBREC, PUBCOMP and packets only a server sends: consumed, ignored.
      return 1;
  }
}

void cut_packets(mqtt_client* c, byte_buf* buf, bool stop_at_closing) noexcept {
  size_t off = 0;
  while (buf->size() - off >= 2) {
    if (stop_at_closing && c->closing != 0) break;
    size_t consumed = 0;
    int r = process_single_mqtt_packet(c, buf->data() + off, buf->size() - off, &consumed);
    if (r <= 0 || consumed == 0) break;
    off += consumed;
  }
  // Compact once per batch rather than after every packet.
  buf->consume_front(off);
}

bool build_publish_packet(const char* topic, const uint8_t* payload, size_t payload_len, int qos,
                          uint8_t flags, uint16_t packet_id, int protocol_level,
                          byte_buf* out) noexcept {
  size_t topic_len = std::strlen(topic);
  size_t rl = 2 + topic_len + (qos > 0 ? 2 : 0) + (protocol_level == 5 ? 1 : 0) + payload_len;
  uint8_t header[5];
  header[0] = static_cast<uint8_t>(0x30 | ((qos * 2) & 0x06) | flags);
  size_t h = 1;
  size_t v = rl;
  do {
    uint8_t b = static_cast<uint8_t>(v & 0x7F);
    v >>= 7;
    if (v > 0) b |= 0x80;
    header[h++] = b;
  } while (v > 0 && h < 5);
  byte_buf buf;
  if (!buf.reserve_exact(h + rl)) return false;
  buf.append_within_capacity(header, h);
  uint8_t tl[2] = {static_cast<uint8_t>(topic_len >> 8), static_cast<uint8_t>(topic_len & 0xFF)};
  buf.append_within_capacity(tl, 2);
  buf.append_within_capacity(reinterpret_cast<const uint8_t*>(topic), topic_len);
  if (qos > 0) {
    uint8_t id[2] = {static_cast<uint8_t>(packet_id >> 8), static_cast<uint8_t>(packet_id & 0xFF)};
    buf.append_within_capacity(id, 2);
  }
  if (protocol_level == 5) {
    uint8_t none = 0;
    buf.append_within_capacity(&none, 1);
  }
  if (payload != nullptr && payload_len > 0) buf.append_within_capacity(payload, payload_len);
  *out = std::move(buf);
  return true;
}

}  // namespace bvm
