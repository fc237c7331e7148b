// CONNECT: protocol checks, will, credentials, take-over of an older
// connection with the same identifier, session binding, CONNACK.
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "broker/auth.h"
#include "mqtt/handlers.h"
#include "net/client.h"
#include "session/session.h"
#include "storage/storage.h"

namespace bvm {
namespace {

constexpr uint8_t CONNACK_BAD_LEVEL[] = {0x20, 0x02, 0x00, 0x01};
constexpr uint8_t CONNACK_ID_REJECTED[] = {0x20, 0x02, 0x00, 0x02};
constexpr uint8_t CONNACK_NOT_AUTHORIZED_V4[] = {0x20, 0x02, 0x00, 0x05};
constexpr uint8_t CONNACK_NOT_AUTHORIZED_V5[] = {0x20, 0x03, 0x00, 0x86, 0x00};
constexpr uint8_t CONNACK_ACCEPTED_V5[] = {0x20, 0x03, 0x00, 0x00, 0x00};

constexpr uint8_t FLAG_RESERVED = 0x01;
constexpr uint8_t FLAG_CLEAN = 0x02;
constexpr uint8_t FLAG_WILL = 0x04;
constexpr uint8_t FLAG_PASSWORD = 0x40;
constexpr uint8_t FLAG_USERNAME = 0x80;

int refuse(mqtt_client* c) noexcept {
  c->closing = 1;
  return -1;
}

// Reads an optional string field into dst (cut to its size). Returns false
// when not even the length field was present.
template <size_t N>
bool read_text_field(packet_reader& r, char (&dst)[N]) noexcept {
  const uint8_t* p;
  size_t n;
  bool fits;
  if (!r.read_str(&p, &n, &fits)) return false;
  if (fits) copy_text(dst, p, n);
  return true;
}

void read_will(mqtt_client* c, packet_reader& r, uint8_t flags) noexcept {
  if (c->protocol_level == 5 && !r.at_end()) r.skip_properties();
  if (read_text_field(r, c->will_topic)) {
    const uint8_t* p;
    size_t n;
    bool fits;
    if (r.read_str(&p, &n, &fits) && fits) {
      // Out of memory: the will stays armed with an empty payload.
      if (!c->will_payload.assign_with_nul(p, n)) c->will_payload.reset();
    }
  }
  c->will_flag = 1;
  c->will_qos = (flags >> 3) & 3;
  c->will_retain = (flags >> 5) & 1;
}

// Closes every other connection that uses the same identifier, without its will.
void take_over(mqtt_client* c) noexcept REQUIRES(s_mutex) {
  mqtt_client* other = s_clients;
  while (other != nullptr) {
    mqtt_client* next = other->next;
    if (other != c && std::strcmp(other->client_id, c->client_id) == 0) {
      client_list_unlink(other);
      other->will_flag = 0;
      other->closing = 1;
      free_client(other);
    }
    other = next;
  }
}

// Binds or discards the persistent session; returns the session-present flag.
int bind_session(mqtt_client* c, bool persistent) noexcept REQUIRES(s_mutex) {
  session_detach(c);
  mqtt_session* s = session_find(c->client_id);
  if (persistent) {
    mark_sessions_dirty();
    if (s != nullptr) {
      session_attach(s, c);
      return 1;
    }
    s = session_create(c->client_id);
    if (s != nullptr) session_attach(s, c);
    return 0;
  }
  if (s != nullptr) {
    mark_sessions_dirty();
    session_destroy(s);
  }
  return 0;
}

}  // namespace

int handle_connect(mqtt_client* c, packet_reader r) noexcept {
  const uint8_t* d = r.data;
  size_t rl = r.len;
  if (rl <= 1) return refuse(c);
  size_t name_len = static_cast<size_t>((d[0] << 8) | d[1]);
  if (name_len > rl - 2 || name_len != 4 || std::memcmp(d + 2, "MQTT", 4) != 0) return refuse(c);
  if (rl <= 6) return refuse(c);
  uint8_t level = d[6];
  if (level != 4 && level != 5) {
    send_reply(c, CONNACK_BAD_LEVEL, sizeof CONNACK_BAD_LEVEL);
    return refuse(c);
  }
  if (rl < 10) return refuse(c);
  c->protocol_level = level;
  uint8_t flags = d[7];
  if ((flags & FLAG_RESERVED) != 0) return refuse(c);
  c->keep_alive = (d[8] << 8) | d[9];
  r.pos = 10;
  if (level == 5 && rl > 10) r.skip_properties();

  read_text_field(r, c->client_id);
  bool clean = (flags & FLAG_CLEAN) != 0;
  if (c->client_id[0] == '\0') {
    if (level == 4 && !clean) {
      send_reply(c, CONNACK_ID_REJECTED, sizeof CONNACK_ID_REJECTED);
      return refuse(c);
    }
    (void)std::snprintf(c->client_id, sizeof c->client_id, "client_%u",
                        static_cast<unsigned>(c->sock.get() & 0xFFFF));
  }

  if ((flags & FLAG_WILL) != 0) read_will(c, r, flags);

  char username[128] = {};
  char password[128] = {};
  bool username_field_present = true;
  if ((flags & FLAG_USERNAME) != 0) username_field_present = read_text_field(r, username);
  if ((flags & FLAG_PASSWORD) != 0 && username_field_present) {
    const uint8_t* p;
    size_t n;
    bool fits;
    if (r.read_str(&p, &n, &fits) && fits) copy_text(password, p, n);
  }
  copy_text(c->username, username);

  if (!auth_check(username, password)) {
    c->will_flag = 0;  // a refused client never publishes its will
    if (level == 5) {
      send_reply(c, CONNACK_NOT_AUTHORIZED_V5, sizeof CONNACK_NOT_AUTHORIZED_V5);
    } else {
      send_reply(c, CONNACK_NOT_AUTHORIZED_V4, sizeof CONNACK_NOT_AUTHORIZED_V4);
    }
    c->closing = 1;
    return 1;
  }

  take_over(c);
  int session_present = bind_session(c, level == 4 && !clean);

  if (level == 5) {
    send_reply(c, CONNACK_ACCEPTED_V5, sizeof CONNACK_ACCEPTED_V5);
  } else {
    uint8_t ack[] = {0x20, 0x02, static_cast<uint8_t>(session_present), 0x00};
    send_reply(c, ack, sizeof ack);
  }
  c->connected = 1;
  if (session_present != 0 && c->session != nullptr) session_redeliver(c->session, c);
  return 1;
}

}  // namespace bvm
