// Persistent sessions over loopback in exact bytes: the offline queue and its
// redelivery (new identifiers, DUP with the old one), PUBACK trimming, the
// queue limits, deletion by clean connections, take-over between two
// persistent connections, and eviction at the session limit.
#include "session/session.h"

#include <string>

#include "brelvane_mqtt.h"
#include "broker/state.h"
#include "integration/support/test_client.h"
#include "mqtt/codec.h"
#include "net/client.h"

using namespace bvt;

namespace {

uint16_t next_id() {
  bvm::lock_guard lock(bvm::s_mutex);
  return bvm::s_out_pkt_id;
}

int64_t dropped() {
  bvm::lock_guard lock(bvm::s_mutex);
  return bvm::s_session_dropped;
}

uint64_t queued(const char* id) {
  bvm::lock_guard lock(bvm::s_mutex);
  bvm::mqtt_session* s = bvm::session_find(id);
  return s == nullptr ? ~uint64_t{0} : s->queue_count;
}

bool has_session(const char* id) {
  bvm::lock_guard lock(bvm::s_mutex);
  return bvm::session_find(id) != nullptr;
}

connect_opts persistent(const std::string& id) {
  connect_opts o = opts(id);
  o.clean = false;
  return o;
}

bytes puback(uint16_t id) {
  return bytes{0x40, 0x02, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id & 0xFF)};
}

// Connects persistently, subscribes, and leaves with DISCONNECT; returns
// once the broker has detached the session.
void leave_with_subscription(int port, const std::string& id, const std::string& filter, int qos) {
  test_client c(port);
  c.handshake(persistent(id));
  c.subscribe_to(filter, qos);
  c.send_hex("E0 00");
  EXPECT_TRUE(c.closed_within(2000));
}

TEST_F(broker_test, QueuedWhileAwayIsDeliveredOnResume) {
  leave_with_subscription(port_, "away", "q/#", 1);
  ASSERT_EQ(mqtt_publish("q/1", "m1", 1, 0), 0);
  ASSERT_EQ(mqtt_publish("q/0", "m0", 0, 0), 0);  // QoS 0: never queued
  ASSERT_EQ(mqtt_publish("q/r", "mr", 1, 1), 0);  // keeps its RETAIN bit
  EXPECT_EQ(queued("away"), 2u);
  uint16_t id = next_id();  // nothing was drawn for the detached session
  test_client c(port_);
  c.handshake(persistent("away"), true);
  c.expect_publish("q/1", "m1", 1, id);
  c.expect_publish("q/r", "mr", 1, static_cast<uint16_t>(id + 1), true);
  c.ping();
  // Still queued until acknowledged; the subscriptions came back too.
  EXPECT_EQ(queued("away"), 2u);
  c.send(concat({puback(id), puback(static_cast<uint16_t>(id + 1))}));
  c.ping();
  EXPECT_EQ(queued("away"), 0u);
  ASSERT_EQ(mqtt_publish("q/live", "l", 1, 0), 0);
  c.expect_publish("q/live", "l", 1, static_cast<uint16_t>(id + 2));
  c.send(puback(static_cast<uint16_t>(id + 2)));
  c.close();
  test_client again(port_);
  again.handshake(persistent("away"), true);
  again.ping();  // nothing left to redeliver
  ASSERT_EQ(mqtt_publish("q/r", "", 0, 1), 0);
}

TEST_F(broker_test, UnacknowledgedDeliveryComesAgainWithDupAndTheSameId) {
  test_client c(port_);
  c.handshake(persistent("dup"));
  c.subscribe_to("d/#", 1);
  uint16_t id = next_id();
  ASSERT_EQ(mqtt_publish("d/1", "once", 1, 0), 0);
  c.expect_publish("d/1", "once", 1, id);
  c.close();  // abruptly, without PUBACK
  EXPECT_TRUE(eventually([] { return broker_client_count() == 0; }));
  ASSERT_EQ(mqtt_publish("d/2", "twice", 1, 0), 0);  // queued while away
  uint16_t fresh = next_id();
  test_client back(port_);
  back.handshake(persistent("dup"), true);
  back.expect_publish("d/1", "once", 1, id, false, 4, true);
  back.expect_publish("d/2", "twice", 1, fresh);
  back.send(puback(id));
  back.close();
  EXPECT_TRUE(eventually([] { return broker_client_count() == 0; }));
  // The second one was sent once now: it comes with DUP; the first is gone.
  test_client third(port_);
  third.handshake(persistent("dup"), true);
  third.expect_publish("d/2", "twice", 1, fresh, false, 4, true);
  third.ping();
}

