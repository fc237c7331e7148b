// PUBLISH and the control packets over loopback in exact bytes, how packets
// are cut from the byte stream (several per segment, split over segments,
// a lone first byte), the state gate before CONNECT, and the host's
// mqtt_publish.
#include <cstdint>
#include <string>
#include <vector>

#include "brelvane_mqtt.h"
#include "broker/state.h"
#include "integration/support/test_client.h"
#include "mqtt/codec.h"

using namespace bvt;

namespace {

int64_t total_received() {
  bvm::lock_guard lock(bvm::s_mutex);
  return bvm::s_total_received;
}

int64_t total_published() {
  bvm::lock_guard lock(bvm::s_mutex);
  return bvm::s_total_published;
}

TEST_F(broker_test, TwoPacketsInOneSegmentAreBothHandled) {
  test_client sub(port_);
  sub.handshake(opts("sub"));
  sub.subscribe_to("t/#");
  test_client pub(port_);
  pub.handshake(opts("pub"));
  // Two PUBLISH and a PINGREQ in one send.
  pub.send(
      concat({publish_packet("t/1", "one"), publish_packet("t/2", "two", 1, 7), hex("C0 00")}));
  pub.expect_hex("40 02 00 07 D0 00");
  sub.expect_publish("t/1", "one");
  sub.expect_publish("t/2", "two");
}

TEST_F(broker_test, PacketSplitOverSeveralSendsIsHandledWhenItsLastByteArrives) {
  test_client sub(port_);
  sub.handshake(opts("sub"));
  sub.subscribe_to("t/#");
  test_client pub(port_);
  pub.handshake(opts("pub"));
  // Remaining Length 305 takes two bytes; cut inside the length field, inside
  // the topic and just before the last payload byte.
  bytes p = publish_packet("t/split", std::string(296, 'x'));
  ASSERT_EQ(p.size(), 308u);
  const size_t cuts[] = {1, 2, 6, 307};
  size_t from = 0;
  for (size_t cut : cuts) {
    pub.send(bytes(p.begin() + static_cast<long>(from), p.begin() + static_cast<long>(cut)));
    from = cut;
    EXPECT_TRUE(sub.silent_for(60)) << "delivered after " << cut << " bytes";
  }
  pub.send(bytes(p.begin() + static_cast<long>(from), p.end()));
  sub.expect_publish("t/split", std::string(296, 'x'));
}

TEST_F(broker_test, LoneFirstByteWaitsForMore) {
  test_client c(port_);
  c.send_hex("10");  // before CONNECT
  EXPECT_TRUE(c.silent_for(150));
  bytes rest = connect_packet(opts("lone"));
  c.send(bytes(rest.begin() + 1, rest.end()));
  c.expect_hex("20 02 00 00");
  c.send_hex("C0");  // after CONNECT
  EXPECT_TRUE(c.silent_for(150));
  c.send_hex("00");
  c.expect_hex("D0 00");
}

TEST_F(broker_test, AnythingButConnectFirstClosesWithoutReply) {
  const char* cases[] = {
      "C0 00",                    // PINGREQ
      "F0 00",                    // type 15
      "00 00",                    // type 0
      "30 05 00 01 61 78 79",     // PUBLISH
      "82 06 00 01 00 01 61 00",  // SUBSCRIBE
      "E0 00",                    // DISCONNECT
      "20 02 00 00",              // CONNACK
  };
  for (const char* bytes_hex : cases) {
    SCOPED_TRACE(bytes_hex);
    test_client c(port_);
    c.send_hex(bytes_hex);
    bytes before;
    EXPECT_TRUE(c.closed_within(2000, &before));
    EXPECT_EQ(to_hex(before), "");
  }
  EXPECT_EQ(broker_last_error(), "");
}

TEST_F(broker_test, PacketsWithoutHandlerAfterConnectAreIgnored) {
  test_client c(port_);
  c.handshake(opts("c"));
  // Type 15 with flags and a body, PUBREC, PUBCOMP, a SUBACK and a PINGRESP.
  c.send_hex("FF 03 01 02 03  50 02 00 01  70 02 00 01  90 03 00 01 00  D0 00");
  c.ping();
}

TEST_F(broker_test, DisconnectThenPublishInOneSegment) {
  test_client watcher(port_);
  watcher.handshake(opts("watcher"));
  watcher.subscribe_to("#");
  connect_opts o = opts("leaver");
  o.will = true;
  o.will_topic = "will/leaver";
  o.will_payload = "gone";
  test_client c(port_);
  c.handshake(o);
  c.send(concat({hex("E0 00"), publish_packet("after/disconnect", "still handled")}));
  EXPECT_TRUE(c.closed_within(2000));
  watcher.expect_publish("after/disconnect", "still handled");
  expect_only_marker(watcher);  // and no will
}

TEST_F(broker_test, Qos1IsRoutedThenAcknowledged) {
  for (int level : {4, 5}) {
    SCOPED_TRACE(level);
    test_client c(port_);
    c.handshake(opts("self", level));
    c.subscribe_to("p/#", 0, level);
    // The publisher's own subscription shows the order: the routed copy
    // comes first, the PUBACK (identifier as received) after it.
    c.send(publish_packet("p/a", "x", 1, 0xAB01, false, level));
    c.expect_publish("p/a", "x", 0, 0, false, level);
    c.expect_hex("40 02 AB 01");
    // The DUP flag is ignored: a repeat is routed again.
    bytes again = publish_packet("p/a", "x", 1, 0xAB01, false, level);
    again[0] |= 0x08;
    c.send(again);
    c.expect_publish("p/a", "x", 0, 0, false, level);
    c.expect_hex("40 02 AB 01");
  }
}

TEST_F(broker_test, Qos2IsRefusedAndCounted) {
  test_client watcher(port_);
  watcher.handshake(opts("watcher"));
  watcher.subscribe_to("#");
  for (int level : {4, 5}) {
    SCOPED_TRACE(level);
    test_client c(port_);
    c.handshake(opts("q2", level));
    int64_t received = total_received();
    c.send(publish_packet("q/two", "x", 2, 1, false, level));
    bytes before;
    EXPECT_TRUE(c.closed_within(2000, &before));
    EXPECT_EQ(to_hex(before), level == 5 ? "e0 02 9b 00" : "");
    EXPECT_EQ(total_received(), received + 1);
    EXPECT_EQ(broker_last_error(), "QoS 2 not supported; closing connection");
    expect_only_marker(watcher);  // nothing routed
  }
}

TEST_F(broker_test, TruncatedPublishIsIgnoredButCounted) {
  test_client watcher(port_);
  watcher.handshake(opts("watcher"));
  watcher.subscribe_to("#");
  const char* cases[] = {
      "30 00",                    // no topic length
      "30 01 00",                 // half a topic length
      "30 03 00 05 61",           // topic runs past the packet
      "32 05 00 03 70 2f 61",     // QoS 1 ending right after the topic
      "32 06 00 03 70 2f 61 01",  // QoS 1 with half an identifier
  };
  test_client c(port_);
  c.handshake(opts("trunc"));
  for (const char* bytes_hex : cases) {
    SCOPED_TRACE(bytes_hex);
    int64_t received = total_received();
    c.send_hex(bytes_hex);
    c.ping();  // no PUBACK before the PINGRESP, and still connected
    EXPECT_EQ(total_received(), received + 1);
  }
  expect_only_marker(watcher);  // none was routed
}

TEST_F(broker_test, Level5PropertySectionIsSkipped) {
  test_client sub(port_);
  sub.handshake(opts("sub"));
  sub.subscribe_to("v5/#");
  test_client c(port_);
  c.handshake(opts("v5", 5));
  struct prop_case {
    const char* name;
    bytes packet;
    const char* payload;
  };
  const prop_case cases[] = {
      // Payload format indicator and a user property before the payload.
      {"qos 0",
       packet(0x30, concat({mqtt_str("v5/a"), hex("0a 01 01 26 00 01 6b 00 02 76 76"),
                            bytes{'p', 'a', 'y'}})),
       "pay"},
      {"qos 1", packet(0x32, concat({mqtt_str("v5/b"), hex("00 09 02 01 01"), bytes{'q'}})), "q"},
      {"empty section", packet(0x30, concat({mqtt_str("v5/c"), hex("00"), bytes{'e'}})), "e"},
      // A section length past the packet leaves no payload.
      {"section past the end", packet(0x30, concat({mqtt_str("v5/d"), hex("7f 01")})), ""},
      // A length that cannot be decoded: the section is taken as absent.
      {"unreadable length", packet(0x30, concat({mqtt_str("v5/e"), hex("80")})), "\x80"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    c.send(tc.packet);
    std::string topic(reinterpret_cast<const char*>(tc.packet.data() + 4), 4);
    sub.expect_publish(topic, tc.payload);
  }
  c.expect_hex("40 02 00 09");
}

TEST_F(broker_test, EmptyTopicReachesHashAndPlus) {
  test_client hash(port_);
  hash.handshake(opts("hash"));
  hash.subscribe_to("#");
  test_client plus(port_);
  plus.handshake(opts("plus"));
  plus.subscribe_to("+");
  test_client other(port_);
  other.handshake(opts("other"));
  other.subscribe_to("a/#");
  other.subscribe_to("marker");
  test_client pub(port_);
  pub.handshake(opts("pub"));
  pub.send(publish_packet("", "empty"));
  hash.expect_publish("", "empty");
  plus.expect_publish("", "empty");
  expect_only_marker(other);
}

TEST_F(broker_test, Qos3PublishIsRoutedCappedAndNeverAcknowledged) {
  test_client sub(port_);
  sub.handshake(opts("sub"));
  sub.subscribe_to("q3", 1);
  uint16_t id;
  {
    bvm::lock_guard lock(bvm::s_mutex);
    id = bvm::s_out_pkt_id;
  }
  test_client c(port_);
  c.handshake(opts("q3"));
  c.send(publish_packet("q3", "three", 3, 0x0102));
  sub.expect_publish("q3", "three", 1, id);
  c.ping();  // no PUBACK
}

TEST_F(broker_test, PubrelIsCompletedAndControlPacketsAnswered) {
  test_client c(port_);
  c.handshake(opts("ctl"));
  c.send_hex("62 02 12 34");
  c.expect_hex("70 02 12 34");
  c.send_hex("62 00");  // no identifier: ignored
  c.send_hex("62 03 00 00 ff");
  c.expect_hex("70 02 00 00");
  c.send_hex("40 02 00 05");  // PUBACK without a session: ignored
  c.ping();
}

TEST_F(broker_test, HostPublish) {
  test_client sub(port_);
  sub.handshake(opts("sub"));
  sub.subscribe_to("h/#");
  int64_t published = total_published();

  EXPECT_EQ(mqtt_publish("", "x", 0, 0), -1);
  EXPECT_STREQ(mqtt_last_error(), "Invalid topic name");
  EXPECT_EQ(mqtt_publish(nullptr, "x", 0, 0), -1);
  for (int qos : {-1, 3, 7}) {
    EXPECT_EQ(mqtt_publish("h/q", "x", qos, 0), -1);
    EXPECT_STREQ(mqtt_last_error(), "Invalid QoS");
  }
  EXPECT_EQ(total_published(), published);

  ASSERT_EQ(mqtt_publish("h/null", nullptr, 0, 0), 0);
  sub.expect_publish("h/null", "");
  // Wildcard characters in a host topic are taken literally.
  ASSERT_EQ(mqtt_publish("h/+/#", "w", 1, 0), 0);
  sub.expect_publish("h/+/#", "w");  // the subscription caps QoS at 0
  // Retain with an empty payload clears the stored message and still
  // delivers an empty message with RETAIN 1.
  ASSERT_EQ(mqtt_publish("h/r", "kept", 0, 7), 0);
  sub.expect_publish("h/r", "kept", 0, 0, true);
  ASSERT_EQ(mqtt_publish("h/r", "", 0, 1), 0);
  sub.expect_publish("h/r", "", 0, 0, true);
  ASSERT_EQ(mqtt_publish("h/r", nullptr, 0, 1), 0);  // nothing left to clear
  sub.expect_publish("h/r", "", 0, 0, true);
  EXPECT_EQ(total_published(), published + 5);
  test_client late(port_);
  late.handshake(opts("late"));
  late.subscribe_to("h/#");
  late.ping();  // no retained message
}

TEST_F(broker_test, HostPublishWorksWhileStopped) {
  ASSERT_EQ(mqtt_broker_stop(), 0);
  ASSERT_EQ(mqtt_publish("offline/kept", "v", 1, 1), 0);
  ASSERT_EQ(start(), 0) << mqtt_last_error();
  test_client sub(port_);
  sub.handshake(opts("sub"));
  sub.send(subscribe_packet(3, {{"offline/#", 0}}));
  sub.expect_hex("90 03 00 03 00");
  sub.expect_publish("offline/kept", "v", 0, 0, true);
  ASSERT_EQ(mqtt_publish("offline/kept", "", 0, 1), 0);
}

}  // namespace
