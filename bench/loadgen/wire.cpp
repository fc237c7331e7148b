// MQTT packets, WebSocket client frames, SHA-1 and Base64 for the handshake,
// and the zlib streams of permessage-deflate.
#include "wire.h"

#include <sys/random.h>

#define ZLIB_CONST
#include <cstring>

#include <zlib.h>

namespace bvm::bench {

void append(bytes& out, const uint8_t* p, size_t n) {
  if (n == 0) return;
  size_t at = out.size();
  out.resize(at + n);
  std::memcpy(out.data() + at, p, n);
}

namespace {

void put_u8(bytes& out, uint8_t v) { out.push_back(v); }

void put_u16(bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v & 0xFF));
}

void put_varlen(bytes& out, size_t v) {
  do {
    auto b = static_cast<uint8_t>(v & 0x7F);
    v >>= 7;
    if (v > 0) b = static_cast<uint8_t>(b | 0x80);
    out.push_back(b);
  } while (v > 0);
}

void put_str(bytes& out, std::string_view s) {
  put_u16(out, static_cast<uint16_t>(s.size()));
  append(out, reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

}  // namespace

void encode_connect(bytes& out, std::string_view client_id, int level, uint16_t keep_alive) {
  size_t rl = 10 + (level == 5 ? 1 : 0) + 2 + client_id.size();
  put_u8(out, 0x10);
  put_varlen(out, rl);
  put_str(out, "MQTT");
  put_u8(out, static_cast<uint8_t>(level));
  put_u8(out, 0x02);  // clean session / clean start
  put_u16(out, keep_alive);
  if (level == 5) put_u8(out, 0);  // no properties
  put_str(out, client_id);
}

void encode_subscribe(bytes& out, uint16_t packet_id, std::string_view filter, int qos, int level) {
  size_t rl = 2 + (level == 5 ? 1 : 0) + 2 + filter.size() + 1;
  put_u8(out, 0x82);
  put_varlen(out, rl);
  put_u16(out, packet_id);
  if (level == 5) put_u8(out, 0);
  put_str(out, filter);
  put_u8(out, static_cast<uint8_t>(qos & 3));
}

void encode_publish(bytes& out, std::string_view topic, int qos, uint16_t packet_id, int level,
                    const uint8_t* payload, size_t payload_len) {
  size_t rl = 2 + topic.size() + (qos > 0 ? 2 : 0) + (level == 5 ? 1 : 0) + payload_len;
  // One resize and plain stores: this runs once per message sent.
  size_t at = out.size();
  out.resize(at + 5 + rl);
  uint8_t* p = out.data() + at;
  *p++ = static_cast<uint8_t>(0x30 | (qos << 1));
  size_t v = rl;
  do {
    auto b = static_cast<uint8_t>(v & 0x7F);
    v >>= 7;
    if (v > 0) b = static_cast<uint8_t>(b | 0x80);
    *p++ = b;
  } while (v > 0);
  *p++ = static_cast<uint8_t>(topic.size() >> 8);
  *p++ = static_cast<uint8_t>(topic.size() & 0xFF);
  std::memcpy(p, topic.data(), topic.size());
  p += topic.size();
  if (qos > 0) {
    *p++ = static_cast<uint8_t>(packet_id >> 8);
    *p++ = static_cast<uint8_t>(packet_id & 0xFF);
  }
  if (level == 5) *p++ = 0;
  if (payload_len > 0) std::memcpy(p, payload, payload_len);
  p += payload_len;
  out.resize(static_cast<size_t>(p - out.data()));
}

void encode_puback(bytes& out, uint16_t packet_id) {
  put_u8(out, 0x40);
  put_u8(out, 0x02);
  put_u16(out, packet_id);
}

void encode_pingreq(bytes& out) {
  put_u8(out, 0xC0);
  put_u8(out, 0x00);
}

void encode_disconnect(bytes& out) {
  put_u8(out, 0xE0);
  put_u8(out, 0x00);
}

cut_result mqtt_cut(const uint8_t* p, size_t n, mqtt_packet* pk, size_t* used) {
  if (n < 2) return cut_result::incomplete;
  size_t value = 0;
  size_t shift = 0;
  size_t i = 1;
  for (;; ++i) {
    if (i > 4) return cut_result::malformed;
    if (i >= n) return cut_result::incomplete;
    value |= static_cast<size_t>(p[i] & 0x7F) << shift;
    shift += 7;
    if ((p[i] & 0x80) == 0) break;
  }
  size_t header = i + 1;
  if (n - header < value) return cut_result::incomplete;
  pk->first = p[0];
  pk->body = p + header;
  pk->len = value;
  *used = header + value;
  return cut_result::packet;
}

bool parse_publish(const mqtt_packet& pk, int level, publish_view* out) {
  const uint8_t* d = pk.body;
  size_t n = pk.len;
  out->qos = (pk.first >> 1) & 3;
  out->dup = (pk.first & 0x08) != 0;
  if (n < 2) return false;
  size_t tl = static_cast<size_t>((d[0] << 8) | d[1]);
  size_t pos = 2 + tl;
  if (pos > n) return false;
  out->topic = std::string_view(reinterpret_cast<const char*>(d + 2), tl);
  out->packet_id = 0;
  if (out->qos > 0) {
    if (pos + 2 > n) return false;
    out->packet_id = static_cast<uint16_t>((d[pos] << 8) | d[pos + 1]);
    pos += 2;
  }
  if (level == 5) {
    size_t plen = 0;
    size_t shift = 0;
    for (int i = 0;; ++i) {
      if (i == 4 || pos >= n) return false;
      uint8_t b = d[pos++];
      plen |= static_cast<size_t>(b & 0x7F) << shift;
      shift += 7;
      if ((b & 0x80) == 0) break;
    }
    if (plen > n - pos) return false;
    pos += plen;
  }
  out->payload = d + pos;
  out->payload_len = n - pos;
  return true;
}

cut_result ws_cut_frame(const uint8_t* p, size_t n, ws_frame_view* f, size_t* used) {
  if (n < 2) return cut_result::incomplete;
  if ((p[1] & 0x80) != 0) return cut_result::malformed;  // servers never mask
  size_t len = p[1] & 0x7F;
  size_t header = 2;
  if (len == 126) {
    if (n < 4) return cut_result::incomplete;
    len = (static_cast<size_t>(p[2]) << 8) | p[3];
    header = 4;
  } else if (len == 127) {
    if (n < 10) return cut_result::incomplete;
    uint64_t v = 0;
    for (int i = 2; i < 10; ++i) v = (v << 8) | p[i];
    if (v > (uint64_t{1} << 32)) return cut_result::malformed;
    len = static_cast<size_t>(v);
    header = 10;
  }
  if (n - header < len) return cut_result::incomplete;
  f->fin = (p[0] & 0x80) != 0;
  f->rsv1 = (p[0] & 0x40) != 0;
  f->opcode = p[0] & 0x0F;
  f->payload = p + header;
  f->len = len;
  *used = header + len;
  return cut_result::packet;
}

void ws_put_frame(bytes& out, uint8_t opcode, bool rsv1, const uint8_t* payload, size_t n,
                  const uint8_t mask[4]) {
  size_t at = out.size();
  out.resize(at + 14 + n);
  uint8_t* p = out.data() + at;
  *p++ = static_cast<uint8_t>(0x80 | (rsv1 ? 0x40 : 0) | (opcode & 0x0F));
  if (n <= 125) {
    *p++ = static_cast<uint8_t>(0x80 | n);
  } else if (n <= 0xFFFF) {
    *p++ = 0x80 | 126;
    *p++ = static_cast<uint8_t>(n >> 8);
    *p++ = static_cast<uint8_t>(n & 0xFF);
  } else {
    *p++ = 0x80 | 127;
    for (int i = 7; i >= 0; --i) *p++ = static_cast<uint8_t>((uint64_t{n} >> (8 * i)) & 0xFF);
  }
  std::memcpy(p, mask, 4);
  p += 4;
  // Eight bytes at a time: masking is a large share of a small frame's cost.
  uint64_t m8;
  uint8_t m8b[8] = {mask[0], mask[1], mask[2], mask[3], mask[0], mask[1], mask[2], mask[3]};
  std::memcpy(&m8, m8b, 8);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, payload + i, 8);
    w ^= m8;
    std::memcpy(p + i, &w, 8);
  }
  for (; i < n; ++i) p[i] = static_cast<uint8_t>(payload[i] ^ mask[i & 3]);
  p += n;
  out.resize(static_cast<size_t>(p - out.data()));
}