TEST_F(broker_test, PubackRemovesOnlyTheOlderOfTwoEqualIdentifiers) {
  test_client c(port_);
  c.handshake(persistent("twins"));
  c.subscribe_to("tw/#", 1);
  for (const char* payload : {"older", "newer"}) {
    {
      bvm::lock_guard lock(bvm::s_mutex);
      bvm::s_out_pkt_id = 77;
    }
    ASSERT_EQ(mqtt_publish("tw/x", payload, 1, 0), 0);
    c.expect_publish("tw/x", payload, 1, 77);
  }
  c.send(concat({puback(77), puback(0), puback(999)}));  // 0 and unknown ids change nothing
  c.ping();
  EXPECT_EQ(queued("twins"), 1u);
  c.close();
  EXPECT_TRUE(eventually([] { return broker_client_count() == 0; }));
  test_client back(port_);
  back.handshake(persistent("twins"), true);
  back.expect_publish("tw/x", "newer", 1, 77, false, 4, true);
  back.ping();
}

TEST_F(broker_test, QueueKeepsTheNewest1000) {
  leave_with_subscription(port_, "full", "f/#", 1);
  int64_t dropped_before = dropped();
  for (int i = 0; i <= 1000; ++i) {
    ASSERT_EQ(mqtt_publish("f/m", std::to_string(i).c_str(), 1, 0), 0);
  }
  EXPECT_EQ(queued("full"), 1000u);
  EXPECT_EQ(dropped(), dropped_before + 1);
  uint16_t id = next_id();
  test_client c(port_);
  c.handshake(persistent("full"), true);
  for (int i = 1; i <= 1000; ++i) {
    c.expect_publish("f/m", std::to_string(i), 1, static_cast<uint16_t>(id + i - 1));
    if (::testing::Test::HasFailure()) break;
  }
  c.ping();
}

TEST_F(broker_test, OneLargeMessageDropsEveryOlderEntry) {
  leave_with_subscription(port_, "big", "b/#", 1);
  int64_t dropped_before = dropped();
  for (const char* p : {"a", "b", "c"}) ASSERT_EQ(mqtt_publish("b/small", p, 1, 0), 0);
  const std::string large(5 * 1024 * 1024, 'L');
  ASSERT_EQ(mqtt_publish("b/large", large.c_str(), 1, 0), 0);
  EXPECT_EQ(queued("big"), 1u);
  EXPECT_EQ(dropped(), dropped_before + 3);
  uint16_t id = next_id();
  test_client c(port_);
  c.handshake(persistent("big"), true);
  bytes got = c.read_packet(10000);
  EXPECT_EQ(got.size(), 1u + 4u + 2u + 7u + 2u + large.size());
  EXPECT_TRUE(got == publish_packet("b/large", large, 1, id)) << "the 5 MiB message";
  c.ping();
}

TEST_F(broker_test, CleanConnectionsDeleteTheStoredSession) {
  struct clean_case {
    const char* name;
    int level;
    bool clean;
  };
  const clean_case cases[] = {
      {"level 4 clean 1", 4, true},
      {"level 5 clean start 0", 5, false},
      {"level 5 clean start 1", 5, true},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    leave_with_subscription(port_, "gone", "g/#", 1);
    ASSERT_EQ(mqtt_publish("g/1", "queued", 1, 0), 0);
    ASSERT_EQ(queued("gone"), 1u);
    connect_opts o = opts("gone", tc.level);
    o.clean = tc.clean;
    test_client c(port_);
    c.handshake(o, false);  // level 5 never answers session present 1
    c.ping();               // no redelivery
    EXPECT_FALSE(has_session("gone"));
    // Its subscriptions went with it.
    ASSERT_EQ(mqtt_publish("g/2", "x", 1, 0), 0);
    c.ping();
    c.close();
    EXPECT_TRUE(eventually([] { return broker_client_count() == 0; }));
    test_client fresh(port_);
    fresh.handshake(persistent("gone"), false);
    fresh.ping();
    fresh.send_hex("E0 00");
    EXPECT_TRUE(fresh.closed_within(2000));
    // Leave no session behind for the next case.
    test_client wipe(port_);
    wipe.handshake(opts("gone"));
  }
}

