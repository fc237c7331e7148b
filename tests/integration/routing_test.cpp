// Fan-out and the retained store over loopback in exact bytes: the first
// matching subscription decides, effective QoS, identifiers drawn per copy
// newest client first, the "$" rule, RETAIN on copies, the retained store's
// store/replace/clear rules, and wills on abrupt close.
#include <string>

#include "brelvane_mqtt.h"
#include "broker/state.h"
#include "integration/support/test_client.h"
#include "mqtt/codec.h"
#include "mqtt/retained.h"
#include "os/clock.h"

using namespace bvt;

namespace {

uint16_t next_id() {
  bvm::lock_guard lock(bvm::s_mutex);
  return bvm::s_out_pkt_id;
}

TEST_F(broker_test, FirstMatchingSubscriptionDecides) {
  struct order_case {
    const char* first;  // subscribed first (older)
    int first_qos;
    const char* second;  // subscribed second (newer, so met first)
    int second_qos;
    int expected_qos;
  };
  const order_case cases[] = {
      {"a/#", 0, "a/b", 1, 1},
      {"a/b", 1, "a/#", 0, 0},
      {"+/b", 1, "#", 0, 0},
  };
  int n = 0;
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.second);
    test_client c(port_);
    c.handshake(opts("fm" + std::to_string(n++)));
    c.subscribe_to(tc.first, tc.first_qos);
    c.subscribe_to(tc.second, tc.second_qos);
    uint16_t id = next_id();
    ASSERT_EQ(mqtt_publish("a/b", "m", 1, 0), 0);
    c.expect_publish("a/b", "m", tc.expected_qos, tc.expected_qos > 0 ? id : 0);
    c.ping();  // exactly one copy
  }
}

TEST_F(broker_test, EffectiveQosIsTheSmallerOne) {
  struct qos_case {
    int sub_qos;
    int pub_qos;
    int expected;
  };
  const qos_case cases[] = {{1, 0, 0}, {0, 1, 0}, {1, 1, 1}, {0, 0, 0}};
  for (int level : {4, 5}) {
    test_client c(port_);
    c.handshake(opts("q", level));
    test_client pub(port_);
    pub.handshake(opts("pub"));
    for (const auto& tc : cases) {
      SCOPED_TRACE(std::to_string(level) + ": sub " + std::to_string(tc.sub_qos) + " pub " +
                   std::to_string(tc.pub_qos));
      c.subscribe_to("q/t", tc.sub_qos, level);
      uint16_t id = next_id();
      pub.send(publish_packet("q/t", "p", tc.pub_qos, 0x0F0F));
      c.expect_publish("q/t", "p", tc.expected, tc.expected > 0 ? id : 0, false, level);
      if (tc.pub_qos == 1) pub.expect_hex("40 02 0F 0F");
    }
  }
}

TEST_F(broker_test, IdentifiersAreDrawnPerCopyNewestClientFirst) {
  test_client older(port_);
  older.handshake(opts("older"));
  older.subscribe_to("i/#", 1);
  test_client plain(port_);
  plain.handshake(opts("plain"));
  plain.subscribe_to("i/#", 0);  // QoS 0: draws no identifier
  test_client newer(port_);
  newer.handshake(opts("newer"));
  newer.subscribe_to("i/#", 1);
  {
    bvm::lock_guard lock(bvm::s_mutex);
    bvm::s_out_pkt_id = 65535;  // the wrap is part of the sequence
  }
  ASSERT_EQ(mqtt_publish("i/x", "1", 1, 0), 0);
  newer.expect_publish("i/x", "1", 1, 65535);
  plain.expect_publish("i/x", "1");
  older.expect_publish("i/x", "1", 1, 1);
  EXPECT_EQ(next_id(), 2);
}

