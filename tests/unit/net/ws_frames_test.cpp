// The WebSocket frame reader on a detached client record (no socket):
// published frames, the failure rows, fragmentation, the buffer caps,
// compressed messages with context takeover, the pass limit, and the same
// byte stream cut at every position.
#include "net/ws_frames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "broker/last_error.h"
#include "broker/state.h"
#include "mqtt/codec.h"
#include "net/client.h"
#include "net/ws_deflate.h"
#include "net/ws_handshake.h"

namespace bvm {
namespace {

using bytes = std::vector<uint8_t>;

bytes hex(std::string_view text) {
  bytes out;
  int hi = -1;
  for (char ch : text) {
    int v;
    if (ch >= '0' && ch <= '9')
      v = ch - '0';
    else if (ch >= 'a' && ch <= 'f')
      v = ch - 'a' + 10;
    else if (ch >= 'A' && ch <= 'F')
      v = ch - 'A' + 10;
    else
      continue;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<uint8_t>(hi * 16 + v));
      hi = -1;
    }
  }
  return out;
}

bytes text(std::string_view s) { return bytes(s.begin(), s.end()); }

bytes operator+(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// count copies of f.
bytes repeated(const bytes& f, int count) {
  bytes out;
  for (int i = 0; i < count; ++i) out.insert(out.end(), f.begin(), f.end());
  return out;
}

// A masked client frame. form 0 picks the shortest length encoding; 126 or
// 127 force the 16 or 64-bit one.
bytes frame(uint8_t first, const bytes& payload, uint8_t key_seed = 0x37, int form = 0) {
  const uint8_t key[4] = {key_seed, static_cast<uint8_t>(key_seed * 3 + 1),
                          static_cast<uint8_t>(key_seed ^ 0x5A), 0xC3};
  bytes f{first};
  size_t n = payload.size();
  if (form == 0) form = n <= 125 ? 0 : n <= 0xFFFF ? 126 : 127;
  if (form == 0) {
    f.push_back(static_cast<uint8_t>(0x80 | n));
  } else if (form == 126) {
    f.push_back(0x80 | 126);
    f.push_back(static_cast<uint8_t>(n >> 8));
    f.push_back(static_cast<uint8_t>(n));
  } else {
    f.push_back(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8) {
      f.push_back(static_cast<uint8_t>(static_cast<uint64_t>(n) >> shift));
    }
  }
  f.insert(f.end(), key, key + 4);
  for (size_t i = 0; i < n; ++i) f.push_back(static_cast<uint8_t>(payload[i] ^ key[i & 3]));
  return f;
}

std::string as_string(const byte_buf& b) {
  if (b.size() == 0) return {};
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

bytes deflated(const bytes& packet) {
  byte_buf out;
  EXPECT_TRUE(ws_deflate_packet(packet.data(), packet.size(), 0, &out));
  return bytes(out.data(), out.data() + out.size());
}

class WsReader : public ::testing::Test {
 protected:
  void SetUp() override { c.ws_handshake_done = 1; }
  void feed(const bytes& b) { ASSERT_TRUE(c.in_buf.append(b.data(), b.size())); }
  // Reads whole messages until the reader needs more bytes or fails.
  ws_read_result drain() {
    ws_read_result r;
    while ((r = ws_read_frames(&c)) == ws_read_result::message_done) {
    }
    return r;
  }
  std::string data() const { return as_string(c.ws_data); }

  lock_guard lock{s_mutex};
  mqtt_client c;
};

TEST_F(WsReader, MaskedHelloOfRfc6455) {
  feed(hex("81 85 37 fa 21 3d 7f 9f 4d 51 58"));
  EXPECT_EQ(ws_read_frames(&c), ws_read_result::message_done);
  EXPECT_EQ(data(), "Hello");
  EXPECT_EQ(c.in_buf.size(), 0u);
  EXPECT_EQ(c.closing, 0);
}

TEST_F(WsReader, EveryLengthEncodingCarriesItsPayload) {
  struct row {
    size_t n;
    int form;
  };
  const row rows[] = {{0, 0},     {1, 0},   {125, 0}, {126, 0},  {65535, 0},
                      {65536, 0}, {5, 126}, {5, 127}, {300, 127}};
  std::string expected;
  for (const row& r : rows) {
    bytes payload(r.n);
    for (size_t i = 0; i < r.n; ++i) payload[i] = static_cast<uint8_t>(i * 7 + r.n);
    feed(frame(0x82, payload, static_cast<uint8_t>(r.n), r.form));
    expected.append(payload.begin(), payload.end());
  }
  EXPECT_EQ(drain(), ws_read_result::need_more);
  EXPECT_EQ(data(), expected);
  EXPECT_EQ(c.in_buf.size(), 0u);
}

TEST_F(WsReader, FragmentsAreJoinedAroundControlFrames) {
  feed(frame(0x01, text("Hel")) + frame(0x89, text("ping")) + frame(0x8A, {}) + frame(0x8B, {}));
  EXPECT_EQ(drain(), ws_read_result::need_more);
  EXPECT_EQ(data(), "");  // nothing before FIN
  EXPECT_EQ(c.ws_in_fragment, 1);
  feed(frame(0x00, text("l"), 9) + frame(0x80, text("o"), 11));
  EXPECT_EQ(ws_read_frames(&c), ws_read_result::message_done);
  EXPECT_EQ(data(), "Hello");
  EXPECT_EQ(c.ws_in_fragment, 0);
  EXPECT_EQ(c.ws_frag_buf.capacity(), 0u);
  EXPECT_EQ(c.closing, 0);
}

TEST_F(WsReader, NewMessageDropsAnUnfinishedOne) {
  // Reserved data opcodes are data like text and binary.
  feed(frame(0x02, text("lost")) + frame(0x83, text("XY")));
  EXPECT_EQ(drain(), ws_read_result::need_more);
  EXPECT_EQ(data(), "XY");
  EXPECT_EQ(c.closing, 0);
}

TEST_F(WsReader, RefusedFrames) {
  const uint64_t limit = WS_BUFFER_LIMIT;
  auto long_head = [](uint64_t n) {
    bytes h{0x82, 0xFF};
    for (int shift = 56; shift >= 0; shift -= 8) h.push_back(static_cast<uint8_t>(n >> shift));
    return h;
  };
  struct row {
    const char* name;
    bool deflate;
    bytes before;  // accepted frames that set up the state
    bytes bad;
  };
  const row rows[] = {
      {"unmasked", false, {}, hex("81 05 48 65 6c 6c 6f")},
      {"unmasked, two bytes only", false, {}, hex("82 05")},
      {"RSV2", false, {}, frame(0xA2, text("x"))},
      {"RSV3", false, {}, frame(0x92, text("x"))},
      {"RSV1 without negotiation", false, {}, frame(0xC2, text("x"))},
      {"RSV1 on a ping", true, {}, frame(0xC9, {})},
      {"RSV1 on a continuation", true, frame(0x42, hex("f2 48")), frame(0xC0, hex("cd"))},
      {"RSV1 while a message is unfinished", true, frame(0x02, text("a")), frame(0xC2, hex("00"))},
      {"ping without FIN", false, {}, frame(0x09, {})},
      {"pong without FIN", false, {}, frame(0x0A, {})},
      {"close", false, {}, frame(0x88, hex("03 e8"))},
      {"continuation without a message", false, {}, frame(0x80, text("x"))},
      {"continuation after a finished message", false, frame(0x82, text("a")),
       frame(0x80, text("x"))},
      // Refused as soon as the length is read: no key, no payload needed.
      {"64-bit length past the input cap", false, {}, long_head(limit - 13)},
      {"64-bit length that wraps", false, {}, long_head(~uint64_t{0})},
      {"64-bit length with the top bit", false, {}, long_head(uint64_t{1} << 63)},
      {"64-bit length that wraps with the header", false, {}, long_head(~uint64_t{0} - 5)},
  };
  for (const row& r : rows) {
    mqtt_client fresh;
    fresh.ws_handshake_done = 1;
    fresh.ws_deflate = r.deflate ? 1 : 0;
    bytes all = r.before + r.bad;
    ASSERT_TRUE(fresh.in_buf.append(all.data(), all.size()));
    ws_read_result res;
    while ((res = ws_read_frames(&fresh)) == ws_read_result::message_done) {
    }
    EXPECT_EQ(res, ws_read_result::failed) << r.name;
    EXPECT_EQ(fresh.closing, 1) << r.name;
  }
  // The largest frame that fits the input buffer just waits for its bytes.
  feed(long_head(limit - 14));
  EXPECT_EQ(ws_read_frames(&c), ws_read_result::need_more);
  EXPECT_EQ(c.closing, 0);
}

TEST_F(WsReader, LongPingIsDroppedNotRefused) {
  feed(frame(0x89, bytes(126, 'p')) + frame(0x82, text("ok")));
  EXPECT_EQ(ws_read_frames(&c), ws_read_result::message_done);
  EXPECT_EQ(data(), "ok");
  EXPECT_EQ(c.closing, 0);
}

TEST_F(WsReader, ReassembledMessageCap) {
  const size_t limit = WS_BUFFER_LIMIT;
  // Two fragments that add up to the cap are fine ...
  feed(frame(0x02, bytes(600000, 'a')));
  EXPECT_EQ(ws_read_frames(&c), ws_read_result::need_more);
  feed(frame(0x80, bytes(limit - 600000, 'b')));
  EXPECT_EQ(ws_read_frames(&c), ws_read_result::message_done);
  EXPECT_EQ(c.ws_data.size(), limit);
  // ... one byte more is not.
  mqtt_client over;
  over.ws_handshake_done = 1;
  bytes f = frame(0x02, bytes(600000, 'a')) + frame(0x80, bytes(limit - 600000 + 1, 'b'));
  ASSERT_TRUE(over.in_buf.append(f.data(), f.size()));
  EXPECT_EQ(ws_read_frames(&over), ws_read_result::failed);
  EXPECT_EQ(over.closing, 1);
}

TEST_F(WsReader, UnconsumedDataCap) {
  const size_t limit = WS_BUFFER_LIMIT;
  feed(frame(0x82, bytes(100, 'a')) + frame(0x82, bytes(limit - 100, 'b')));
  EXPECT_EQ(drain(), ws_read_result::need_more);
  EXPECT_EQ(c.ws_data.size(), limit);
  EXPECT_EQ(c.ws_data.capacity(), limit);
  feed(frame(0x82, text("c")));
  EXPECT_EQ(ws_read_frames(&c), ws_read_result::failed);
}

// --- compressed messages (RFC 7692 section 7.2.3) ---------------------------

class WsCompressed : public WsReader {
 protected:
  void SetUp() override {
    WsReader::SetUp();
    c.ws_deflate = 1;
  }
};

TEST_F(WsCompressed, HelloInOneFrame) {
  feed(frame(0xC1, hex("f2 48 cd c9 c9 07 00")));
  EXPECT_EQ(ws_read_frames(&c), ws_read_result::message_done);
  EXPECT_EQ(data(), "Hello");
  EXPECT_EQ(c.ws_msg_compressed, 0);
  EXPECT_EQ(c.ws_frag_compressed, 0);
}

TEST_F(WsCompressed, ThreeFragmentsWithTheTrailerAfterTheLast) {
  feed(frame(0x41, hex("f2 48")) + frame(0x89, {}));
  EXPECT_EQ(ws_read_frames(&c), ws_read_result::need_more);
  EXPECT_EQ(c.ws_frag_compressed, 1);
  EXPECT_EQ(c.ws_msg_compressed, 1);
  feed(frame(0x00, hex("cd c9"), 5));
  EXPECT_EQ(ws_read_frames(&c), ws_read_result::need_more);
  feed(frame(0x80, hex("c9 07 00"), 6));
  EXPECT_EQ(ws_read_frames(&c), ws_read_result::message_done);
  EXPECT_EQ(data(), "Hello");
  EXPECT_EQ(c.ws_in_fragment, 0);
  EXPECT_EQ(c.ws_frag_compressed, 0);
  EXPECT_EQ(c.ws_msg_compressed, 0);
  EXPECT_EQ(c.closing, 0);
}

TEST_F(WsCompressed, ContextIsKeptAcrossMessages) {
  // The third message refers back into the first; an uncompressed message
  // in between does not disturb the window.
  feed(frame(0xC1, hex("f2 48 cd c9 c9 07 00")) + frame(0x82, text("|")) +
       frame(0xC1, hex("f2 00 11 00 00")));
  EXPECT_EQ(drain(), ws_read_result::need_more);
  EXPECT_EQ(data(), "Hello|Hello");
}

TEST_F(WsCompressed, FinalBlockStartsAFreshStream) {
  // BFINAL set ends the client's deflate stream; the next message starts anew.
  feed(frame(0xC1, hex("f3 48 cd c9 c9 07 00 00")) + frame(0xC1, hex("f2 48 cd c9 c9 07 00")));
  EXPECT_EQ(drain(), ws_read_result::need_more);
  EXPECT_EQ(data(), "HelloHello");
  EXPECT_EQ(c.closing, 0);
}

TEST_F(WsCompressed, StoredAndMultipleBlocks) {
  feed(frame(0xC1, hex("00 05 00 fa ff 48 65 6c 6c 6f 00")) +
       frame(0xC1, hex("f2 48 05 00 00 00 ff ff ca c9 c9 07 00")));
  EXPECT_EQ(drain(), ws_read_result::need_more);
  EXPECT_EQ(data(), "HelloHello");
}

TEST_F(WsCompressed, CorruptDataClosesWithTheLastError) {
  set_last_error("");
  feed(frame(0x82, text("kept?")) + frame(0xC2, hex("ff ff ff ff")));
  EXPECT_EQ(drain(), ws_read_result::failed);
  EXPECT_EQ(c.closing, 1);
  EXPECT_STREQ(last_error_buffer(), "WS permessage-deflate inflate error");
  EXPECT_EQ(c.ws_data.capacity(), 0u);  // discarded
  EXPECT_EQ(c.ws_inflate, nullptr);     // ended
}

TEST_F(WsCompressed, DeflateBombStopsAtTheCap) {
  // 8 MiB of zeros compress to a few KiB.
  bytes zeros(8u << 20, 0);
  bytes packed = deflated(zeros);
  ASSERT_LT(packed.size(), 16384u);
  struct row {
    const char* name;
    bytes frames;
  };
  size_t half = packed.size() / 2;
  const row rows[] = {
      {"one frame", frame(0xC2, packed)},
      {"fragments", frame(0x42, bytes(packed.begin(), packed.begin() + static_cast<long>(half))) +
                        frame(0x80, bytes(packed.begin() + static_cast<long>(half), packed.end()))},
  };
  for (const row& r : rows) {
    set_last_error("");
    mqtt_client bomb;
    bomb.ws_handshake_done = 1;
    bomb.ws_deflate = 1;
    ASSERT_TRUE(bomb.in_buf.append(r.frames.data(), r.frames.size()));
    ws_read_result res;
    while ((res = ws_read_frames(&bomb)) == ws_read_result::message_done) {
    }
    EXPECT_EQ(res, ws_read_result::failed) << r.name;
    EXPECT_STREQ(last_error_buffer(), "WS permessage-deflate inflate error") << r.name;
    EXPECT_EQ(bomb.ws_data.capacity(), 0u) << r.name;
  }
  // A large message that stays under the cap inflates completely.
  bytes big(1000000, 'z');
  feed(frame(0xC2, deflated(big)));
  EXPECT_EQ(ws_read_frames(&c), ws_read_result::message_done);
  EXPECT_EQ(c.ws_data.size(), big.size());
  EXPECT_LE(c.ws_data.capacity(), WS_BUFFER_LIMIT);
}

// --- the pass limit ---------------------------------------------------------

TEST_F(WsReader, BurstBeyondThePassLimitAsksToResume) {
  // Each empty data message ends a pass; 1100 of them outlast one call.
  feed(repeated(frame(0x82, {}), 1100));
  ws_process_frames(&c);
  EXPECT_EQ(c.resume, 1);
  EXPECT_EQ(c.in_buf.size(), 76u * 6u);
  ws_process_frames(&c);
  EXPECT_EQ(c.resume, 0);
  EXPECT_EQ(c.in_buf.size(), 0u);
  EXPECT_EQ(c.closing, 0);

  // Exactly the limit, or the limit followed by an incomplete frame: nothing
  // is left that could be read without more bytes.
  for (bool partial : {false, true}) {
    mqtt_client d;
    d.ws_handshake_done = 1;
    bytes b = repeated(frame(0x82, {}), WS_MAX_PASSES);
    if (partial) b = b + hex("82 85 00");
    ASSERT_TRUE(d.in_buf.append(b.data(), b.size()));
    ws_process_frames(&d);
    EXPECT_EQ(d.resume, 0) << partial;
    EXPECT_EQ(d.in_buf.size(), partial ? 3u : 0u);
  }
}

TEST_F(WsReader, ControlFramesDoNotEndAPass) {
  feed(repeated(frame(0x89, text("p")), 3000));
  ws_process_frames(&c);
  EXPECT_EQ(c.in_buf.size(), 0u);
  EXPECT_EQ(c.resume, 0);
}

// --- outgoing frames --------------------------------------------------------

std::string frame_hex_head(const ws_frame& f, size_t n) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n && i < f.size(); ++i) {
    if (i) s += ' ';
    s += DIGITS[f.data()[i] >> 4];
    s += DIGITS[f.data()[i] & 15];
  }
  return s;
}