TEST_F(broker_test, TakeOverBetweenPersistentConnectionsKeepsTheSession) {
  test_client watcher(port_);
  watcher.handshake(opts("watcher"));
  watcher.subscribe_to("will/#");
  watcher.subscribe_to("marker");
  connect_opts o = persistent("tk");
  o.will = true;
  o.will_topic = "will/tk";
  o.will_payload = "old";
  test_client first(port_);
  first.handshake(o);
  first.subscribe_to("tk/#", 1);
  uint16_t id = next_id();
  ASSERT_EQ(mqtt_publish("tk/1", "unacked", 1, 0), 0);
  first.expect_publish("tk/1", "unacked", 1, id);
  test_client second(port_);
  second.handshake(o, true);
  second.expect_publish("tk/1", "unacked", 1, id, false, 4, true);
  EXPECT_TRUE(first.closed_within(1000));
  expect_only_marker(watcher);  // no will from the first connection
  // The subscriptions moved to the new connection.
  ASSERT_EQ(mqtt_publish("tk/2", "live", 1, 0), 0);
  second.expect_publish("tk/2", "live", 1, static_cast<uint16_t>(id + 1));
  {
    bvm::lock_guard lock(bvm::s_mutex);
    bvm::mqtt_session* s = bvm::session_find("tk");
    ASSERT_NE(s, nullptr);
    EXPECT_NE(s->owner, nullptr);
    EXPECT_EQ(s->subs, nullptr);  // on loan to the owner
    EXPECT_EQ(s->queue_count, 2u);
  }
}

TEST_F(broker_test, SessionLimitEvictsTheLeastRecentlySeenDetachedSession) {
  {
    bvm::lock_guard lock(bvm::s_mutex);
    ASSERT_EQ(bvm::s_session_count, 0);
    for (int i = 0; i < bvm::MAX_SESSIONS; ++i) {
      bvm::mqtt_session* s = bvm::session_create(("s" + std::to_string(i)).c_str());
      ASSERT_NE(s, nullptr);
      s->last_seen = 1000 + i;
    }
    // Two share the smallest last_seen: the one met first in list order
    // (the newer one, s7000) goes.
    bvm::session_find("s5000")->last_seen = 10;
    bvm::session_find("s7000")->last_seen = 10;
    ASSERT_EQ(bvm::s_session_count, bvm::MAX_SESSIONS);
  }
  test_client c(port_);
  c.handshake(persistent("newcomer"));
  {
    bvm::lock_guard lock(bvm::s_mutex);
    EXPECT_EQ(bvm::s_session_count, bvm::MAX_SESSIONS);
    EXPECT_EQ(bvm::session_find("s7000"), nullptr);
    EXPECT_NE(bvm::session_find("s5000"), nullptr);
    EXPECT_NE(bvm::session_find("newcomer"), nullptr);
  }
  // With every session bound (here: the newcomer's, and the others given a
  // stand-in owner), a new one is created anyway.
  bvm::mqtt_client stand_in;
  {
    bvm::lock_guard lock(bvm::s_mutex);
    for (bvm::mqtt_session* s = bvm::s_sessions; s != nullptr; s = s->next) {
      if (s->owner == nullptr) s->owner = &stand_in;
    }
  }
  test_client d(port_);
  d.handshake(persistent("overflow"));
  {
    bvm::lock_guard lock(bvm::s_mutex);
    EXPECT_EQ(bvm::s_session_count, bvm::MAX_SESSIONS + 1);
    EXPECT_NE(bvm::session_find("s5000"), nullptr);
    for (bvm::mqtt_session* s = bvm::s_sessions; s != nullptr; s = s->next) {
      if (s->owner == &stand_in) s->owner = nullptr;
    }
  }
  // A fan-out walks every session: still quick and correct at this size.
  ASSERT_EQ(mqtt_publish("x", "y", 1, 0), 0);
  d.ping();
}

}  // namespace
