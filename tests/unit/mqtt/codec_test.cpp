// The packet codec without sockets: Remaining Length decoding and its limit,
// the state gate, packet cutting over partial input, the PUBLISH encoder,
// the packet-identifier counter and the variable byte integer decoder.
#include "mqtt/codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "broker/last_error.h"
#include "mqtt/retained.h"
#include "net/client.h"
#include "session/session.h"

namespace bvm {
namespace {

using bytes = std::vector<uint8_t>;

std::string hex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

// A record without a socket: whatever a handler sends goes nowhere.
struct offline_client {
  mqtt_client c;
  explicit offline_client(bool connected) {
    c.connected = connected ? 1 : 0;
    c.protocol_level = connected ? 4 : 0;
  }
};

struct rl_case {
  const char* name;
  bytes header;     // type byte and length bytes as sent
  size_t body;      // body bytes that follow
  int result;       // expected result once all bytes are there
  size_t consumed;  // expected consumed for result 1
};

// A packet type that a connected client may send and that is ignored
// (PINGRESP), so every accepted length is consumed without side effects.
constexpr uint8_t IGNORED = 0xD0;

TEST(RemainingLength, DecodesTheFieldAndEnforcesTheLimit) {
  const rl_case cases[] = {
      {"zero", {IGNORED, 0x00}, 0, 1, 2},
      {"one byte max", {IGNORED, 0x7F}, 127, 1, 129},
      {"two bytes min", {IGNORED, 0x80, 0x01}, 128, 1, 131},
      {"two bytes max", {IGNORED, 0xFF, 0x7F}, 16383, 1, 16386},
      {"three bytes min", {IGNORED, 0x80, 0x80, 0x01}, 16384, 1, 16388},
      {"exactly MAX_PAYLOAD_LEN", {IGNORED, 0x80, 0x80, 0x40}, 1048576, 1, 1048580},
      {"non-minimal zero", {IGNORED, 0x80, 0x00}, 0, 1, 3},
      // The field ends after its fourth byte even with the continuation bit set.
      {"four continuation bytes", {IGNORED, 0x80, 0x80, 0x80, 0x80}, 0, 1, 5},
      {"four bytes, fourth continues", {IGNORED, 0x81, 0x80, 0x80, 0x80}, 1, 1, 6},
      {"one past the limit", {IGNORED, 0x81, 0x80, 0x40}, 0, -1, 0},
      {"three-byte max", {IGNORED, 0xFF, 0xFF, 0x7F}, 0, -1, 0},
      {"four-byte max", {IGNORED, 0xFF, 0xFF, 0xFF, 0x7F}, 0, -1, 0},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    bytes packet = tc.header;
    packet.resize(tc.header.size() + tc.body, 0x5A);
    packet.push_back(0xC0);  // the first byte of a following packet
    lock_guard lock(s_mutex);
    clear_last_error();
    offline_client oc(true);
    size_t consumed = 0;
    int r = process_single_mqtt_packet(&oc.c, packet.data(), packet.size(), &consumed);
    EXPECT_EQ(r, tc.result);
    if (tc.result == 1) {
      EXPECT_EQ(consumed, tc.consumed);
      EXPECT_EQ(oc.c.closing, 0);
      EXPECT_STREQ(last_error_buffer(), "");
      // One byte short: not complete, nothing consumed.
      if (tc.consumed - 1 >= 2) {
        size_t partial_consumed = 0;
        EXPECT_EQ(
            process_single_mqtt_packet(&oc.c, packet.data(), tc.consumed - 1, &partial_consumed),
            0);
        EXPECT_EQ(partial_consumed, 0u);
      }
    } else {
      EXPECT_EQ(consumed, 0u);  // not written when the length is refused
      EXPECT_EQ(oc.c.closing, 1);
      EXPECT_STREQ(last_error_buffer(), "Remaining Length exceeds MAX_PAYLOAD_LEN");
    }
  }
}

TEST(RemainingLength, IncompleteFieldWaitsAndRefusalNeedsNoBody) {
  lock_guard lock(s_mutex);
  offline_client oc(true);
  // The length field itself is still arriving.
  for (const bytes& b : {bytes{IGNORED, 0x80}, bytes{IGNORED, 0x80, 0x80},
                         bytes{IGNORED, 0x80, 0x80, 0x80}, bytes{IGNORED, 0xFF, 0xFF, 0xFF}}) {
    size_t consumed = 0;
    EXPECT_EQ(process_single_mqtt_packet(&oc.c, b.data(), b.size(), &consumed), 0)
        << hex(b.data(), b.size());
    EXPECT_EQ(consumed, 0u);
  }
  EXPECT_EQ(oc.c.closing, 0);
  // A too-large length is refused as soon as the field is complete.
  bytes huge{0x30, 0xFF, 0xFF, 0xFF, 0x7F};
  size_t consumed = 0;
  EXPECT_EQ(process_single_mqtt_packet(&oc.c, huge.data(), huge.size(), &consumed), -1);
  EXPECT_EQ(oc.c.closing, 1);
}

TEST(StateGate, OnlyConnectBeforeConnectIgnoredTypesAfter) {
  lock_guard lock(s_mutex);
  // Before CONNECT every other type closes, whatever its body.
  for (uint8_t type = 0; type < 16; ++type) {
    if (type == 1) continue;
    offline_client oc(false);
    bytes b{static_cast<uint8_t>(type << 4), 0x00};
    size_t consumed = 0;
    EXPECT_EQ(process_single_mqtt_packet(&oc.c, b.data(), b.size(), &consumed), -1)
        << "type " << int{type};
    EXPECT_EQ(oc.c.closing, 1) << "type " << int{type};
  }
  // After CONNECT: a second CONNECT closes; types without a handler are
  // consumed and ignored.
  {
    offline_client oc(true);
    bytes b{0x10, 0x00};
    size_t consumed = 0;
    EXPECT_EQ(process_single_mqtt_packet(&oc.c, b.data(), b.size(), &consumed), -1);
    EXPECT_EQ(oc.c.closing, 1);
  }
  for (int type : {0, 2, 5, 7, 9, 11, 13, 15}) {
    offline_client oc(true);
    bytes b{static_cast<uint8_t>(type << 4 | 0x0F), 0x02, 0x12, 0x34};
    size_t consumed = 0;
    EXPECT_EQ(process_single_mqtt_packet(&oc.c, b.data(), b.size(), &consumed), 1)
        << "type " << int{type};
    EXPECT_EQ(consumed, 4u);
    EXPECT_EQ(oc.c.closing, 0) << "type " << int{type};
  }
}

TEST(CutPackets, HandlesEveryCompletePacketAndKeepsTheRest) {
  lock_guard lock(s_mutex);
  offline_client oc(true);
  byte_buf buf;
  // A lone first byte is never handed to the handler: it stays.
  const uint8_t first = IGNORED;
  ASSERT_TRUE(buf.append(&first, 1));
  cut_packets(&oc.c, &buf);
  EXPECT_EQ(hex(buf.data(), buf.size()), "d0");
  // Two complete packets and the start of a third, whose header is complete
  // but whose body is still arriving.
  const uint8_t more[] = {0x02, 0xAA, 0xBB, 0xD0, 0x00, 0xD0, 0x03, 0x01};
  ASSERT_TRUE(buf.append(more, sizeof more));
  cut_packets(&oc.c, &buf);
  EXPECT_EQ(hex(buf.data(), buf.size()), "d0 03 01");
  // The same bytes are parsed again from the start when the rest arrives.
  const uint8_t rest[] = {0x02, 0x03, 0xD0};
  ASSERT_TRUE(buf.append(rest, sizeof rest));
  cut_packets(&oc.c, &buf);
  EXPECT_EQ(hex(buf.data(), buf.size()), "d0");
  EXPECT_EQ(oc.c.closing, 0);
}

TEST(CutPackets, TcpPathGoesOnAfterClosingWebSocketPathStops) {
  lock_guard lock(s_mutex);
  // DISCONNECT, then a PINGREQ in the same buffer.
  const uint8_t stream[] = {0xE0, 0x00, 0xD0, 0x00};
  for (bool stop_at_closing : {false, true}) {
    offline_client oc(true);
    byte_buf buf;
    ASSERT_TRUE(buf.append(stream, sizeof stream));
    cut_packets(&oc.c, &buf, stop_at_closing);
    EXPECT_EQ(oc.c.closing, 1);
    EXPECT_EQ(buf.size(), stop_at_closing ? 2u : 0u);
  }
}

struct publish_case {
  const char* name;
  const char* topic;
  std::string payload;
  bool null_payload;
  int qos;
  uint8_t flags;
  uint16_t id;
  int level;
  const char* expected;
};

TEST(BuildPublish, ExactBytes) {
  const publish_case cases[] = {
      {"level 5 qos 0", "a", "x", false, 0, 0, 0, 5, "30 05 00 01 61 00 78"},
      {"level 4 qos 0", "a", "x", false, 0, 0, 0, 4, "30 04 00 01 61 78"},
      {"level 4 qos 1", "a", "x", false, 1, 0, 0x0102, 4, "32 06 00 01 61 01 02 78"},
      {"level 5 qos 1", "a", "x", false, 1, 0, 0x0102, 5, "32 07 00 01 61 01 02 00 78"},
      {"retain bit", "a", "x", false, 0, 1, 0, 4, "31 04 00 01 61 78"},
      {"retain qos 1", "ab", "", false, 1, 1, 0xFFFF, 4, "33 06 00 02 61 62 ff ff"},
      {"identifier ignored at qos 0", "a", "x", false, 0, 0, 0x0102, 4, "30 04 00 01 61 78"},
      {"null payload", "t", "", true, 0, 0, 0, 4, "30 03 00 01 74"},
      {"empty topic", "", "p", false, 0, 0, 0, 4, "30 03 00 00 70"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    byte_buf out;
    const auto* payload =
        tc.null_payload ? nullptr : reinterpret_cast<const uint8_t*>(tc.payload.data());
    ASSERT_TRUE(build_publish_packet(tc.topic, payload, tc.payload.size(), tc.qos, tc.flags, tc.id,
                                     tc.level, &out));
    EXPECT_EQ(hex(out.data(), out.size()), tc.expected);
    EXPECT_EQ(out.capacity(), out.size());  // allocated once at its final size
  }
}

TEST(BuildPublish, MultiByteRemainingLength) {
  struct size_case {
    size_t payload;
    const char* header;  // type and length bytes
  };
  // Remaining Length = 2 + 1 (topic) + payload.
  const size_case cases[] = {
      {124, "30 7f"},         {125, "30 80 01"},        {16380, "30 ff 7f"},
      {16381, "30 80 80 01"}, {1048573, "30 80 80 40"}, {2097149, "30 80 80 80 01"},
  };
  for (const auto& tc : cases) {
    std::vector<uint8_t> payload(tc.payload, 0x41);
    byte_buf out;
    ASSERT_TRUE(build_publish_packet("a", payload.data(), payload.size(), 0, 0, 0, 4, &out));
    size_t header_len = (std::strlen(tc.header) + 1) / 3;
    ASSERT_EQ(out.size(), header_len + 3 + tc.payload);
    EXPECT_EQ(hex(out.data(), header_len), tc.header) << tc.payload;
    EXPECT_EQ(hex(out.data() + header_len, 3), "00 01 61");
    EXPECT_EQ(out.data()[out.size() - 1], 0x41);
  }
}

TEST(PacketId, WrapsFrom65535To1AndNeverGivesZero) {
  lock_guard lock(s_mutex);
  uint16_t saved = s_out_pkt_id;
  s_out_pkt_id = 65534;
  EXPECT_EQ(next_packet_id(), 65534);
  EXPECT_EQ(next_packet_id(), 65535);
  EXPECT_EQ(next_packet_id(), 1);
  EXPECT_EQ(next_packet_id(), 2);
  // A full cycle never yields 0.
  for (int i = 0; i < 70000; ++i) ASSERT_NE(next_packet_id(), 0);
  s_out_pkt_id = saved;
}

TEST(DecodeVarlen, Table) {
  struct varlen_case {
    bytes in;
    int result;
    uint32_t value;
    size_t used;
  };
  const varlen_case cases[] = {
      {{0x00}, 0, 0, 1},
      {{0x7F, 0xFF}, 0, 127, 1},
      {{0x80, 0x01}, 0, 128, 2},
      {{0xFF, 0x7F}, 0, 16383, 2},
      {{0x80, 0x80, 0x40}, 0, 1048576, 3},
      {{0xFF, 0xFF, 0xFF, 0x7F}, 0, 268435455, 4},
      {{0x80, 0x80, 0x80, 0x80, 0x01}, 0, 0, 4},  // ends after the fourth byte
      {{0x81, 0x80, 0x80, 0x81}, 0, 1 + (1u << 21), 4},
      {{}, -1, 0, 0},
      {{0x80}, -1, 0, 0},
      {{0xFF, 0xFF, 0xFF}, -1, 0, 0},
  };
  for (const auto& tc : cases) {
    uint32_t value = 0xDEAD;
    size_t used = 99;
    int r = mqtt_decode_varlen(tc.in.data(), tc.in.size(), &value, &used);
    EXPECT_EQ(r, tc.result) << hex(tc.in.data(), tc.in.size());
    if (tc.result == 0) {
      EXPECT_EQ(value, tc.value) << hex(tc.in.data(), tc.in.size());
      EXPECT_EQ(used, tc.used) << hex(tc.in.data(), tc.in.size());
    }
  }
}

// Bodies built from plausible fields whose lengths often lie: strings whose
// length runs past the packet, property lengths that cannot be decoded or
// point past the end, missing options bytes.
class packet_maker {
 public:
  explicit packet_maker(uint32_t seed) : rng_(seed) {}

  bytes make(uint8_t* type_out, int* level_out) {
    static const uint8_t types[] = {1, 3, 3, 3, 4, 6, 8, 8, 10, 12, 14};
    uint8_t type = types[pick(sizeof types)];
    uint8_t flags = type == 3 ? static_cast<uint8_t>(pick(16)) : static_cast<uint8_t>(pick(2) * 2);
    int level = pick(2) == 0 ? 4 : 5;
    bytes body;
    if (type == 1) {
      const uint8_t head[] = {0x00, 0x04, 'M', 'Q', 'T', 'T'};
      body.assign(head, head + sizeof head);
      body.push_back(pick(8) == 0 ? static_cast<uint8_t>(pick(256)) : static_cast<uint8_t>(level));
      body.push_back(static_cast<uint8_t>(pick(256) & ~(pick(4) == 0 ? 0 : 1)));
      body.push_back(static_cast<uint8_t>(pick(256)));
      body.push_back(static_cast<uint8_t>(pick(256)));
    }
    int fields = static_cast<int>(pick(7));
    for (int i = 0; i < fields; ++i) add_field(&body);
    if (pick(4) == 0) body.resize(pick(body.size() + 1));  // cut anywhere
    bytes packet{static_cast<uint8_t>(type << 4 | flags)};
    size_t v = body.size();
    do {
      uint8_t b = static_cast<uint8_t>(v & 0x7F);
      v >>= 7;
      if (v > 0) b |= 0x80;
      packet.push_back(b);
    } while (v > 0);
    packet.insert(packet.end(), body.begin(), body.end());
    *type_out = type;
    *level_out = level;
    return packet;
  }

 private:
  size_t pick(size_t n) {
    return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng_);
  }

  void add_field(bytes* b) {
    switch (pick(6)) {
      case 0: {  // an MQTT string, its length sometimes lying
        size_t n = pick(12);
        size_t claimed = pick(3) == 0 ? pick(300) : n;
        b->push_back(static_cast<uint8_t>(claimed >> 8));
        b->push_back(static_cast<uint8_t>(claimed & 0xFF));
        for (size_t i = 0; i < n; ++i) b->push_back(static_cast<uint8_t>("a/+#$\0x"[pick(7)]));
        break;
      }
      case 1: {  // a variable byte integer, possibly unterminated
        size_t n = 1 + pick(4);
        for (size_t i = 0; i < n; ++i) {
          b->push_back(static_cast<uint8_t>(pick(256) | (i + 1 < n || pick(3) == 0 ? 0x80 : 0)));
        }
        break;
      }
      case 2:  // a small property section that is what it claims
        b->push_back(2);
        b->push_back(0x01);
        b->push_back(0x01);
        break;
      case 3:
        b->push_back(static_cast<uint8_t>(pick(4)));  // an options byte
        break;
      default: {
        size_t n = pick(6);
        for (size_t i = 0; i < n; ++i) b->push_back(static_cast<uint8_t>(pick(256)));
      }
    }
  }

  std::mt19937 rng_;
};

// Every complete packet is handled inside its own bytes (an exact-size heap
// copy, so AddressSanitizer sees any read past it) and consumed whole.
TEST(Handlers, MalformedPacketsStayWithinTheirBytes) {
  packet_maker maker(20240611);
  lock_guard lock(s_mutex);
  for (int i = 0; i < 30000; ++i) {
    uint8_t type;
    int level;
    bytes made = maker.make(&type, &level);
    std::vector<uint8_t> exact(made.begin(), made.end());
    exact.shrink_to_fit();
    mqtt_client c;
    c.connected = type == 1 ? 0 : 1;
    c.protocol_level = type == 1 ? 0 : level;
    size_t consumed = 0;
    int r = process_single_mqtt_packet(&c, exact.data(), exact.size(), &consumed);
    ASSERT_NE(r, 0) << hex(exact.data(), exact.size());
    if (r == 1) {
      ASSERT_EQ(consumed, exact.size()) << hex(exact.data(), exact.size());
    } else {
      ASSERT_EQ(c.closing, 1) << hex(exact.data(), exact.size());
    }
    session_detach(&c);  // as a teardown would
  }
  session_clear_all();
  retained_clear_all();
}

}  // namespace
}  // namespace bvm
