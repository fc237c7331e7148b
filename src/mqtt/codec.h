// MQTT framing: cutting packets from a byte stream, the state gate, and the
// encoding of outgoing PUBLISH packets; plus the broker-wide packet
// identifier counter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/byte_buf.h"
#include "broker/state.h"

namespace bvm {

struct mqtt_client;

// The largest Remaining Length accepted.
inline constexpr uint32_t MAX_PAYLOAD_LEN = 1048576;

// Next outgoing packet identifier: 1..65535, one counter for all clients,
// kept across stop and start.
extern uint16_t s_out_pkt_id GUARDED_BY(s_mutex);

// Takes the current identifier and advances the counter (65535 -> 1).
uint16_t next_packet_id() noexcept REQUIRES(s_mutex);

// Handles the packet at the front of bytes (len >= 2; *consumed preset to 0).
// Returns 0 when the packet is not complete yet, 1 after one packet (its
// full size in *consumed; the handler may have set `closing`), -1 on a
// protocol error with `closing` set.
int process_single_mqtt_packet(mqtt_client* c, const uint8_t* bytes, size_t len,
                               size_t* consumed) noexcept REQUIRES(s_mutex);

// Handles every complete packet at the front of buf and removes them. With
// stop_at_closing, stops as soon as the client is marked closing (the
// WebSocket path); the TCP path goes on, so packets after a DISCONNECT in the
// same read are still handled.
void cut_packets(mqtt_client* c, byte_buf* buf, bool stop_at_closing = false) noexcept
    REQUIRES(s_mutex);

// Decodes one variable byte integer from at most avail bytes: 0 with *value
// and *used (1..4) on success, -1 when the bytes end inside the integer.
int mqtt_decode_varlen(const uint8_t* data, size_t avail, uint32_t* value, size_t* used) noexcept;

// Encodes a PUBLISH into *out (exactly its size): byte 0 is 0x30 | qos << 1 |
// flags; the identifier is written only when qos > 0; level 5 adds an empty
// property section. False when memory is short.
[[nodiscard]] bool build_publish_packet(const char* topic, const uint8_t* payload,
                                        size_t payload_len, int qos, uint8_t flags,
                                        uint16_t packet_id, int protocol_level,
                                        byte_buf* out) noexcept;

}  // namespace bvm
