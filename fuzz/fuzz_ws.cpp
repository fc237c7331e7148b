// The WebSocket path: the upgrade request parser, the frame reader with the
// MQTT packets it unwraps, the inflater (deflate bombs included) and the
// deflate/frame builder of outgoing packets.
//
// Input: one set-up byte; its low two bits pick the mode.
//   0  handshake: the rest is a request head, parsed on its own.
//   1  client: chunks (length byte b, then b + 1 bytes; 255: the rest), each
//      one receive on a WebSocket client record, serviced as the loop does.
//      Bit 2: the handshake is already done; bit 3: with permessage-deflate;
//      bit 4: the MQTT CONNECT is already accepted; bit 5: only the frame
//      reader runs (ws_read_frames), not the packet layer.
//   2  inflate: a 16-bit output cap (0: the connection's cap), then frames:
//      a control byte (bit 0: final frame of a message, bit 1: the consumer
//      takes the output), then a chunk.
//   3  round trip: the rest is one packet; deflated and inflated again, and
//      framed (bit 2: compressed) and read back.
#include <cstring>
#include <memory>
#include <string_view>

#include "base/byte_buf.h"
#include "base/text.h"
#include "broker_checks.h"
#include "fuzz_support.h"
#include "net/client.h"
#include "net/ws_deflate.h"
#include "net/ws_frames.h"
#include "net/ws_handshake.h"

