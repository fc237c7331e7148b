// Packet handlers, entered from process_single_mqtt_packet with the
// Remaining Length bytes of one complete packet. Each returns 1 (consumed)
// or -1 (protocol error, `closing` set).
#pragma once

#include <cstddef>
#include <cstdint>

#include "broker/state.h"
#include "mqtt/reader.h"

namespace bvm {

struct mqtt_client;

int handle_connect(mqtt_client* c, packet_reader r) noexcept REQUIRES(s_mutex);
int handle_publish(mqtt_client* c, uint8_t byte0, packet_reader r) noexcept REQUIRES(s_mutex);
int handle_puback(mqtt_client* c, packet_reader r) noexcept REQUIRES(s_mutex);
int handle_pubrel(mqtt_client* c, packet_reader r) noexcept REQUIRES(s_mutex);
int handle_subscribe(mqtt_client* c, packet_reader r) noexcept REQUIRES(s_mutex);
int handle_unsubscribe(mqtt_client* c, packet_reader r) noexcept REQUIRES(s_mutex);
int handle_pingreq(mqtt_client* c) noexcept REQUIRES(s_mutex);
int handle_disconnect(mqtt_client* c) noexcept REQUIRES(s_mutex);

// Sends a short fixed reply (CONNACK, PUBACK, SUBACK...) to c.
void send_reply(mqtt_client* c, const uint8_t* bytes, size_t len) noexcept REQUIRES(s_mutex);

}  // namespace bvm
