// The WebSocket upgrade: parsing the client's HTTP request head and
// answering it with 101 Switching Protocols.
//
// ws_parse_handshake is pure (no socket, no client record) so the request
// rules can be tested byte for byte; ws_process_handshake applies its
// outcome to a connection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "broker/state.h"

namespace bvm {

struct mqtt_client;

// A request head may sit in the buffer this long without its blank line.
inline constexpr size_t WS_MAX_REQUEST_HEAD = 8192;
// Longest Sec-WebSocket-Key accepted.
inline constexpr size_t WS_MAX_KEY_LEN = 127;

// The value of header `name` in the request head: the first position where
// `name` is followed directly by ':' (case-sensitive, anywhere in the head,
// not only at a line start), then past spaces and tabs. May equal
// head + head_len. Null when the name does not occur.
const uint8_t* ws_header_value(const uint8_t* head, size_t head_len, const char* name) noexcept;

enum class ws_handshake_status { wait, fail, done };

struct ws_handshake_answer {
  size_t request_len = 0;     // bytes of the request, blank line included
  uint8_t deflate = 0;        // permessage-deflate accepted
  uint8_t protocol_mqtt = 0;  // subprotocol "mqtt" accepted
  char response[640] = {};
  size_t response_len = 0;
};

// Looks at the bytes received so far. wait: the request is not complete yet;
// fail: close without an answer; done: *answer holds the 101 response and
// how many bytes the request took.
ws_handshake_status ws_parse_handshake(const uint8_t* buf, size_t len,
                                       ws_handshake_answer* answer) noexcept;

// Runs the handshake on a client's `in_buf`: on completion sends the 101
// response, removes the request and reads the frames that followed it; on
// failure marks the client closing (nothing is sent).
void ws_process_handshake(mqtt_client* c) noexcept REQUIRES(s_mutex);

}  // namespace bvm