TEST(WsSend, HeaderSizes) {
  struct row {
    size_t n;
    const char* head;
  };
  const row rows[] = {
      {1, "82 01"},
      {125, "82 7d"},
      {126, "82 7e 00 7e"},
      {65535, "82 7e ff ff"},
      {65536, "82 7f 00 00 00 00 00 01 00 00"},
      {1048581, "82 7f 00 00 00 00 00 10 00 05"},
  };
  for (const row& r : rows) {
    bytes packet(r.n);
    for (size_t i = 0; i < r.n; ++i) packet[i] = static_cast<uint8_t>(i);
    ws_frame f;
    ASSERT_TRUE(ws_build_frame(packet.data(), packet.size(), false, &f));
    size_t head_len = (std::string_view(r.head).size() + 1) / 3;
    EXPECT_EQ(frame_hex_head(f, head_len), r.head) << r.n;
    ASSERT_EQ(f.size(), head_len + r.n);
    EXPECT_EQ(bytes(f.data() + head_len, f.data() + f.size()), packet) << r.n;
  }
}

TEST(WsSend, CompressedHelloOfRfc7692) {
  bytes hello = text("Hello");
  ws_frame f;
  ASSERT_TRUE(ws_build_frame(hello.data(), hello.size(), true, &f));
  EXPECT_EQ(frame_hex_head(f, 64), "c2 07 f2 48 cd c9 c9 07 00");
  // A fresh stream per packet: the second copy does not refer to the first.
  ws_frame again;
  ASSERT_TRUE(ws_build_frame(hello.data(), hello.size(), true, &again));
  EXPECT_EQ(frame_hex_head(again, 64), "c2 07 f2 48 cd c9 c9 07 00");
}

