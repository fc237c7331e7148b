// Client records and the send path.
//
// One mqtt_client per accepted connection, in s_clients newest first. The
// network thread creates and frees them; handlers only mark a record
// `closing`, and the loop frees it at the end of its iteration.
//
// Sending never blocks: client_send_packet appends the (framed) packet to the
// client's output buffer and writes what the socket takes at once; the loop
// writes the rest when the socket becomes writable. Pending output is
// bounded, so a peer that stops reading cannot stall the broker.
//
// Inside a loop iteration the network thread batches: packets are only
// queued, and each client's queued output leaves in one write at the end of
// the iteration (a fan-in subscriber gets one send, not one per packet).
// Sends from other threads (mqtt_publish) are written at once as before.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/byte_buf.h"
#include "broker/state.h"
#include "os/socket.h"

namespace bvm {

struct subscription;
struct mqtt_session;
struct ws_inflate_stream;

// Inbound buffer sizes: 4096 at accept, never more than 1 MiB + 4096, which
// holds the largest packet (1 MiB Remaining Length plus its fixed header).
inline constexpr size_t IN_BUF_INITIAL = 4096;
inline constexpr size_t IN_BUF_LIMIT = 1052672;
// Output piling up past this (behind earlier packets the socket did not
// take) marks the client closing as a broken connection.
inline constexpr size_t MAX_PENDING_OUTPUT = size_t{8} * 1024 * 1024;

struct mqtt_client {
  mqtt_client() = default;
  ~mqtt_client();
  mqtt_client(const mqtt_client&) = delete;
  mqtt_client& operator=(const mqtt_client&) = delete;

  // The fields the loop reads for every client in every iteration come
  // first, together, so that a walk over the list touches one or two cache
  // lines per record instead of one per field.
  mqtt_client* next = nullptr;
  os::unique_fd sock;  // invalid once closed
  uint8_t closing = 0;
  uint8_t connected = 0;
  uint8_t is_websocket = 0;
  uint8_t out_broken = 0;  // a write failed hard: further output is dropped
  uint8_t out_queued = 0;  // out_buf holds bytes batched but not yet offered to the socket
  // Loop bookkeeping (network thread).
  uint8_t ready_in = 0;        // readable in this iteration
  uint8_t ready_out = 0;       // writable in this iteration
  uint8_t resume = 0;          // complete input left unprocessed: service without waiting
  uint32_t poll_interest = 0;  // events registered with the poller
  int32_t keep_alive = 0;      // seconds; 0 = not enforced
  int64_t last_activity = 0;   // monotonic milliseconds of the accept or the last receive
  // Send path.
  byte_buf out_buf;    // bytes accepted for sending, not yet written
  size_t out_off = 0;  // bytes of out_buf already written

  char client_id[128] = {};
  char username[128] = {};
  int32_t protocol_level = 0;  // 4, 5, or 0 before CONNECT
  uint8_t ws_handshake_done = 0;
  byte_buf in_buf;                  // received bytes not yet consumed (raw frames for WebSocket)
  subscription* subs = nullptr;     // owned; on loan from the session while bound
  mqtt_session* session = nullptr;  // not owned
  uint8_t will_flag = 0;
  char will_topic[256] = {};
  byte_buf will_payload;  // copy with a NUL after it
  int32_t will_qos = 0;
  int32_t will_retain = 0;

  // WebSocket state.
  byte_buf ws_frag_buf;  // uncompressed message being reassembled
  int32_t ws_frag_opcode = 0;
  uint8_t ws_in_fragment = 0;
  uint8_t ws_deflate = 0;
  char ws_protocol[32] = {};
  uint8_t ws_protocol_mqtt = 0;
  byte_buf ws_data;  // MQTT bytes unwrapped from frames, not yet consumed
  uint8_t ws_frag_compressed = 0;
  ws_inflate_stream* ws_inflate = nullptr;  // owned; created on the first compressed frame
  uint8_t ws_msg_compressed = 0;

  size_t pending_output() const noexcept { return out_buf.size() - out_off; }
  bool live() const noexcept { return sock.valid() && closing == 0; }
};

// A new record for an accepted socket, with its 4096-byte input buffer; null
// when memory is short (the caller closes the socket).
mqtt_client* client_create(os::unique_fd sock, bool websocket) noexcept;

// Tears a record down: closes the socket, publishes an armed will, detaches
// the session and frees the record. The caller has unlinked it.
void free_client(mqtt_client* c) noexcept REQUIRES(s_mutex);

// Inserts at the head of s_clients.
void client_list_insert(mqtt_client* c) noexcept REQUIRES(s_mutex);
// Unlinks c from s_clients (no-op if absent).
void client_list_unlink(mqtt_client* c) noexcept REQUIRES(s_mutex);
int client_count() noexcept REQUIRES(s_mutex);

// Sends one complete MQTT packet (framed first for a WebSocket client).
// Ignores a null client and one whose socket is closed; never blocks.
void client_send_packet(mqtt_client* c, const uint8_t* bytes, size_t len) noexcept
    REQUIRES(s_mutex);

// Queues raw bytes (already framed) behind the pending output and writes
// what the socket takes (in a batch: at the end of it). A packet that would
// push the pending output past MAX_PENDING_OUTPUT marks the client closing
// instead (its will stays armed); pending output is what the socket has not
// taken, so batched bytes are offered to it before a packet is refused.
// Returns false when the bytes were not accepted.
bool client_write(mqtt_client* c, const uint8_t* bytes, size_t len) noexcept REQUIRES(s_mutex);

// The same for a packet in two pieces (a frame header and its payload),
// which leave together as if they were one buffer.
bool client_write_parts(mqtt_client* c, const uint8_t* head, size_t head_len, const uint8_t* body,
                        size_t body_len) noexcept REQUIRES(s_mutex);

// Writes pending output now, as far as the socket takes it.
void client_flush(mqtt_client* c) noexcept REQUIRES(s_mutex);

// A batch spans one loop iteration of the network thread, which holds
// s_mutex throughout, so no other thread ever writes inside one. While it
// is open, client_write only queues and sets `out_queued`; before ending it
// the loop flushes every client with `out_queued` set.
void client_batch_begin() noexcept REQUIRES(s_mutex);
void client_batch_end() noexcept REQUIRES(s_mutex);

}  // namespace bvm
