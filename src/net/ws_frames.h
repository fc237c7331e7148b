// MQTT over WebSocket: the upgrade handshake, the frame reader that unwraps
// client frames into `ws_data`, and framed sending.
#pragma once

#include <cstddef>
#include <cstdint>

#include "broker/state.h"

namespace bvm {

struct mqtt_client;
struct ws_inflate_stream;

// Runs the WebSocket path for a client after new bytes arrived in `in_buf`
// (or when it has complete frames left over): the handshake until it is
// done, then the frame reader and the MQTT packets found in `ws_data`.
void ws_service(mqtt_client* c) noexcept REQUIRES(s_mutex);

// Sends one MQTT packet as one binary frame (compressed when negotiated).
void ws_send_packet(mqtt_client* c, const uint8_t* bytes, size_t len) noexcept REQUIRES(s_mutex);

// Ends and frees an inflate stream (null is fine).
void ws_inflate_free(ws_inflate_stream* s) noexcept;

}  // namespace bvm
