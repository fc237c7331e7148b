// The load generator's own wire code: the few MQTT packets a benchmark
// client sends and reads, WebSocket client framing (masked, optionally
// compressed with permessage-deflate) and the handshake digests.
//
// Deliberately independent of the library under test, so a fault in the
// broker's codec cannot hide behind the same fault in the measuring tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bvm::bench {

using bytes = std::vector<uint8_t>;

// Appends raw bytes to out.
void append(bytes& out, const uint8_t* p, size_t n);

// --- MQTT --------------------------------------------------------------------

// Packets are appended to `out`; `level` is 4 (3.1.1) or 5.
void encode_connect(bytes& out, std::string_view client_id, int level, uint16_t keep_alive);
void encode_subscribe(bytes& out, uint16_t packet_id, std::string_view filter, int qos, int level);
void encode_publish(bytes& out, std::string_view topic, int qos, uint16_t packet_id, int level,
                    const uint8_t* payload, size_t payload_len);
void encode_puback(bytes& out, uint16_t packet_id);
void encode_pingreq(bytes& out);
void encode_disconnect(bytes& out);

struct mqtt_packet {
  uint8_t first = 0;  // type and flags
  const uint8_t* body = nullptr;
  size_t len = 0;  // Remaining Length
  uint8_t type() const { return static_cast<uint8_t>(first >> 4); }
};

enum class cut_result { packet, incomplete, malformed };

// Cuts the packet at the front of [p, p + n); *used is its whole size.
cut_result mqtt_cut(const uint8_t* p, size_t n, mqtt_packet* pk, size_t* used);

struct publish_view {
  int qos = 0;
  bool dup = false;
  uint16_t packet_id = 0;
  std::string_view topic;
  const uint8_t* payload = nullptr;
  size_t payload_len = 0;
};

// False when the PUBLISH body is malformed.
bool parse_publish(const mqtt_packet& pk, int level, publish_view* out);

// --- WebSocket (client side) -------------------------------------------------

inline constexpr uint8_t WS_OP_CONTINUATION = 0x0;
inline constexpr uint8_t WS_OP_BINARY = 0x2;
inline constexpr uint8_t WS_OP_CLOSE = 0x8;
inline constexpr uint8_t WS_OP_PING = 0x9;
inline constexpr uint8_t WS_OP_PONG = 0xA;

struct ws_frame_view {
  bool fin = false;
  bool rsv1 = false;  // compressed (first frame of a message)
  uint8_t opcode = 0;
  const uint8_t* payload = nullptr;
  size_t len = 0;
};

// Cuts a server frame (never masked; a masked one is malformed).
cut_result ws_cut_frame(const uint8_t* p, size_t n, ws_frame_view* f, size_t* used);

// Appends one masked frame: FIN set, `rsv1` for a compressed message.
void ws_put_frame(bytes& out, uint8_t opcode, bool rsv1, const uint8_t* payload, size_t n,
                  const uint8_t mask[4]);

// Masking keys must not be predictable by anything on the path: they come
// from the kernel's random source, fetched in blocks so that a frame costs
// no system call.
class mask_source {
 public:
  void next(uint8_t key[4]);

 private:
  uint8_t pool_[4096] = {};
  size_t pos_ = sizeof pool_;
};

// A fresh Sec-WebSocket-Key (16 random bytes, Base64).
std::string ws_new_key();
// The Sec-WebSocket-Accept a server must answer for key.
std::string ws_accept_for(std::string_view key);

// permessage-deflate streams of one connection.
class ws_deflate {
 public:
  explicit ws_deflate(int level);
  ~ws_deflate();
  ws_deflate(const ws_deflate&) = delete;
  ws_deflate& operator=(const ws_deflate&) = delete;

  bool ok() const { return ok_; }
  // Compresses one message (sync flush, the trailing 00 00 FF FF removed)
  // into out, replacing its contents. With reset_each, no context is kept
  // from message to message (the server asked for client_no_context_takeover).
  bool compress(const uint8_t* p, size_t n, bool reset_each, bytes& out);
  // Inflates one complete compressed message, appending to out.
  bool decompress(const uint8_t* p, size_t n, bytes& out);

 private:
  struct streams;
  std::unique_ptr<streams> z_;
  bool ok_ = false;
};

}  // namespace bvm::bench