TEST(WsSend, EmptyPacketIsNeverCompressed) {
  for (bool deflate : {false, true}) {
    ws_frame f;
    ASSERT_TRUE(ws_build_frame(nullptr, 0, deflate, &f));
    EXPECT_EQ(frame_hex_head(f, 8), "82 00");
  }
}

// Inflates an outgoing compressed payload as a client would.
bytes client_inflate(const uint8_t* p, size_t n) {
  ws_inflate_stream* s = ws_inflate_create();
  bytes in(p, p + n);
  in.insert(in.end(), WS_DEFLATE_TRAILER, WS_DEFLATE_TRAILER + 4);
  byte_buf out;
  EXPECT_TRUE(ws_inflate_append(s, in.data(), in.size(), &out, 64u << 20));
  ws_inflate_free(s);
  return bytes(out.data(), out.data() + out.size());
}

TEST(WsSend, LargePacketsCompressOverSeveralSteps) {
  uint32_t x = 12345;
  bytes noise(300000);
  for (auto& b : noise) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 24);
  }
  bytes words = repeated(text("sensor/42 temperature=21.5 "), 18000);
  for (const bytes* packet : {&noise, &words}) {
    ws_frame f;
    ASSERT_TRUE(ws_build_frame(packet->data(), packet->size(), true, &f));
    ASSERT_GE(f.size(), 2u);
    EXPECT_EQ(f.data()[0], 0xC2);
    size_t n = f.data()[1];
    size_t head = 2;
    if (f.data()[1] == 126) {
      head = 4;
      n = size_t{f.data()[2]} << 8 | f.data()[3];
    } else if (f.data()[1] == 127) {
      head = 10;
      n = 0;
      for (size_t i = 2; i < 10; ++i) n = n << 8 | f.data()[i];
    }
    ASSERT_EQ(head + n, f.size());
    if (packet == &noise) {
      EXPECT_GT(n, 16384u);  // several 16 KiB output steps
    }
    EXPECT_EQ(client_inflate(f.data() + head, n), *packet);
  }
}