namespace {

using namespace bvm;

constexpr std::string_view HEAD_END = "\r\n\r\n";
constexpr std::string_view SWITCHING = "HTTP/1.1 101 Switching Protocols\r\n";

std::unique_ptr<uint8_t[]> exact_copy(const uint8_t* p, size_t n) {
  auto copy = std::make_unique<uint8_t[]>(n == 0 ? 1 : n);
  if (n > 0) std::memcpy(copy.get(), p, n);
  return copy;
}

size_t find_head_end(const uint8_t* p, size_t n) {
  return std::string_view(reinterpret_cast<const char*>(p), n).find(HEAD_END);
}

void fuzz_handshake(const uint8_t* p, size_t n) {
  auto buf = exact_copy(p, n);
  ws_handshake_answer answer;
  ws_handshake_status status = ws_parse_handshake(buf.get(), n, &answer);
  size_t end = find_head_end(p, n);
  switch (status) {
    case ws_handshake_status::wait:
      FUZZ_CHECK(end == std::string_view::npos && n <= WS_MAX_REQUEST_HEAD);
      return;
    case ws_handshake_status::fail:
      FUZZ_CHECK(end != std::string_view::npos || n > WS_MAX_REQUEST_HEAD);
      return;
    case ws_handshake_status::done:
      break;
  }
  FUZZ_CHECK(end != std::string_view::npos && answer.request_len == end + HEAD_END.size());
  FUZZ_CHECK(answer.response_len < sizeof answer.response);
  FUZZ_CHECK(answer.response_len == std::strlen(answer.response));
  std::string_view response(answer.response, answer.response_len);
  FUZZ_CHECK(response.substr(0, SWITCHING.size()) == SWITCHING);
  FUZZ_CHECK(response.size() >= HEAD_END.size() &&
             response.substr(response.size() - HEAD_END.size()) == HEAD_END);
  // Bytes after the request (the first frames) change nothing.
  auto head = exact_copy(p, answer.request_len);
  ws_handshake_answer again;
  FUZZ_CHECK(ws_parse_handshake(head.get(), answer.request_len, &again) ==
             ws_handshake_status::done);
  FUZZ_CHECK(again.response_len == answer.response_len &&
             std::memcmp(again.response, answer.response, answer.response_len) == 0);
}

// True when the frame reader, given this client's state, can act on the
// front of buf without more bytes: a complete frame, or a header it refuses.
bool frame_actionable(const mqtt_client& c) {
  const uint8_t* p = c.in_buf.data();
  size_t n = c.in_buf.size();
  if (n < 2) return false;
  if ((p[1] & 0x80) == 0) return true;  // unmasked
  uint64_t len = p[1] & 0x7F;
  size_t header = 6;
  if (len == 126) {
    if (n < 4) return false;
    len = uint64_t{p[2]} << 8 | p[3];
    header = 8;
  } else if (len == 127) {
    if (n < 10) return false;
    len = 0;
    for (int i = 2; i < 10; ++i) len = len << 8 | p[i];
    header = 14;
  }
  if (len > WS_BUFFER_LIMIT - header) return true;
  bool fin = (p[0] & 0x80) != 0;
  bool rsv1 = (p[0] & 0x40) != 0;
  uint8_t opcode = p[0] & 0x0F;
  if ((p[0] & 0x30) != 0) return true;
  if (rsv1 && (c.ws_deflate == 0 || opcode < 1 || opcode > 7 || c.ws_in_fragment != 0)) {
    return true;
  }
  if (opcode >= 8 && !fin) return true;
  return n >= header + len;
}

void fuzz_client(uint8_t flags, fuzz::cursor& in) {
  const bool handshake_done = (flags & 0x04) != 0;
  const bool reader_only = handshake_done && (flags & 0x20) != 0;
  fuzz::socket_pair pair;
  lock_guard lock(s_mutex);
  mqtt_client* c = client_create(os::unique_fd(pair.release_ours()), true);
  FUZZ_CHECK(c != nullptr);
  if (handshake_done) {
    c->ws_handshake_done = 1;
    c->ws_deflate = (flags & 0x08) != 0 ? 1 : 0;
  }
  if ((flags & 0x10) != 0) {
    c->connected = 1;
    c->protocol_level = 4;
    copy_text(c->client_id, "w");
  }
  client_list_insert(c);

  while (!in.done() && c->closing == 0) {
    size_t n = 0;
    const uint8_t* p = in.chunk(&n);
    if (c->in_buf.size() + n > IN_BUF_LIMIT || !c->in_buf.append(p, n)) break;
    FUZZ_CHECK(c->in_buf.reserve_exact(c->in_buf.size()));
    if (reader_only) {
      ws_read_result r;
      while ((r = ws_read_frames(c)) == ws_read_result::message_done) {
        // A consumer takes the stream now and then, so the cap is met
        // only by what the frames themselves carry.
        if ((c->ws_data.size() & 1) != 0) c->ws_data.clear();
      }
      FUZZ_CHECK((r == ws_read_result::failed) == (c->closing != 0));
    } else {
      // The loop services the client again while it asks to resume.
      int rounds = 0;
      do {
        ws_service(c);
        FUZZ_CHECK(++rounds < 100000);
      } while (c->resume != 0 && c->closing == 0);
    }
    client_flush(c);
    pair.drain();
    fuzz::check_broker_state();
    if (c->closing != 0) break;
    if (c->ws_handshake_done == 0) {
      // Still waiting: no complete head yet, and not more than a head may be.
      FUZZ_CHECK(c->in_buf.size() <= WS_MAX_REQUEST_HEAD);
      FUZZ_CHECK(find_head_end(c->in_buf.data(), c->in_buf.size()) == std::string_view::npos);
    } else {
      FUZZ_CHECK(!frame_actionable(*c));
      if (!reader_only) {
        FUZZ_CHECK(fuzz::front_packet_size(c->ws_data.data(), c->ws_data.size()) == 0);
      }
    }
  }
  fuzz::reset_broker_state();
  FUZZ_CHECK(pair.given_closed());
}

void fuzz_inflate(fuzz::cursor& in) {
  size_t limit = in.u16();
  if (limit == 0) limit = WS_BUFFER_LIMIT;
  ws_inflate_stream* s = ws_inflate_create();
  FUZZ_CHECK(s != nullptr);
  byte_buf out;
  while (!in.done()) {
    uint8_t control = in.byte();
    size_t n = 0;
    const uint8_t* p = in.chunk(&n);
    byte_buf frame;
    FUZZ_CHECK(frame.reserve_exact(n + sizeof WS_DEFLATE_TRAILER));
    frame.append_within_capacity(p, n);
    if ((control & 1) != 0) {
      frame.append_within_capacity(WS_DEFLATE_TRAILER, sizeof WS_DEFLATE_TRAILER);
    }
    bool ok = ws_inflate_append(s, frame.data(), frame.size(), &out, limit);
    FUZZ_CHECK(out.size() <= limit);
    FUZZ_CHECK(out.capacity() <= limit);
    if (!ok) break;
    if ((control & 2) != 0) out.clear();
  }
  ws_inflate_free(s);
}

// Inflates a compressed message (without its trailer) with a fresh stream.
bool inflate_message(const uint8_t* p, size_t n, byte_buf* out) {
  ws_inflate_stream* s = ws_inflate_create();
  FUZZ_CHECK(s != nullptr);
  byte_buf frame;
  FUZZ_CHECK(frame.reserve_exact(n + sizeof WS_DEFLATE_TRAILER));
  frame.append_within_capacity(p, n);
  frame.append_within_capacity(WS_DEFLATE_TRAILER, sizeof WS_DEFLATE_TRAILER);
  bool ok = ws_inflate_append(s, frame.data(), frame.size(), out, WS_BUFFER_LIMIT);
  ws_inflate_free(s);
  return ok;
}

bool same(const byte_buf& b, const uint8_t* p, size_t n) {
  return b.size() == n && (n == 0 || std::memcmp(b.data(), p, n) == 0);
}

void fuzz_round_trip(uint8_t flags, fuzz::cursor& in) {
  const uint8_t* p = in.data + in.pos;
  size_t n = in.left();
  size_t headroom = (flags >> 3) & 15;
  byte_buf packed;
  if (ws_deflate_packet(p, n, headroom, &packed)) {
    FUZZ_CHECK(packed.size() >= headroom);
    byte_buf back;
    FUZZ_CHECK(inflate_message(packed.data() + headroom, packed.size() - headroom, &back));
    FUZZ_CHECK(same(back, p, n));
  }
  ws_frame frame;
  if (!ws_build_frame(p, n, (flags & 0x04) != 0, &frame)) return;
  const uint8_t* f = frame.data();
  size_t size = frame.size();
  FUZZ_CHECK(size >= 2);
  FUZZ_CHECK(f[0] == 0x82 || f[0] == 0xC2);
  FUZZ_CHECK((f[1] & 0x80) == 0);  // never masked
  uint64_t len = f[1] & 0x7F;
  size_t header = 2;
  if (len == 126) {
    len = uint64_t{f[2]} << 8 | f[3];
    header = 4;
    FUZZ_CHECK(len > 125);
  } else if (len == 127) {
    len = 0;
    for (int i = 2; i < 10; ++i) len = len << 8 | f[i];
    header = 10;
    FUZZ_CHECK(len > 0xFFFF);
  }
  FUZZ_CHECK(header + len == size);
  if (f[0] == 0x82) {
    FUZZ_CHECK(len == n && (n == 0 || std::memcmp(f + header, p, n) == 0));
  } else {
    FUZZ_CHECK(n > 0);
    byte_buf back;
    FUZZ_CHECK(inflate_message(f + header, static_cast<size_t>(len), &back));
    FUZZ_CHECK(same(back, p, n));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fuzz::cursor in{data, size};
  uint8_t flags = in.byte();
  switch (flags & 3) {
    case 0:
      fuzz_handshake(data + 1, size - 1);
      break;
    case 1:
      fuzz_client(flags, in);
      break;
    case 2:
      fuzz_inflate(in);
      break;
    default:
      fuzz_round_trip(flags, in);
      break;
  }
  return 0;
}