TEST_F(broker_test, DollarTopicsOnlyMatchDollarFilters) {
  test_client sys(port_);
  sys.handshake(opts("sys"));
  sys.subscribe_to("$SYS/#");
  test_client all(port_);
  all.handshake(opts("all"));
  all.subscribe_to("#");
  test_client plus(port_);
  plus.handshake(opts("plus"));
  plus.subscribe_to("+/load");
  plus.subscribe_to("marker");
  ASSERT_EQ(mqtt_publish("$SYS/load", "0.5", 0, 0), 0);
  sys.expect_publish("$SYS/load", "0.5");
  expect_only_marker(all);
  expect_only_marker(plus);
  // A client publication on a "$" topic takes the same rule.
  test_client pub(port_);
  pub.handshake(opts("pub"));
  pub.send(publish_packet("$SYS/load", "0.7"));
  sys.expect_publish("$SYS/load", "0.7");
  expect_only_marker(all);
}

TEST_F(broker_test, RetainBitOnCopies) {
  test_client sub(port_);
  sub.handshake(opts("sub"));
  sub.subscribe_to("rb/#", 1);
  test_client pub(port_);
  pub.handshake(opts("pub"));
  // A client's retained publication reaches current subscribers with RETAIN 0...
  pub.send(publish_packet("rb/client", "c", 0, 0, true));
  sub.expect_publish("rb/client", "c");
  // ...a host's with RETAIN 1.
  ASSERT_EQ(mqtt_publish("rb/host", "h", 0, 1), 0);
  sub.expect_publish("rb/host", "h", 0, 0, true);
  // Both were stored; a new subscriber gets them with RETAIN 1, newest first.
  test_client late(port_);
  late.handshake(opts("late"));
  late.send(subscribe_packet(9, {{"rb/#", 0}}));
  late.expect_hex("90 03 00 09 00");
  late.expect_publish("rb/host", "h", 0, 0, true);
  late.expect_publish("rb/client", "c", 0, 0, true);
  // A client's empty retained publication clears and is still delivered.
  uint16_t id = next_id();
  pub.send(publish_packet("rb/client", "", 1, 3, true));
  sub.expect_publish("rb/client", "", 1, id);
  pub.expect_hex("40 02 00 03");
  test_client later(port_);
  later.handshake(opts("later"));
  later.send(subscribe_packet(9, {{"rb/#", 0}}));
  later.expect_hex("90 03 00 09 00");
  later.expect_publish("rb/host", "h", 0, 0, true);
  later.ping();
  ASSERT_EQ(mqtt_publish("rb/host", "", 0, 1), 0);
}

TEST_F(broker_test, RetainedStoreReplaceKeepsPlaceAndClear) {
  ASSERT_EQ(mqtt_publish("s/1", "one", 0, 1), 0);
  ASSERT_EQ(mqtt_publish("s/2", "two", 1, 1), 0);
  int64_t before;
  {
    bvm::lock_guard lock(bvm::s_mutex);
    before = bvm::retained_find("s/1")->updated;
  }
  bvm::os::test_shift_wall_clock(100);
  // Replace s/1 from a client: new payload and QoS, same place, fresh time.
  test_client pub(port_);
  pub.handshake(opts("pub"));
  pub.send(publish_packet("s/1", "uno", 1, 5, true));
  pub.expect_hex("40 02 00 05");
  {
    bvm::lock_guard lock(bvm::s_mutex);
    bvm::retained_message* m = bvm::retained_find("s/1");
    ASSERT_NE(m, nullptr);
    EXPECT_GE(m->updated, before + 100);
    EXPECT_EQ(m->qos, 1);
    EXPECT_EQ(bvm::retained_count(), 2);
  }
  bvm::os::test_shift_wall_clock(-100);
  test_client c(port_);
  c.handshake(opts("c"));
  uint16_t id = next_id();
  c.send(subscribe_packet(1, {{"s/#", 1}}));
  c.expect_hex("90 03 00 01 01");
  c.expect_publish("s/2", "two", 1, id, true);
  c.expect_publish("s/1", "uno", 1, static_cast<uint16_t>(id + 1), true);
  // Clear s/2 (client, retained, empty); clearing a topic without entry stores nothing.
  pub.send(publish_packet("s/2", "", 0, 0, true));
  c.expect_publish("s/2", "");
  pub.send(publish_packet("s/none", "", 0, 0, true));
  c.expect_publish("s/none", "");
  {
    bvm::lock_guard lock(bvm::s_mutex);
    EXPECT_EQ(bvm::retained_find("s/2"), nullptr);
    EXPECT_EQ(bvm::retained_find("s/none"), nullptr);
    EXPECT_EQ(bvm::retained_count(), 1);
  }
  test_client d(port_);
  d.handshake(opts("d"));
  d.send(subscribe_packet(2, {{"s/#", 0}}));
  d.expect_hex("90 03 00 02 00");
  d.expect_publish("s/1", "uno", 0, 0, true);
  d.ping();
  ASSERT_EQ(mqtt_publish("s/1", "", 0, 1), 0);
}

