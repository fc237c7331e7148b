// SUBSCRIBE and UNSUBSCRIBE over loopback in exact bytes: filter validation,
// granted QoS, the 32-filter limit, truncated packets, SUBACK/UNSUBACK at
// both levels, retained delivery after the SUBACK and MQTT 5 property
// sections.
#include <string>
#include <utility>
#include <vector>

#include "brelvane_mqtt.h"
#include "integration/support/test_client.h"

using namespace bvt;

namespace {

using filter_list = std::vector<std::pair<std::string, int>>;

bytes unsubscribe_packet(uint16_t id, const std::vector<std::string>& filters, int level = 4,
                         const bytes& props = {0x00}) {
  bytes body{static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id & 0xFF)};
  if (level == 5) body = concat({body, props});
  for (const auto& f : filters) body = concat({body, mqtt_str(f)});
  return packet(0xA2, body);
}

TEST_F(broker_test, FilterValidationAndGrantedQos) {
  struct sub_case {
    const char* filter;
    int requested;
    uint8_t code;
  };
  const sub_case cases[] = {
      {"a/+/c", 1, 0x01}, {"#", 1, 0x01},     {"+", 1, 0x01},      {"sport/#", 1, 0x01},
      {"/+", 1, 0x01},    {"+/+/#", 1, 0x01}, {"a b/$x", 0, 0x00}, {"q2", 2, 0x01},
      {"q3", 3, 0x01},    {"a#", 1, 0x80},    {"a/#/b", 1, 0x80},  {"a+/b", 1, 0x80},
      {"+a", 1, 0x80},    {"", 1, 0x80},      {"#/", 0, 0x80},     {"a/b#", 0, 0x80},
  };
  filter_list filters;
  bytes codes;
  for (const auto& tc : cases) {
    filters.emplace_back(tc.filter, tc.requested);
    codes.push_back(tc.code);
  }
  for (int level : {4, 5}) {
    SCOPED_TRACE(level);
    test_client c(port_);
    c.handshake(opts("v", level));
    c.send(subscribe_packet(0x0A0B, filters, level));
    bytes head = level == 5 ? bytes{0x90, static_cast<uint8_t>(3 + codes.size()), 0x0A, 0x0B, 0x00}
                            : bytes{0x90, static_cast<uint8_t>(2 + codes.size()), 0x0A, 0x0B};
    c.expect(concat({head, codes}));
  }
}

TEST_F(broker_test, OptionsBytesAndTruncatedSubscribes) {
  struct trunc_case {
    const char* name;
    bytes packet;
    const char* reply;
  };
  const trunc_case cases[] = {
      {"identifier only", hex("82 02 12 34"), "90 02 12 34"},
      {"last filter without options byte",
       packet(0x82, concat({hex("00 05"), mqtt_str("x/1"), {0x01}, mqtt_str("x/2")})),
       "90 04 00 05 01 00"},
      // Options bits other than the QoS are ignored.
      {"options with other bits", packet(0x82, concat({hex("00 06"), mqtt_str("x/3"), {0xFD}})),
       "90 03 00 06 01"},
      {"first filter past the packet", hex("82 05 00 07 00 09 61"), "90 02 00 07"},
      {"half a filter length", hex("82 03 00 08 00"), "90 02 00 08"},
      // The second filter does not fit: answered for the first only.
      {"second filter past the packet",
       packet(0x82, concat({hex("00 09"), mqtt_str("x/4"), {0x01}, hex("00 05 61")})),
       "90 03 00 09 01"},
      {"remaining length 1: ignored, no reply", hex("82 01 00"), ""},
  };
  test_client c(port_);
  c.handshake(opts("t"));
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    c.send(tc.packet);
    c.expect_hex(tc.reply);
  }
  c.ping();
}

TEST_F(broker_test, ThirtyThreeFiltersGetThirtyTwoCodes) {
  filter_list filters;
  std::vector<std::string> names;
  for (int i = 0; i < 33; ++i) {
    filters.emplace_back("f/" + std::to_string(i), 1);
    names.push_back(filters.back().first);
  }
  for (int level : {4, 5}) {
    SCOPED_TRACE(level);
    test_client c(port_);
    c.handshake(opts("many", level));
    c.send(subscribe_packet(0x0102, filters, level));
    c.expect(concat({level == 5 ? hex("90 23 01 02 00") : hex("90 22 01 02"), bytes(32, 0x01)}));
    c.ping();
    // The 33rd filter was not stored.
    ASSERT_EQ(mqtt_publish("f/32", "no", 0, 0), 0);
    ASSERT_EQ(mqtt_publish("f/31", "yes", 0, 0), 0);
    c.expect_publish("f/31", "yes", 0, 0, false, level);
    // Nor is it answered in an UNSUBSCRIBE: 32 codes at most.
    c.send(unsubscribe_packet(0x0203, names, level));
    c.expect(level == 5 ? concat({hex("B0 23 02 03 00"), bytes(32, 0x00)}) : hex("B0 02 02 03"));
    c.send(unsubscribe_packet(0x0204, names, level));
    c.expect(level == 5 ? concat({hex("B0 23 02 04 00"), bytes(32, 0x11)}) : hex("B0 02 02 04"));
    c.ping();
  }
}

