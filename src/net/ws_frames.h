// MQTT over WebSocket: the upgrade handshake, the frame reader that unwraps
// client frames into `ws_data`, and framed sending.
//
// WebSocket message boundaries mean nothing to MQTT: the payloads of all
// data messages form one byte stream (`ws_data`), which is cut into MQTT
// packets exactly like a TCP stream. Every packet the broker sends goes out
// as one unmasked binary frame, compressed when permessage-deflate was
// negotiated.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/byte_buf.h"
#include "broker/state.h"

namespace bvm {

struct mqtt_client;
struct ws_inflate_stream;

// Cap of a reassembled message and of `ws_data` (the same as `in_buf`'s).
inline constexpr size_t WS_BUFFER_LIMIT = 1052672;
// Frame-reader passes per call; a client that keeps streaming frames cannot
// hold the network thread longer than this.
inline constexpr int WS_MAX_PASSES = 1024;
// Largest ping payload that is answered (a control frame's own limit).
inline constexpr size_t WS_MAX_PING_ANSWERED = 125;
// Longest header of an outgoing frame.
inline constexpr size_t WS_MAX_SEND_HEADER = 10;

// Runs the WebSocket path for a client after new bytes arrived in `in_buf`
// (or when it has complete frames left over): the handshake until it is
// done, then the frame reader and the MQTT packets found in `ws_data`.
// Sets `resume` when complete frames are left for the next loop iteration.
void ws_service(mqtt_client* c) noexcept REQUIRES(s_mutex);

// The frame reader: passes of ws_read_frames, each followed by handing the
// complete MQTT packets in `ws_data` to the packet layer, until no frame
// completes, the client is closing, or WS_MAX_PASSES have run. Sets
// `resume` when it stopped at the pass limit with a frame ready in `in_buf`.
void ws_process_frames(mqtt_client* c) noexcept REQUIRES(s_mutex);

enum class ws_read_result {
  need_more,     // the next frame is not complete (or `in_buf` is empty)
  message_done,  // a data message completed: its bytes are in `ws_data`
  failed,        // the connection failed; `closing` is set
};

// One pass of the frame reader without the packet layer: consumes frames
// from the front of `in_buf` until a data message completes, the next frame
// is incomplete, or a frame fails the connection. Control frames are
// answered on the way. Exposed so the reader can be driven on its own.
ws_read_result ws_read_frames(mqtt_client* c) noexcept REQUIRES(s_mutex);

// One outgoing frame: bytes [start, buf.size()) of buf.
struct ws_frame {
  byte_buf buf;
  size_t start = 0;
  const uint8_t* data() const noexcept { return buf.data() + start; }
  size_t size() const noexcept { return buf.size() - start; }
};

// Frames one MQTT packet: C2 and the compressed packet when `deflate` and
// the packet is not empty and compresses, else 82 and the packet; a 2, 4 or
// 10-byte header; never masked or fragmented. False when memory is short.
[[nodiscard]] bool ws_build_frame(const uint8_t* bytes, size_t len, bool deflate,
                                  ws_frame* out) noexcept;

// Sends one MQTT packet as one binary frame (compressed when negotiated),
// header and payload in one write. Builds nothing per packet: an
// uncompressed frame is queued as header + packet, a compressed one is
// built in a shared scratch buffer.
void ws_send_packet(mqtt_client* c, const uint8_t* bytes, size_t len) noexcept REQUIRES(s_mutex);

// Frees the scratch buffers of the send and inflate paths and the shared
// deflate stream; they are made again on next use. Called at broker stop.
void ws_release_scratch() noexcept REQUIRES(s_mutex);

// Ends and frees an inflate stream (null is fine).
void ws_inflate_free(ws_inflate_stream* s) noexcept;

}  // namespace bvm
