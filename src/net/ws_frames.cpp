// The WebSocket frame reader and framed sending.
//
// The reader consumes whole frames from the front of `in_buf`; a frame
// stays there untouched until all of its bytes have arrived, so a stream cut
// at any point gives the same result. Within one call the consumed bytes
// are tracked as an offset and removed once at the end: a buffer full of
// tiny frames costs one move, not one per frame.
#include "net/ws_frames.h"

#include <cstring>

#include "base/no_destructor.h"
#include "broker/last_error.h"
#include "mqtt/codec.h"
#include "net/client.h"
#include "net/ws_deflate.h"
#include "net/ws_handshake.h"

namespace bvm {
namespace {

constexpr uint8_t OP_CONTINUATION = 0;
constexpr uint8_t OP_BINARY = 2;
constexpr uint8_t OP_LAST_DATA = 7;
constexpr uint8_t OP_CLOSE = 8;
constexpr uint8_t OP_PING = 9;
constexpr uint8_t FIRST_PONG = 0x8A;
constexpr uint8_t FIRST_BINARY = 0x82;
constexpr uint8_t FIRST_COMPRESSED_BINARY = 0xC2;
// Close frame with status 1002 (protocol error), sent to a client whose
// frames are not masked.
constexpr uint8_t CLOSE_PROTOCOL_ERROR[4] = {0x88, 0x02, 0x03, 0xEA};
// First size of `ws_data` when an uncompressed message is appended.
constexpr size_t WS_DATA_FIRST_SIZE = 4096;

// Scratch buffers of the inflate and send paths, kept from call to call so
// that neither allocates per frame. Guarded by s_mutex (every send and every
// read holds it); never destroyed, since a network thread may still use them
// at exit; emptied at broker stop.
struct ws_scratch {
  byte_buf unmasked;  // a compressed frame's payload, unmasked, plus the trailer
  byte_buf frame;     // an outgoing compressed frame
};

ws_scratch& scratch() noexcept {
  static no_destructor<ws_scratch> s;
  return *s;
}

// A scratch buffer that grew for one large frame does not keep the memory.
constexpr size_t SCRATCH_KEPT = size_t{256} * 1024;

void trim_scratch(byte_buf* b) noexcept {
  if (b->capacity() > SCRATCH_KEPT) b->reset();
}

// Writes the header of an unmasked, unfragmented frame with an n-byte
// payload to head (WS_MAX_SEND_HEADER bytes of room); returns its length.
size_t put_send_header(uint8_t first, size_t n, uint8_t* head) noexcept {
  size_t h = 0;
  head[h++] = first;
  if (n <= 125) {
    head[h++] = static_cast<uint8_t>(n);
  } else if (n <= 0xFFFF) {
    head[h++] = 126;
    head[h++] = static_cast<uint8_t>(n >> 8);
    head[h++] = static_cast<uint8_t>(n);
  } else {
    head[h++] = 127;
    for (int shift = 56; shift >= 0; shift -= 8) {
      head[h++] = static_cast<uint8_t>(static_cast<uint64_t>(n) >> shift);
    }
  }
  return h;
}

// Compresses the packet into b after WS_MAX_SEND_HEADER bytes of headroom
// and puts the C2 header right in front of the payload; returns where the
// frame starts, or false when it does not compress (b is then undefined).
bool build_compressed(const uint8_t* bytes, size_t len, byte_buf* b, size_t* start) noexcept {
  if (!ws_deflate_packet(bytes, len, WS_MAX_SEND_HEADER, b)) return false;
  uint8_t head[WS_MAX_SEND_HEADER];
  size_t h = put_send_header(FIRST_COMPRESSED_BINARY, b->size() - WS_MAX_SEND_HEADER, head);
  *start = WS_MAX_SEND_HEADER - h;
  std::memcpy(b->data() + *start, head, h);
  return true;
}

struct frame_head {
  bool fin = false;
  bool rsv1 = false;
  bool rsv2 = false;
  bool rsv3 = false;
  bool masked = false;
  uint8_t opcode = 0;
  size_t header_len = 0;  // mask key included
  uint64_t payload_len = 0;
};

// Decodes the header at p (avail >= 2 bytes). False when the extended length
// is not complete yet; for an unmasked frame only the first two bytes count.
bool decode_head(const uint8_t* p, size_t avail, frame_head* h) noexcept {
  h->fin = (p[0] & 0x80) != 0;
  h->rsv1 = (p[0] & 0x40) != 0;
  h->rsv2 = (p[0] & 0x20) != 0;
  h->rsv3 = (p[0] & 0x10) != 0;
  h->opcode = p[0] & 0x0F;
  h->masked = (p[1] & 0x80) != 0;
  if (!h->masked) return true;
  uint8_t len7 = p[1] & 0x7F;
  if (len7 <= 125) {
    h->payload_len = len7;
    h->header_len = 6;
  } else if (len7 == 126) {
    if (avail < 4) return false;
    h->payload_len = (uint64_t{p[2]} << 8) | p[3];
    h->header_len = 8;
  } else {
    if (avail < 10) return false;
    uint64_t v = 0;
    for (int i = 2; i < 10; ++i) v = (v << 8) | p[i];
    h->payload_len = v;
    h->header_len = 14;
  }
  return true;
}

// A frame longer than the input buffer can never complete; refusing it when
// its length is read also keeps header + length from wrapping.
bool too_long(const frame_head& h) noexcept {
  return h.payload_len > WS_BUFFER_LIMIT - h.header_len;
}

void unmask_into(uint8_t* dst, const uint8_t* src, size_t n, const uint8_t* key) noexcept {
  for (size_t i = 0; i < n; ++i) dst[i] = static_cast<uint8_t>(src[i] ^ key[i & 3]);
}

// Appends the unmasked payload to buf, which has room for it.
void append_unmasked(byte_buf* buf, const uint8_t* src, size_t n, const uint8_t* key) noexcept {
  unmask_into(buf->data() + buf->size(), src, n, key);
  buf->set_size(buf->size() + n);
}

ws_read_result fail(mqtt_client* c) noexcept {
  c->closing = 1;
  return ws_read_result::failed;
}

// Room in `ws_data` for add more bytes of an uncompressed message: doubling
// from 4096, or twice what is needed, never past the cap.
bool reserve_ws_data(byte_buf* d, size_t add) noexcept {
  size_t need = d->size() + add;
  if (need > WS_BUFFER_LIMIT) return false;
  if (need <= d->capacity()) return true;
  size_t want = d->capacity() == 0 ? WS_DATA_FIRST_SIZE : d->capacity() * 2;
  if (want < need) want = need * 2;
  if (want > WS_BUFFER_LIMIT) want = WS_BUFFER_LIMIT;
  return d->reserve_exact(want);
}

void answer_ping(mqtt_client* c, const uint8_t* payload, size_t n, const uint8_t* key) noexcept
    REQUIRES(s_mutex) {
  // A longer ping is not a valid control frame; it gets no answer.
  if (n > WS_MAX_PING_ANSWERED) return;
  uint8_t pong[2 + WS_MAX_PING_ANSWERED];
  pong[0] = FIRST_PONG;
  pong[1] = static_cast<uint8_t>(n);
  unmask_into(pong + 2, payload, n, key);
  client_write(c, pong, 2 + n);
}

// Inflates one frame of a compressed message straight into `ws_data`. The
// payload is unmasked into a copy 4 bytes longer, so the sync-flush trailer
// can follow it on the message's final frame.
bool inflate_frame(mqtt_client* c, const uint8_t* payload, size_t n, const uint8_t* key,
                   bool fin) noexcept REQUIRES(s_mutex) {
  byte_buf& copy = scratch().unmasked;
  copy.clear();
  size_t need = n + sizeof WS_DEFLATE_TRAILER;
  if (need > copy.capacity() && !copy.reserve_exact(need)) return false;
  append_unmasked(&copy, payload, n, key);
  c->ws_msg_compressed = 1;
  if (c->ws_inflate == nullptr) {
    c->ws_inflate = ws_inflate_create();
    if (c->ws_inflate == nullptr) return false;
  }
  if (fin) copy.append_within_capacity(WS_DEFLATE_TRAILER, sizeof WS_DEFLATE_TRAILER);
  bool ok =
      ws_inflate_append(c->ws_inflate, copy.data(), copy.size(), &c->ws_data, WS_BUFFER_LIMIT);
  trim_scratch(&copy);
  if (!ok) {
    set_last_error("WS permessage-deflate inflate error");
    c->ws_data.reset();
    ws_inflate_free(c->ws_inflate);
    c->ws_inflate = nullptr;
    return false;
  }
  return true;
}

// One data frame of an uncompressed message: reassembled in `ws_frag_buf`,
// moved to `ws_data` at FIN. A message in a single frame is unmasked
// straight into `ws_data`, under the same caps.
bool take_plain_frame(mqtt_client* c, const uint8_t* payload, size_t n, const uint8_t* key,
                      bool fin) noexcept {
  byte_buf& frag = c->ws_frag_buf;
  if (frag.size() + n > WS_BUFFER_LIMIT) return false;
  if (fin && frag.size() == 0) {
    if (!reserve_ws_data(&c->ws_data, n)) return false;
    append_unmasked(&c->ws_data, payload, n, key);
    frag.reset();
    return true;
  }
  size_t total = frag.size() + n;
  if (total > frag.capacity()) {
    size_t want = total * 2 < WS_BUFFER_LIMIT ? total * 2 : WS_BUFFER_LIMIT;
    if (!frag.reserve_exact(want)) return false;
  }
  append_unmasked(&frag, payload, n, key);
  if (!fin) return true;
  bool ok = reserve_ws_data(&c->ws_data, frag.size());
  if (ok) c->ws_data.append_within_capacity(frag.data(), frag.size());
  frag.reset();
  return ok;
}

// Reads frames from in_buf[*off...] (see ws_read_frames), advancing *off
// past every frame it consumed.
ws_read_result read_frames(mqtt_client* c, size_t* off) noexcept REQUIRES(s_mutex) {
  for (;;) {
    size_t avail = c->in_buf.size() - *off;
    if (avail < 2) return ws_read_result::need_more;
    const uint8_t* p = c->in_buf.data() + *off;
    frame_head h;
    if (!decode_head(p, avail, &h)) return ws_read_result::need_more;
    if (!h.masked) {
      client_write(c, CLOSE_PROTOCOL_ERROR, sizeof CLOSE_PROTOCOL_ERROR);
      return fail(c);
    }
    if (too_long(h)) return fail(c);
    if (h.rsv2 || h.rsv3) return fail(c);
    // RSV1 marks the first frame of a compressed message, nothing else.
    if (h.rsv1 &&
        (c->ws_deflate == 0 || h.opcode < 1 || h.opcode > OP_LAST_DATA || c->ws_in_fragment != 0)) {
      return fail(c);
    }
    if (h.opcode >= OP_CLOSE && !h.fin) return fail(c);
    size_t n = static_cast<size_t>(h.payload_len);  // bounded by too_long
    if (avail < h.header_len + n) return ws_read_result::need_more;
    const uint8_t* key = p + h.header_len - 4;
    const uint8_t* payload = p + h.header_len;

    if (h.opcode >= OP_CLOSE) {
      // The close is not answered; pongs and reserved control frames are dropped.
      if (h.opcode == OP_CLOSE) return fail(c);
      if (h.opcode == OP_PING) answer_ping(c, payload, n, key);
      *off += h.header_len + n;
      continue;
    }
    if (h.opcode == OP_CONTINUATION) {
      if (c->ws_in_fragment == 0) return fail(c);
    } else {
      // A new data message; an unfinished uncompressed one is dropped.
      c->ws_frag_buf.reset();
      c->ws_in_fragment = h.fin ? 0 : 1;
      c->ws_frag_compressed = h.rsv1 ? 1 : 0;
      c->ws_frag_opcode = h.opcode == OP_BINARY ? 2 : 1;
    }
    bool ok = c->ws_frag_compressed != 0 ? inflate_frame(c, payload, n, key, h.fin)
                                         : take_plain_frame(c, payload, n, key, h.fin);
    if (!ok) {
      c->ws_frag_buf.reset();
      c->ws_in_fragment = 0;
      c->ws_frag_compressed = 0;
      return fail(c);
    }
    *off += h.header_len + n;
    if (h.fin) {
      c->ws_in_fragment = 0;
      c->ws_frag_compressed = 0;
      c->ws_msg_compressed = 0;
      return ws_read_result::message_done;
    }
  }
}

// True when the frame at the front of buf can be handled without more
// bytes (complete, or failing on what is already there).
bool frame_ready(const byte_buf& buf) noexcept {
  if (buf.size() < 2) return false;
  frame_head h;
  if (!decode_head(buf.data(), buf.size(), &h)) return false;
  if (!h.masked || too_long(h)) return true;
  return buf.size() >= h.header_len + h.payload_len;
}

}  // namespace

ws_read_result ws_read_frames(mqtt_client* c) noexcept {
  size_t off = 0;
  ws_read_result r = read_frames(c, &off);
  c->in_buf.consume_front(off);
  return r;
}

void ws_process_frames(mqtt_client* c) noexcept {
  c->resume = 0;
  size_t off = 0;
  bool at_limit = false;
  for (int pass = 1;; ++pass) {
    size_t before = off;
    if (read_frames(c, &off) == ws_read_result::failed) break;
    cut_packets(c, &c->ws_data, true);
    if (off == before || c->closing != 0 || off == c->in_buf.size()) break;
    if (pass == WS_MAX_PASSES) {
      at_limit = true;
      break;
    }
  }
  c->in_buf.consume_front(off);
  // Complete frames left at the pass limit are read in the next loop
  // iteration, without waiting for the client to send more.
  if (at_limit && c->closing == 0 && frame_ready(c->in_buf)) c->resume = 1;
}

void ws_service(mqtt_client* c) noexcept {
  c->resume = 0;
  if (c->closing != 0) return;
  if (c->ws_handshake_done == 0) {
    ws_process_handshake(c);
    return;
  }
  ws_process_frames(c);
}

bool ws_build_frame(const uint8_t* bytes, size_t len, bool deflate, ws_frame* out) noexcept {
  byte_buf& b = out->buf;
  // An empty packet is never compressed.
  if (deflate && len > 0 && build_compressed(bytes, len, &b, &out->start)) return true;
  b.clear();
  if (!b.reserve_exact(WS_MAX_SEND_HEADER + len)) return false;
  uint8_t head[WS_MAX_SEND_HEADER];
  size_t h = put_send_header(FIRST_BINARY, len, head);
  out->start = WS_MAX_SEND_HEADER - h;
  b.set_size(WS_MAX_SEND_HEADER);
  std::memcpy(b.data() + out->start, head, h);
  b.append_within_capacity(bytes, len);
  return true;
}

void ws_send_packet(mqtt_client* c, const uint8_t* bytes, size_t len) noexcept {
  if (c == nullptr || !c->sock.valid()) return;
  if (c->ws_deflate != 0 && len > 0) {
    byte_buf& b = scratch().frame;
    size_t start = 0;
    if (build_compressed(bytes, len, &b, &start)) {
      client_write(c, b.data() + start, b.size() - start);
      trim_scratch(&b);
      return;
    }
    trim_scratch(&b);
  }
  // Header and packet are queued together and leave in one write; without
  // memory for them the client is closed (the stream cannot go on without
  // the packet).
  uint8_t head[WS_MAX_SEND_HEADER];
  size_t h = put_send_header(FIRST_BINARY, len, head);
  client_write_parts(c, head, h, bytes, len);
}

void ws_release_scratch() noexcept {
  scratch().unmasked.reset();
  scratch().frame.reset();
  ws_deflate_release();
}

}  // namespace bvm