void mask_source::next(uint8_t key[4]) {
  if (pos_ + 4 > sizeof pool_) {
    size_t got = 0;
    while (got < sizeof pool_) {
      ssize_t r = getrandom(pool_ + got, sizeof pool_ - got, 0);
      if (r > 0) got += static_cast<size_t>(r);
    }
    pos_ = 0;
  }
  std::memcpy(key, pool_ + pos_, 4);
  pos_ += 4;
}

namespace {

std::string base64(const uint8_t* p, size_t n) {
  static constexpr char A[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string s;
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v = static_cast<uint32_t>(p[i]) << 16;
    if (i + 1 < n) v |= static_cast<uint32_t>(p[i + 1]) << 8;
    if (i + 2 < n) v |= p[i + 2];
    s += A[(v >> 18) & 63];
    s += A[(v >> 12) & 63];
    s += i + 1 < n ? A[(v >> 6) & 63] : '=';
    s += i + 2 < n ? A[v & 63] : '=';
  }
  return s;
}

uint32_t rol(uint32_t v, int s) { return (v << s) | (v >> (32 - s)); }

void sha1(const uint8_t* data, size_t n, uint8_t digest[20]) {
  uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  bytes m(data, data + n);
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  uint64_t bits = uint64_t{n} * 8;
  for (int i = 7; i >= 0; --i) m.push_back(static_cast<uint8_t>((bits >> (8 * i)) & 0xFF));
  for (size_t off = 0; off < m.size(); off += 64) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
      const uint8_t* b = m.data() + off + 4 * static_cast<size_t>(i);
      w[i] = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    }
    for (int i = 16; i < 80; ++i) w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
      uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d);
        k = 0x5A827999;
      } else if (i < 40) {
        f = b ^ c ^ d;
        k = 0x6ED9EBA1;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d);
        k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d;
        k = 0xCA62C1D6;
      }
      uint32_t t = rol(a, 5) + f + e + k + w[i];
      e = d;
      d = c;
      c = rol(b, 30);
      b = a;
      a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<uint8_t>((h[i] >> (24 - 8 * j)) & 0xFF);
    }
  }
}

}  // namespace

