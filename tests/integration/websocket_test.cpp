// MQTT over WebSocket through a running broker on loopback: the upgrade
// answer on the wire, frames behind the request, control frames, the
// refusals, compressed sessions, and a burst of frames that outlasts one
// call of the frame reader.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "brelvane_mqtt.h"
#include "integration/support/test_client.h"
#include "net/ws_deflate.h"

using namespace bvt;

namespace {

constexpr char KEY[] = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr char ACCEPT[] = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

std::string upgrade_request(const std::string& extra = "Sec-WebSocket-Protocol: mqtt\r\n",
                            const std::string& key = KEY) {
  return "GET /mqtt HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: " +
         key + "\r\nSec-WebSocket-Version: 13\r\n" + extra + "\r\n";
}

std::string upgrade_answer(bool deflate, bool mqtt) {
  return std::string(
             "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
             "Connection: Upgrade\r\nSec-WebSocket-Accept: ") +
         ACCEPT + "\r\n" + (deflate ? "Sec-WebSocket-Extensions: permessage-deflate\r\n" : "") +
         (mqtt ? "Sec-WebSocket-Protocol: mqtt\r\n" : "") + "\r\n";
}

// A masked client frame.
bytes frame(uint8_t first, const bytes& payload) {
  static uint8_t seed = 0;
  seed = static_cast<uint8_t>(seed + 29);
  const uint8_t key[4] = {seed, static_cast<uint8_t>(seed + 101), 0x5A, 0xC3};
  bytes f{first};
  size_t n = payload.size();
  if (n <= 125) {
    f.push_back(static_cast<uint8_t>(0x80 | n));
  } else if (n <= 0xFFFF) {
    f.insert(f.end(), {0xFE, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
  } else {
    f.push_back(0xFF);
    for (int shift = 56; shift >= 0; shift -= 8) {
      f.push_back(static_cast<uint8_t>(static_cast<uint64_t>(n) >> shift));
    }
  }
  f.insert(f.end(), key, key + 4);
  for (size_t i = 0; i < n; ++i) f.push_back(static_cast<uint8_t>(payload[i] ^ key[i & 3]));
  return f;
}

// The last error as the network thread left it: a report call takes the
// broker lock first, which orders the read after the thread's write.
std::string last_error_seen() {
  mqtt_get_stats_json();
  return mqtt_last_error();
}

bytes deflated(const bytes& b) {
  bvm::byte_buf out;
  EXPECT_TRUE(bvm::ws_deflate_packet(b.data(), b.size(), 0, &out));
  return bytes(out.data(), out.data() + out.size());
}

// A WebSocket MQTT client on top of the raw test peer.
class ws_client {
 public:
  ws_client() = default;
  ~ws_client() { bvm::ws_inflate_free(inflater_); }
  ws_client(const ws_client&) = delete;
  ws_client& operator=(const ws_client&) = delete;

  test_client raw;

  // Upgrades and expects the exact answer.
  void open(int port, bool deflate = false) {
    ASSERT_TRUE(raw.connect(port));
    std::string extra = "Sec-WebSocket-Protocol: mqtt\r\n";
    if (deflate)
      extra += "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n";
    raw.send(text(upgrade_request(extra)));
    std::string want = upgrade_answer(deflate, true);
    EXPECT_EQ(to_text(raw.read_n(want.size())), want);
    deflate_ = deflate;
  }
  // One MQTT packet in one binary frame, compressed when negotiated.
  void send_packet(const bytes& packet) {
    raw.send(deflate_ ? frame(0xC2, deflated(packet)) : frame(0x82, packet));
  }
  // Reads one server frame: its first byte, and the payload (inflated when
  // RSV1 is set).
  bytes read_frame(uint8_t* first, int timeout_ms = 3000) {
    bytes head = raw.read_n(2, timeout_ms);
    if (head.size() < 2) return {};
    EXPECT_EQ(head[1] & 0x80, 0) << "server frames are never masked";
    uint64_t n = head[1] & 0x7F;
    if (n == 126) {
      bytes ext = raw.read_n(2, timeout_ms);
      n = uint64_t{ext[0]} << 8 | ext[1];
    } else if (n == 127) {
      bytes ext = raw.read_n(8, timeout_ms);
      n = 0;
      for (uint8_t b : ext) n = n << 8 | b;
    }
    *first = head[0];
    bytes payload = raw.read_n(static_cast<size_t>(n), timeout_ms);
    if ((head[0] & 0x40) == 0) return payload;
    if (inflater_ == nullptr) inflater_ = bvm::ws_inflate_create();
    payload.insert(payload.end(), bvm::WS_DEFLATE_TRAILER, bvm::WS_DEFLATE_TRAILER + 4);
    bvm::byte_buf out;
    EXPECT_TRUE(bvm::ws_inflate_append(inflater_, payload.data(), payload.size(), &out, 64u << 20));
    return bytes(out.data(), out.data() + out.size());
  }
  // Expects the next frame to be one binary frame (compressed when
  // negotiated, unless empty) holding exactly this packet.
  void expect_packet(const bytes& packet, int timeout_ms = 3000) {
    uint8_t first = 0;
    bytes got = read_frame(&first, timeout_ms);
    EXPECT_EQ(first, deflate_ && !packet.empty() ? 0xC2 : 0x82);
    EXPECT_EQ(to_hex(got), to_hex(packet));
  }
  void mqtt_connect(const std::string& id) {
    connect_opts o;
    o.client_id = id;
    send_packet(connect_packet(o));
    expect_packet(hex("20 02 00 00"));
  }

  static std::string to_text(const bytes& b) { return std::string(b.begin(), b.end()); }

 private:
  bool deflate_ = false;
  bvm::ws_inflate_stream* inflater_ = nullptr;
};

class WebSocket : public broker_test {
 protected:
  WebSocket() { auto_start_ = false; }
  void SetUp() override {
    ASSERT_EQ(start(nullptr, true), 0) << mqtt_last_error();
    ASSERT_GT(ws_port_, 0);
  }
};

TEST_F(WebSocket, FramesBehindTheRequestAreAnsweredAtOnce) {
  // Upgrade, CONNECT and SUBSCRIBE in one segment.
  test_client c(ws_port_);
  c.send(concat({text(upgrade_request()), frame(0x82, connect_packet({})),
                 frame(0x82, subscribe_packet(1, {{"t", 1}}))}));
  std::string want = upgrade_answer(false, true);
  EXPECT_EQ(ws_client::to_text(c.read_n(want.size())), want);
  c.expect_hex("82 04 20 02 00 00");
  c.expect_hex("82 05 90 03 00 01 01");
}

TEST_F(WebSocket, RequestInPiecesIsAnsweredOnceComplete) {
  test_client c(ws_port_);
  std::string req = upgrade_request("");
  c.send(text(req.substr(0, 10)));
  EXPECT_TRUE(c.silent_for(100));
  c.send(text(req.substr(10, req.size() - 12)));
  EXPECT_TRUE(c.silent_for(100));
  c.send(text(req.substr(req.size() - 2)));
  std::string want = upgrade_answer(false, false);
  EXPECT_EQ(ws_client::to_text(c.read_n(want.size())), want);
}

TEST_F(WebSocket, RefusedRequestsAreClosedWithoutAnAnswer) {
  std::string long_head = "GET / HTTP/1.1\r\nX-Pad: " + std::string(8200, 'a');
  const std::string rows[] = {
      "get" + upgrade_request().substr(3),
      upgrade_request("", std::string(128, 'k')),
      "GET / HTTP/1.1\r\nHost: x\r\n\r\n",
      long_head,
  };
  for (const std::string& r : rows) {
    test_client c(ws_port_);
    c.send(text(r));
    bytes before;
    EXPECT_TRUE(c.closed_within(2000, &before)) << r.substr(0, 40);
    EXPECT_TRUE(before.empty()) << to_hex(before);
  }
  // 8192 bytes without the blank line still wait.
  test_client waiting(ws_port_);
  waiting.send(text(long_head.substr(0, 8192)));
  EXPECT_TRUE(waiting.silent_for(200));
  waiting.send(text("\r\n"));
  EXPECT_TRUE(waiting.closed_within(2000));
}

TEST_F(WebSocket, PingUpTo125BytesIsAnswered) {
  ws_client w;
  w.open(ws_port_);
  w.mqtt_connect("pinger");
  bytes payload(125);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
  w.raw.send(frame(0x89, payload));
  w.raw.expect(concat({hex("8a 7d"), payload}));
  w.raw.send(frame(0x89, bytes(126, 'x')));
  EXPECT_TRUE(w.raw.silent_for(200));
  // Still open: an MQTT ping goes through.
  w.send_packet(hex("c0 00"));
  w.expect_packet(hex("d0 00"));
}

TEST_F(WebSocket, CloseFrameClosesWithoutAnAnswer) {
  ws_client w;
  w.open(ws_port_);
  w.mqtt_connect("closer");
  w.raw.send(frame(0x88, hex("03 e8")));
  bytes before;
  EXPECT_TRUE(w.raw.closed_within(2000, &before));
  EXPECT_EQ(to_hex(before), "");
}

TEST_F(WebSocket, UnmaskedFrameGetsCloseFrame1002) {
  ws_client w;
  w.open(ws_port_);
  w.raw.send(hex("82 02 c0 00"));
  bytes before;
  EXPECT_TRUE(w.raw.closed_within(2000, &before));
  EXPECT_EQ(to_hex(before), "88 02 03 ea");
}

TEST_F(WebSocket, OversizedLengthIsRefusedBeforeItsPayload) {
  // A 64-bit length beyond what the input buffer holds, and one that wraps.
  for (const char* head : {"82 ff 00 00 00 00 00 20 00 00", "82 ff ff ff ff ff ff ff ff ff"}) {
    test_client c(ws_port_);
    c.send(concat({text(upgrade_request("")), hex(head)}));
    std::string want = upgrade_answer(false, false);
    EXPECT_EQ(ws_client::to_text(c.read_n(want.size())), want);
    EXPECT_TRUE(c.closed_within(2000)) << head;
  }
}

TEST_F(WebSocket, MessageBoundariesMeanNothingToMqtt) {
  ws_client w;
  w.open(ws_port_);
  // CONNECT and SUBSCRIBE in one text message.
  w.raw.send(frame(0x81, concat({connect_packet({}), subscribe_packet(1, {{"t/#", 1}})})));
  w.expect_packet(hex("20 02 00 00"));
  w.expect_packet(hex("90 03 00 01 01"));
  // A PUBLISH over two binary messages, the second in two fragments.
  bytes pub = publish_packet("t/a", "split payload", 1, 7);
  w.raw.send(frame(0x82, bytes(pub.begin(), pub.begin() + 4)));
  EXPECT_TRUE(w.raw.silent_for(100));
  w.raw.send(concat({frame(0x02, bytes(pub.begin() + 4, pub.begin() + 9)), frame(0x89, {}),
                     frame(0x80, bytes(pub.begin() + 9, pub.end()))}));
  w.raw.expect_hex("8a 00");  // the pong comes first, the message completes after it
  // The copy for its own subscription and the PUBACK, in either order.
  bytes copy_head = hex("32 14 00 03 74 2f 61");  // packet identifier drawn by the broker
  bytes puback = hex("40 02 00 07");
  bytes got[2];
  uint8_t first = 0;
  got[0] = w.read_frame(&first);
  got[1] = w.read_frame(&first);
  if (got[0] != puback) std::swap(got[0], got[1]);
  EXPECT_EQ(to_hex(got[0]), to_hex(puback));
  ASSERT_EQ(got[1].size(), pub.size());
  EXPECT_EQ(to_hex(bytes(got[1].begin(), got[1].begin() + 7)), to_hex(copy_head));
  EXPECT_EQ(to_hex(bytes(got[1].begin() + 9, got[1].end())), to_hex(text("split payload")));
}

TEST_F(WebSocket, TrafficBetweenTcpAndWebSocketBothWays) {
  for (bool deflate : {false, true}) {
    ws_client w;
    w.open(ws_port_, deflate);
    w.mqtt_connect(deflate ? "ws-z" : "ws");
    w.send_packet(subscribe_packet(1, {{"to-ws", 0}}));
    w.expect_packet(hex("90 03 00 01 00"));
    test_client t(port_);
    connect_opts o;
    o.client_id = "tcp";
    t.handshake(o);
    t.send(subscribe_packet(1, {{"to-tcp", 0}}));
    t.expect_hex("90 03 00 01 00");
    // Sizes around the frame header steps and one large payload.
    // Uncompressed, PUBLISH packets of 125, 126, 65535 and 65536 bytes.
    for (size_t n :
         {size_t{10}, size_t{117}, size_t{118}, size_t{65524}, size_t{65525}, size_t{200 * 1024}}) {
      std::string payload(n, static_cast<char>('a' + n % 26));
      t.send(publish_packet("to-ws", payload));
      w.expect_packet(publish_packet("to-ws", payload));
      w.send_packet(publish_packet("to-tcp", payload));
      EXPECT_EQ(to_hex(t.read_packet()), to_hex(publish_packet("to-tcp", payload)));
    }
    // The host's publications reach the WebSocket client as well.
    ASSERT_EQ(mqtt_publish("to-ws", "from host", 0, 0), 0);
    w.expect_packet(publish_packet("to-ws", "from host"));
  }
}

TEST_F(WebSocket, CorruptCompressedDataClosesWithTheLastError) {
  ws_client w;
  w.open(ws_port_, true);
  w.mqtt_connect("corrupt");
  w.raw.send(frame(0xC2, hex("ff ff ff ff")));
  EXPECT_TRUE(w.raw.closed_within(2000));
  EXPECT_EQ(last_error_seen(), "WS permessage-deflate inflate error");
}

TEST_F(WebSocket, DeflateBombIsClosed) {
  ws_client w;
  w.open(ws_port_, true);
  w.mqtt_connect("bomb");
  // 16 MiB of zeros in about 16 KiB.
  bytes zeros(16u << 20, 0);
  w.raw.send(frame(0xC2, deflated(zeros)));
  EXPECT_TRUE(w.raw.closed_within(3000));
  EXPECT_EQ(last_error_seen(), "WS permessage-deflate inflate error");
  // The broker serves others as before.
  ws_client other;
  other.open(ws_port_, true);
  other.mqtt_connect("after-bomb");
}

TEST_F(WebSocket, BurstBeyondOneReaderCallIsFinishedWithoutMoreInput) {
  ws_client w;
  w.open(ws_port_);
  w.mqtt_connect("burst");
  // 1300 empty messages and a PINGREQ, in one segment of under 8192 bytes:
  // the reader stops after 1024 messages and must come back on its own.
  bytes burst;
  for (int i = 0; i < 1300; ++i) {
    bytes f = frame(0x82, {});
    burst.insert(burst.end(), f.begin(), f.end());
  }
  bytes ping = frame(0x82, hex("c0 00"));
  burst.insert(burst.end(), ping.begin(), ping.end());
  ASSERT_LE(burst.size(), 8192u);
  w.raw.send(burst);
  w.expect_packet(hex("d0 00"), 1000);
}

TEST_F(WebSocket, ByteByByteStreamIsServed) {
  ws_client w;
  ASSERT_TRUE(w.raw.connect(ws_port_));
  bytes all = concat({text(upgrade_request("Sec-WebSocket-Extensions: permessage-deflate\r\n")),
                      frame(0xC2, deflated(connect_packet({}))),
                      frame(0x82, subscribe_packet(1, {{"t", 0}})),
                      frame(0xC2, deflated(publish_packet("t", "one byte at a time")))});
  for (uint8_t b : all) w.raw.send(bytes{b});
  std::string want = upgrade_answer(true, false);
  EXPECT_EQ(ws_client::to_text(w.raw.read_n(want.size())), want);
  uint8_t first = 0;
  EXPECT_EQ(to_hex(w.read_frame(&first)), "20 02 00 00");
  EXPECT_EQ(first, 0xC2);
  EXPECT_EQ(to_hex(w.read_frame(&first)), "90 03 00 01 00");
  EXPECT_EQ(to_hex(w.read_frame(&first)), to_hex(publish_packet("t", "one byte at a time")));
}

}  // namespace

// Many packets for one subscriber handled in one loop iteration (a burst of
// publications in one segment) leave together, yet still as one frame per
// packet, in order; compressed frames each inflate on a fresh stream, so no
// frame refers to an earlier one. A TCP subscriber of the same burst gets
// the same packets back to back.
TEST_F(WebSocket, BurstToOneSubscriberKeepsOneFramePerPacket) {
  for (bool deflate : {false, true}) {
    SCOPED_TRACE(deflate ? "deflate" : "plain");
    std::string topic = deflate ? "burst-z" : "burst";
    ws_client sub;
    sub.open(ws_port_, deflate);
    sub.mqtt_connect(topic + "-sub");
    sub.send_packet(subscribe_packet(1, {{topic, 0}}));
    sub.expect_packet(hex("90 03 00 01 00"));
    test_client tcp_sub(port_);
    tcp_sub.handshake(opts(topic + "-tcp"));
    tcp_sub.subscribe_to(topic);
    ws_client pub;
    pub.open(ws_port_);
    pub.mqtt_connect(topic + "-pub");
    bytes burst;
    std::vector<bytes> packets;
    for (int i = 0; i < 60; ++i) {
      // The same text again and again: a stream carried over from packet to
      // packet would shrink the later copies to back-references.
      packets.push_back(publish_packet(topic, "reading " + std::to_string(i % 3) + " unchanged"));
      burst.insert(burst.end(), packets.back().begin(), packets.back().end());
    }
    pub.raw.send(frame(0x82, burst));
    for (const bytes& p : packets) {
      bytes head = sub.raw.read_n(2);
      ASSERT_EQ(head.size(), 2u);
      EXPECT_EQ(head[0], deflate ? 0xC2 : 0x82);
      bytes payload = sub.raw.read_n(head[1]);
      if (deflate) {
        bvm::ws_inflate_stream* s = bvm::ws_inflate_create();
        payload.insert(payload.end(), bvm::WS_DEFLATE_TRAILER, bvm::WS_DEFLATE_TRAILER + 4);
        bvm::byte_buf out;
        EXPECT_TRUE(bvm::ws_inflate_append(s, payload.data(), payload.size(), &out, 1u << 20));
        bvm::ws_inflate_free(s);
        payload.assign(out.data(), out.data() + out.size());
      }
      EXPECT_EQ(to_hex(payload), to_hex(p));
      EXPECT_EQ(to_hex(tcp_sub.read_packet()), to_hex(p));
    }
    sub.send_packet(hex("c0 00"));
    sub.expect_packet(hex("d0 00"));
  }
}
