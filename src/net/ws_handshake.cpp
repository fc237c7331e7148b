// The WebSocket upgrade request and its 101 answer.
//
// The request is judged only by what the broker needs: the method "GET ",
// a usable Sec-WebSocket-Key, and the optional subprotocol and extension
// offers. Path, HTTP version, Host, Upgrade, Connection, version and Origin
// are not checked. A refused request gets no HTTP answer, only a close.
#include "net/ws_handshake.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "base/text.h"
#include "codec/base64.h"
#include "codec/sha1.h"
#include "net/client.h"
#include "net/ws_frames.h"

namespace bvm {
namespace {

constexpr char KEY_HEADER[] = "Sec-WebSocket-Key";
constexpr char PROTOCOL_HEADER[] = "Sec-WebSocket-Protocol";
constexpr char EXTENSIONS_HEADER[] = "Sec-WebSocket-Extensions";
constexpr std::string_view DEFLATE_TOKEN = "permessage-deflate";
constexpr std::string_view MQTT_PROTOCOL = "mqtt";

std::string_view as_text(const uint8_t* p, size_t n) noexcept {
  return {reinterpret_cast<const char*>(p), n};
}

// A header value runs to the end of its line, or of the head.
size_t value_length(const uint8_t* value, const uint8_t* head_end) noexcept {
  const uint8_t* e = value;
  while (e < head_end && *e != '\r' && *e != '\n') ++e;
  return static_cast<size_t>(e - value);
}

// Calls f for each comma-separated element of a header value. Spaces and
// commas before an element are skipped; an element runs to the next comma,
// blanks before that comma included, so "mqtt ," offers "mqtt ", not "mqtt".
template <class F>
void for_each_element(std::string_view value, F f) {
  size_t p = 0;
  while (p < value.size()) {
    while (p < value.size() && (value[p] == ' ' || value[p] == ',')) ++p;
    if (p >= value.size()) break;
    size_t e = value.find(',', p);
    if (e == std::string_view::npos) e = value.size();
    f(value.substr(p, e - p));
    p = e;
  }
}

// The value of a header found before the end of the head, or nothing.
bool find_value(const uint8_t* head, size_t head_len, const char* name,
                std::string_view* value) noexcept {
  const uint8_t* v = ws_header_value(head, head_len, name);
  if (v == nullptr || v >= head + head_len) return false;
  *value = as_text(v, value_length(v, head + head_len));
  return true;
}

bool offers_mqtt(const uint8_t* head, size_t head_len) noexcept {
  std::string_view value;
  if (!find_value(head, head_len, PROTOCOL_HEADER, &value)) return false;
  bool found = false;
  for_each_element(value, [&](std::string_view e) {
    if (e == MQTT_PROTOCOL) found = true;
  });
  return found;
}

// Parameters after the token (client_max_window_bits and the like) stay in
// the element and are neither applied nor answered: the inflater always
// takes a 32 KiB window, and outgoing packets carry no context.
bool offers_deflate(const uint8_t* head, size_t head_len) noexcept {
  std::string_view value;
  if (!find_value(head, head_len, EXTENSIONS_HEADER, &value)) return false;
  bool found = false;
  for_each_element(value, [&](std::string_view e) {
    if (e.substr(0, DEFLATE_TOKEN.size()) == DEFLATE_TOKEN) found = true;
  });
  return found;
}

// Sec-WebSocket-Accept: Base64 of the SHA-1 of the key and the RFC 6455
// GUID. The key counts up to a NUL byte, as a C text would.
void accept_key(const uint8_t* key, size_t key_len, char out[64]) noexcept {
  char key_text[WS_MAX_KEY_LEN + 1];
  copy_text(key_text, key, key_len);
  char joined[256];
  int n = std::snprintf(joined, sizeof joined, "%s258EAFA5-E914-47DA-95CA-C5AB0DC85B11", key_text);
  bv_sha1_ctx ctx;
  bv_sha1_init(&ctx);
  bv_sha1_update(&ctx, reinterpret_cast<const uint8_t*>(joined), static_cast<uint64_t>(n));
  uint8_t digest[20];
  bv_sha1_final(&ctx, digest);
  bv_base64_encode(digest, sizeof digest, out, 64);
}

}  // namespace

const uint8_t* ws_header_value(const uint8_t* head, size_t head_len, const char* name) noexcept {
  size_t n = std::strlen(name);
  for (size_t p = 0; p + n + 1 < head_len; ++p) {
    if (head[p + n] != ':' || std::memcmp(head + p, name, n) != 0) continue;
    size_t v = p + n + 1;
    while (v < head_len && (head[v] == ' ' || head[v] == '\t')) ++v;
    return head + v;
  }
  return nullptr;
}

ws_handshake_status ws_parse_handshake(const uint8_t* buf, size_t len,
                                       ws_handshake_answer* answer) noexcept {
  if (len <= 3) return ws_handshake_status::wait;
  size_t head_len = as_text(buf, len).find("\r\n\r\n");
  if (head_len == std::string_view::npos) {
    return len <= WS_MAX_REQUEST_HEAD ? ws_handshake_status::wait : ws_handshake_status::fail;
  }
  if (head_len <= 3 || std::memcmp(buf, "GET ", 4) != 0) return ws_handshake_status::fail;

  std::string_view key;
  if (!find_value(buf, head_len, KEY_HEADER, &key)) return ws_handshake_status::fail;
  if (key.empty() || key.size() > WS_MAX_KEY_LEN) return ws_handshake_status::fail;

  answer->protocol_mqtt = offers_mqtt(buf, head_len) ? 1 : 0;
  answer->deflate = offers_deflate(buf, head_len) ? 1 : 0;

  char accept[64];
  accept_key(reinterpret_cast<const uint8_t*>(key.data()), key.size(), accept);
  // The extension line always comes before the protocol line.
  int n = std::snprintf(
      answer->response, sizeof answer->response,
      "HTTP/1.1 101 Switching Protocols\r\n"
      "Upgrade: websocket\r\n"
      "Connection: Upgrade\r\n"
      "Sec-WebSocket-Accept: %s\r\n"
      "%s%s\r\n",
      accept, answer->deflate != 0 ? "Sec-WebSocket-Extensions: permessage-deflate\r\n" : "",
      answer->protocol_mqtt != 0 ? "Sec-WebSocket-Protocol: mqtt\r\n" : "");
  answer->response_len = static_cast<size_t>(n);
  answer->request_len = head_len + 4;
  return ws_handshake_status::done;
}

void ws_process_handshake(mqtt_client* c) noexcept {
  ws_handshake_answer answer;
  switch (ws_parse_handshake(c->in_buf.data(), c->in_buf.size(), &answer)) {
    case ws_handshake_status::wait:
      return;
    case ws_handshake_status::fail:
      c->closing = 1;
      return;
    case ws_handshake_status::done:
      break;
  }
  c->ws_deflate = answer.deflate;
  c->ws_protocol_mqtt = answer.protocol_mqtt;
  if (answer.protocol_mqtt != 0) copy_text(c->ws_protocol, "mqtt");
  // A failed write shows up as a broken connection on the next receive; the
  // handshake completes all the same.
  client_write(c, reinterpret_cast<const uint8_t*>(answer.response), answer.response_len);
  c->ws_handshake_done = 1;
  c->in_buf.consume_front(answer.request_len);
  // Frames that came in the same segment as the request are read now.
  ws_process_frames(c);
}

}  // namespace bvm