std::string ws_new_key() {
  mask_source src;
  uint8_t raw[16];
  for (int i = 0; i < 4; ++i) src.next(raw + 4 * i);
  return base64(raw, sizeof raw);
}

std::string ws_accept_for(std::string_view key) {
  std::string s(key);
  s += "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  uint8_t d[20];
  sha1(reinterpret_cast<const uint8_t*>(s.data()), s.size(), d);
  return base64(d, sizeof d);
}

struct ws_deflate::streams {
  z_stream def{};
  z_stream inf{};
  bool def_ready = false;
  bool inf_ready = false;
};

ws_deflate::ws_deflate(int level) : z_(std::make_unique<streams>()) {
  z_->def_ready = deflateInit2(&z_->def, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  z_->inf_ready = inflateInit2(&z_->inf, -15) == Z_OK;
  ok_ = z_->def_ready && z_->inf_ready;
}

ws_deflate::~ws_deflate() {
  if (z_->def_ready) deflateEnd(&z_->def);
  if (z_->inf_ready) inflateEnd(&z_->inf);
}

bool ws_deflate::compress(const uint8_t* p, size_t n, bool reset_each, bytes& out) {
  z_stream& z = z_->def;
  if (reset_each) deflateReset(&z);
  out.resize(n + n / 8 + 64);
  z.next_in = p;
  z.avail_in = static_cast<uInt>(n);
  size_t produced = 0;
  for (;;) {
    z.next_out = out.data() + produced;
    z.avail_out = static_cast<uInt>(out.size() - produced);
    int r = deflate(&z, Z_SYNC_FLUSH);
    produced = out.size() - z.avail_out;
    if (r != Z_OK && r != Z_BUF_ERROR) return false;
    if (z.avail_in == 0 && z.avail_out > 0) break;
    out.resize(out.size() * 2);
  }
  out.resize(produced);
  if (produced >= 4 && out[produced - 4] == 0 && out[produced - 3] == 0 &&
      out[produced - 2] == 0xFF && out[produced - 1] == 0xFF) {
    out.resize(produced - 4);
  }
  return true;
}

bool ws_deflate::decompress(const uint8_t* p, size_t n, bytes& out) {
  static constexpr uint8_t TRAILER[4] = {0x00, 0x00, 0xFF, 0xFF};
  z_stream& z = z_->inf;
  for (int part = 0; part < 2; ++part) {
    z.next_in = part == 0 ? p : TRAILER;
    z.avail_in = static_cast<uInt>(part == 0 ? n : sizeof TRAILER);
    // Until the input is used up and zlib had output room to spare, so no
    // inflated bytes stay inside the stream.
    for (;;) {
      size_t at = out.size();
      size_t room = 4 * z.avail_in + 1024;
      out.resize(at + room);
      z.next_out = out.data() + at;
      z.avail_out = static_cast<uInt>(room);
      int r = inflate(&z, Z_SYNC_FLUSH);
      out.resize(at + room - z.avail_out);
      if (r == Z_STREAM_END) {
        inflateReset(&z);
        break;
      }
      if (r != Z_OK && r != Z_BUF_ERROR) return false;
      if (z.avail_in == 0 && z.avail_out > 0) break;
      if (r == Z_BUF_ERROR && z.avail_out > 0) return false;
    }
  }
  return true;
}

}  // namespace bvm::bench