TEST_F(broker_test, ResubscribeUpdatesTheEntryAndResendsRetained) {
  ASSERT_EQ(mqtt_publish("r/a", "stored", 1, 1), 0);
  uint16_t first_id = 0;
  test_client c(port_);
  c.handshake(opts("re"));
  c.send(subscribe_packet(1, {{"r/#", 1}}));
  c.expect_hex("90 03 00 01 01");
  bytes retained = c.read_packet();
  ASSERT_EQ(retained.size(), 15u) << to_hex(retained);
  EXPECT_EQ(to_hex(bytes(retained.begin(), retained.begin() + 7)), "33 0d 00 03 72 2f 61");
  first_id = static_cast<uint16_t>(retained[7] << 8 | retained[8]);
  EXPECT_NE(first_id, 0);
  // Again at QoS 0: one entry, now QoS 0, and the retained message again,
  // now without identifier.
  c.send(subscribe_packet(2, {{"r/#", 0}}));
  c.expect_hex("90 03 00 02 00");
  c.expect_publish("r/a", "stored", 0, 0, true);
  ASSERT_EQ(mqtt_publish("r/b", "live", 1, 0), 0);
  c.expect_publish("r/b", "live");  // one copy, at QoS 0
  c.ping();
  ASSERT_EQ(mqtt_publish("r/a", "", 0, 1), 0);
}

TEST_F(broker_test, RetainedDeliveryFollowsTheSuback) {
  ASSERT_EQ(mqtt_publish("x/y", "xy", 0, 1), 0);
  ASSERT_EQ(mqtt_publish("x/z", "xz", 1, 1), 0);
  test_client c(port_);
  c.handshake(opts("rd"));
  // Per filter in packet order, only valid filters, newest retained first;
  // a message matching two filters comes once per filter.
  c.send(subscribe_packet(4, {{"x/#/y", 1}, {"x/y", 0}, {"x/+", 0}}));
  c.expect_hex("90 05 00 04 80 00 00");
  c.expect_publish("x/y", "xy", 0, 0, true);
  c.expect_publish("x/z", "xz", 0, 0, true);
  c.expect_publish("x/y", "xy", 0, 0, true);
  c.ping();
  ASSERT_EQ(mqtt_publish("x/y", "", 0, 1), 0);
  ASSERT_EQ(mqtt_publish("x/z", "", 0, 1), 0);
}

TEST_F(broker_test, UnsubscribeAtBothLevels) {
  for (int level : {4, 5}) {
    SCOPED_TRACE(level);
    test_client c(port_);
    c.handshake(opts("un", level));
    c.subscribe_to("u/a", 0, level);
    c.subscribe_to("u/+", 0, level);
    c.subscribe_to("marker", 0, level);
    // Exact text only: "u/#" and an invalid filter are simply not found.
    c.send(unsubscribe_packet(0x3344, {"u/a", "u/#", "u/a", "a#"}, level));
    c.expect_hex(level == 5 ? "B0 07 33 44 00 00 11 11 11" : "B0 02 33 44");
    ASSERT_EQ(mqtt_publish("u/a", "still via u/+", 0, 0), 0);
    c.expect_publish("u/a", "still via u/+", 0, 0, false, level);
    c.send(unsubscribe_packet(0x3345, {"u/+"}, level));
    c.expect_hex(level == 5 ? "B0 04 33 45 00 00" : "B0 02 33 45");
    ASSERT_EQ(mqtt_publish("u/a", "gone", 0, 0), 0);
    ASSERT_EQ(mqtt_publish("marker", "m", 0, 0), 0);
    c.expect_publish("marker", "m", 0, 0, false, level);
    // Identifier only, and a truncated filter.
    c.send(unsubscribe_packet(0x3346, {}, level, {}));
    c.expect_hex(level == 5 ? "B0 03 33 46 00" : "B0 02 33 46");
    c.send_hex("A2 01 00");  // ignored
    c.ping();
  }
}

TEST_F(broker_test, LongFilterIsStoredCutAndRemovedByTheSameBytes) {
  const std::string filter = std::string(250, 'L') + "/" + std::string(49, 'x');  // 300 bytes
  const std::string stored = filter.substr(0, 255);
  test_client pub(port_);
  pub.handshake(opts("pub"));
  test_client c(port_);
  c.handshake(opts("long", 5));
  c.send(subscribe_packet(1, {{filter, 0}}, 5));
  c.expect_hex("90 04 00 01 00 00");
  // A client topic is cut at 255 bytes too, so the same 300 bytes match.
  pub.send(publish_packet(filter, "hit"));
  c.expect_publish(stored, "hit", 0, 0, false, 5);
  c.send(unsubscribe_packet(2, {filter}, 5));
  c.expect_hex("B0 04 00 02 00 00");
  c.send(unsubscribe_packet(3, {filter}, 5));
  c.expect_hex("B0 04 00 03 00 11");
  pub.send(publish_packet(filter, "miss"));
  c.ping();
}

TEST_F(broker_test, Level5PropertySectionsAreSkipped) {
  test_client c(port_);
  c.handshake(opts("p5", 5));
  // Subscription identifier 5 and a user property.
  c.send(packet(0x82, concat({hex("00 21"),
                              hex("09 0b 05 26 00 01 6b 00 01 76"),
                              mqtt_str("p/a"),
                              {0x01},
                              mqtt_str("p/+"),
                              {0x2E}})));
  c.expect_hex("90 05 00 21 00 01 01");
  // Empty section; a section that hides the filter; an unreadable length.
  c.send(packet(0x82, concat({hex("00 22 00"), mqtt_str("p/b"), {0x00}})));
  c.expect_hex("90 04 00 22 00 00");
  c.send(packet(0x82, concat({hex("00 23 05"), mqtt_str("p/c"), {0x00}})));
  c.expect_hex("90 03 00 23 00");
  c.send(packet(0xA2, concat({hex("00 24 03 26 00 00"), mqtt_str("p/a")})));
  c.expect_hex("B0 04 00 24 00 00");
  c.send(hex("82 03 00 25 80"));
  c.expect_hex("90 03 00 25 00");
  c.ping();
}

}  // namespace