TEST_F(broker_test, WillIsPublishedOnAbruptClose) {
  test_client watcher(port_);
  watcher.handshake(opts("watcher"));
  watcher.subscribe_to("will/#", 1);
  struct will_case {
    const char* name;
    int level;
    int will_qos;
    bool will_retain;
    int delivered_qos;
  };
  const will_case cases[] = {
      {"qos 0", 4, 0, false, 0},
      {"qos 1 retained", 4, 1, true, 1},
      {"qos 3 is capped by the subscription", 5, 3, true, 1},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    connect_opts o = opts("dying", tc.level);
    o.will = true;
    o.will_topic = std::string("will/") + tc.name;
    o.will_payload = "last words";
    o.will_qos = tc.will_qos;
    o.will_retain = tc.will_retain;
    test_client c(port_);
    c.handshake(o);
    uint16_t id = next_id();
    c.close();
    // Subscribers get a will with RETAIN 0 in every case.
    watcher.expect_publish(o.will_topic, "last words", tc.delivered_qos,
                           tc.delivered_qos > 0 ? id : 0);
  }
  // The retained wills were stored with their QoS as sent, 3 included.
  {
    bvm::lock_guard lock(bvm::s_mutex);
    ASSERT_NE(bvm::retained_find("will/qos 3 is capped by the subscription"), nullptr);
    EXPECT_EQ(bvm::retained_find("will/qos 3 is capped by the subscription")->qos, 3);
  }
  test_client late(port_);
  late.handshake(opts("late"));
  uint16_t id = next_id();
  late.send(subscribe_packet(5, {{"will/#", 1}}));
  late.expect_hex("90 03 00 05 01");
  late.expect_publish("will/qos 3 is capped by the subscription", "last words", 1, id, true);
  late.expect_publish("will/qos 1 retained", "last words", 1, static_cast<uint16_t>(id + 1), true);
  late.ping();
  ASSERT_EQ(mqtt_publish("will/qos 1 retained", "", 0, 1), 0);
  ASSERT_EQ(mqtt_publish("will/qos 3 is capped by the subscription", "", 0, 1), 0);
}

TEST_F(broker_test, WillWithEmptyTopicIsNeverPublished) {
  test_client watcher(port_);
  watcher.handshake(opts("watcher"));
  watcher.subscribe_to("#");
  // Will flag set but the will fields are cut off: armed with an empty topic.
  bytes body = concat({mqtt_str("MQTT"), {0x04, 0x06, 0x00, 0x00}, mqtt_str("nowill"), {0x00}});
  test_client c(port_);
  c.send(packet(0x10, body));
  c.expect_hex("20 02 00 00");
  c.close();
  EXPECT_TRUE(eventually([] { return broker_client_count() == 1; }));
  expect_only_marker(watcher);
}

}  // namespace