// --- the same stream cut anywhere -------------------------------------------

// Drives handshake and reader the way the loop does, without the MQTT
// layer, collecting the unwrapped byte stream.
struct stream_reader {
  mqtt_client c;
  bytes unwrapped;
  bool failed = false;

  void feed(const uint8_t* p, size_t n) {
    ASSERT_TRUE(c.in_buf.append(p, n));
    if (c.ws_handshake_done == 0) {
      ws_handshake_answer a;
      ws_handshake_status st = ws_parse_handshake(c.in_buf.data(), c.in_buf.size(), &a);
      if (st == ws_handshake_status::fail) failed = true;
      if (st != ws_handshake_status::done) return;
      c.ws_deflate = a.deflate;
      c.ws_handshake_done = 1;
      c.in_buf.consume_front(a.request_len);
    }
    for (;;) {
      ws_read_result r = ws_read_frames(&c);
      unwrapped.insert(unwrapped.end(), c.ws_data.data(), c.ws_data.data() + c.ws_data.size());
      c.ws_data.clear();
      if (r == ws_read_result::failed) failed = true;
      if (r != ws_read_result::message_done) return;
    }
  }
};

TEST(WsStream, EverySplitPointGivesTheSameBytes) {
  lock_guard lock(s_mutex);
  bytes connect = hex("10 0d 00 04 4d 51 54 54 04 02 00 00 00 01 63");
  bytes subscribe = hex("82 06 00 01 00 01 74 00");
  auto publish = [](const std::string& payload) {
    byte_buf b;
    EXPECT_TRUE(build_publish_packet("t", reinterpret_cast<const uint8_t*>(payload.data()),
                                     payload.size(), 1, 0, 7, 4, &b));
    return bytes(b.data(), b.data() + b.size());
  };
  bytes p1 = publish("split over two messages");
  bytes p2 = publish("three fragments");
  bytes p3 = publish(std::string(300, 'L'));
  bytes p4 = publish("compressed compressed compressed");
  bytes p5 = publish("compressed in two fragments");
  bytes pingreq = hex("c0 00");
  bytes z4 = deflated(p4);
  bytes z5 = deflated(p5);
  auto part = [](const bytes& b, size_t from, size_t to) {
    return bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to));
  };

  std::string req =
      "GET /mqtt HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Protocol: mqtt\r\n"
      "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n\r\n";
  bytes stream = text(req) + frame(0x81, connect + subscribe, 1) + frame(0x82, part(p1, 0, 5), 2) +
                 frame(0x89, text("ping"), 3) + frame(0x82, part(p1, 5, p1.size()), 4) +
                 frame(0x02, part(p2, 0, 3), 5) + frame(0x00, part(p2, 3, 9), 6) +
                 frame(0x8A, {}, 7) + frame(0x80, part(p2, 9, p2.size()), 8) + frame(0x82, p3, 9) +
                 frame(0xC2, z4, 10) + frame(0x42, part(z5, 0, 4), 11) +
                 frame(0x80, part(z5, 4, z5.size()), 12) + frame(0x82, pingreq, 13);
  bytes expected = connect + subscribe + p1 + p2 + p3 + p4 + p5 + pingreq;

  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    stream_reader r;
    r.feed(stream.data(), cut);
    r.feed(stream.data() + cut, stream.size() - cut);
    ASSERT_FALSE(r.failed) << cut;
    ASSERT_EQ(r.unwrapped, expected) << "cut at " << cut;
    ASSERT_EQ(r.c.in_buf.size(), 0u) << cut;
  }
  stream_reader bytewise;
  for (size_t i = 0; i < stream.size(); ++i) bytewise.feed(stream.data() + i, 1);
  EXPECT_FALSE(bytewise.failed);
  EXPECT_EQ(bytewise.unwrapped, expected);
}

}  // namespace
}  // namespace bvm
