// The host's view: message history polling, the topics report and the
// statistics report.
#include <string>

#include <rapidjson/document.h>

#include "brelvane_mqtt.h"
#include "integration/support/test_client.h"

using namespace bvt;

namespace {

rapidjson::Document parse(const char* text) {
  rapidjson::Document d;
  d.Parse(text);
  EXPECT_FALSE(d.HasParseError()) << text;
  return d;
}

std::string ids_of(const char* json) {
  rapidjson::Document d = parse(json);
  std::string out;
  for (auto& e : d.GetArray()) out += std::to_string(e["id"].GetInt64()) + ",";
  return out;
}

}  // namespace

TEST(Poll, EmptyHistoryIsAnEmptyArray) { EXPECT_STREQ(mqtt_poll_messages_json(0), "[]"); }

TEST(Poll, EntryHasItsKeysInOrderAndCompact) {
  ASSERT_EQ(mqtt_publish("a/b", "hello \"x\"\n", 1, 1), 0);
  rapidjson::Document d = parse(mqtt_poll_messages_json(0));
  ASSERT_EQ(d.Size(), 1u);
  int64_t ts = d[0]["timestamp"].GetInt64();
  std::string expected =
      "[{\"id\":1,\"topic\":\"a/b\",\"payload\":\"hello \\\"x\\\"\\n\",\"qos\":1,"
      "\"retain\":true,\"client_id\":\"broker\",\"timestamp\":" +
      std::to_string(ts) + "}]";
  EXPECT_EQ(mqtt_poll_messages_json(0), expected);
}

TEST(Poll, RingKeepsTheNewest500AndIdsKeepRising) {
  for (int i = 0; i < 501; ++i) ASSERT_EQ(mqtt_publish("t", "x", 0, 0), 0);
  rapidjson::Document d = parse(mqtt_poll_messages_json(0));
  ASSERT_EQ(d.Size(), 500u);
  EXPECT_EQ(d[0]["id"].GetInt64(), 2);
  EXPECT_EQ(d[499]["id"].GetInt64(), 501);
}

TEST(Poll, LimitSelectsTheNewestEntriesOldestFirst) {
  for (int i = 0; i < 10; ++i) ASSERT_EQ(mqtt_publish("t", "x", 0, 0), 0);
  EXPECT_EQ(ids_of(mqtt_poll_messages_json(3)), "8,9,10,");
  for (int limit : {10, 20, 0, -1}) {
    EXPECT_EQ(ids_of(mqtt_poll_messages_json(limit)), "1,2,3,4,5,6,7,8,9,10,") << limit;
  }
}

TEST(Poll, PayloadIsCutAtItsFirstNulAndTopicAt255Bytes) {
  std::string topic(300, 't');
  ASSERT_EQ(mqtt_publish(topic.c_str(), "abc", 0, 0), 0);
  rapidjson::Document d = parse(mqtt_poll_messages_json(0));
  EXPECT_EQ(std::string(d[0]["topic"].GetString()), std::string(255, 't'));
}

// A binary payload, topic or client identifier is listed with U+FFFD in
// place of each invalid sequence instead of blanking the whole report.
TEST(Poll, InvalidUtf8IsShownWithReplacementCharacters) {
  ASSERT_EQ(mqtt_publish("ok", "before", 0, 0), 0);
  ASSERT_EQ(mqtt_publish("bin", "\xFF\xFE", 0, 0), 0);
  ASSERT_EQ(mqtt_publish("t\xC3", "x", 0, 0), 0);
  rapidjson::Document d = parse(mqtt_poll_messages_json(0));
  ASSERT_EQ(d.Size(), 3u);
  EXPECT_STREQ(d[1]["payload"].GetString(), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_STREQ(d[2]["topic"].GetString(), "t\xEF\xBF\xBD");
  rapidjson::Document topics = parse(mqtt_get_topics_json());
  EXPECT_EQ(topics.Size(), 3u);
}

class ReportsOverTcp : public broker_test {};

TEST_F(ReportsOverTcp, ClientIdentifierThatIsNotUtf8IsStillListed) {
  test_client c(port_);
  connect_opts o;
  o.client_id = "id\xFF";
  c.handshake(o);
  c.send(publish_packet("t", "p"));
  ASSERT_TRUE(eventually([] { return std::string(mqtt_poll_messages_json(0)) != "[]"; }));
  rapidjson::Document d = parse(mqtt_poll_messages_json(0));
  EXPECT_STREQ(d[0]["client_id"].GetString(), "id\xEF\xBF\xBD");
}

TEST_F(ReportsOverTcp, WillIsListedUnderTheDepartedClient) {
  {
    test_client c(port_);
    connect_opts o;
    o.client_id = "leaver";
    o.will = true;
    o.will_topic = "status/leaver";
    o.will_payload = "offline";
    c.handshake(o);
  }  // closed without DISCONNECT
  ASSERT_TRUE(eventually([] { return std::string(mqtt_poll_messages_json(0)) != "[]"; }));
  rapidjson::Document d = parse(mqtt_poll_messages_json(0));
  EXPECT_STREQ(d[0]["client_id"].GetString(), "leaver");
  EXPECT_STREQ(d[0]["topic"].GetString(), "status/leaver");
  EXPECT_STREQ(d[0]["payload"].GetString(), "offline");
}

TEST(Topics, RetainedObjectsComeFirstThenHistoryWithoutRetainedTopics) {
  EXPECT_STREQ(mqtt_get_topics_json(), "[]");
  ASSERT_EQ(mqtt_publish("a/b", "r", 1, 1), 0);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(mqtt_publish("a/b", "n", 0, 0), 0);
  for (const char* p : {"1", "2", "3"}) ASSERT_EQ(mqtt_publish("c", p, 0, 0), 0);
  rapidjson::Document d = parse(mqtt_get_topics_json());
  ASSERT_EQ(d.Size(), 4u);
  EXPECT_STREQ(d[0]["topic"].GetString(), "a/b");
  EXPECT_TRUE(d[0]["retained"].GetBool());
  EXPECT_STREQ(d[0]["payload"].GetString(), "r");
  EXPECT_EQ(d[0]["qos"].GetInt(), 1);
  for (rapidjson::SizeType i = 1; i <= 3; ++i) {
    EXPECT_STREQ(d[i]["topic"].GetString(), "c");
    EXPECT_FALSE(d[i]["retained"].GetBool());
    EXPECT_EQ(d[i]["payload"].GetString(), std::to_string(i));
  }
  std::string first = std::string(mqtt_get_topics_json()).substr(0, 60);
  EXPECT_EQ(first.rfind("[{\"topic\":\"a/b\",\"retained\":true,\"payload\":\"r\",\"qos\":1,", 0),
            0u);
}

TEST(Topics, ClearedRetainedTopicFallsBackToItsHistory) {
  ASSERT_EQ(mqtt_publish("x", "r", 0, 1), 0);
  ASSERT_EQ(mqtt_publish("x", "", 0, 1), 0);  // clears
  rapidjson::Document d = parse(mqtt_get_topics_json());
  ASSERT_EQ(d.Size(), 2u);
  for (auto& e : d.GetArray()) EXPECT_FALSE(e["retained"].GetBool());
  EXPECT_STREQ(d[1]["payload"].GetString(), "");
}

TEST(Stats, BeforeTheFirstStart) {
  EXPECT_STREQ(mqtt_get_stats_json(),
               "{\"status\":\"stopped\",\"tcp_port\":1883,\"ws_port\":9001,\"active_clients\":0,"
               "\"total_published\":0,\"total_received\":0,\"bytes_in\":0,\"bytes_out\":0,"
               "\"uptime_seconds\":0,\"retained_count\":0,\"sessions\":0,\"session_queued\":0,"
               "\"session_dropped\":0}");
}

TEST(Stats, CountersSurviveAStopAndPortsAreReported) {
  int port = free_port();
  ASSERT_EQ(mqtt_broker_start(port, 0, nullptr), 0);
  {
    test_client sub(port);
    sub.handshake({});
    sub.send(subscribe_packet(1, {{"t", 0}}));
    sub.expect_hex("90 03 00 01 00");
    test_client pub(port);
    connect_opts o;
    o.client_id = "p";
    pub.handshake(o);
    pub.send(publish_packet("t", "x"));
    sub.expect(publish_packet("t", "x"));
    ASSERT_EQ(mqtt_publish("t", "y", 0, 1), 0);
    sub.expect(publish_packet("t", "y", 0, 0, true));
    rapidjson::Document d = parse(mqtt_get_stats_json());
    EXPECT_STREQ(d["status"].GetString(), "running");
    EXPECT_EQ(d["tcp_port"].GetInt(), port);
    EXPECT_EQ(d["ws_port"].GetInt(), 0);
    EXPECT_EQ(d["active_clients"].GetInt(), 2);
    EXPECT_EQ(d["total_received"].GetInt64(), 1);
    EXPECT_EQ(d["total_published"].GetInt64(), 1);
    EXPECT_EQ(d["retained_count"].GetInt(), 1);
  }
  mqtt_broker_stop();
  rapidjson::Document d = parse(mqtt_get_stats_json());
  EXPECT_STREQ(d["status"].GetString(), "stopped");
  EXPECT_EQ(d["uptime_seconds"].GetInt64(), 0);
  EXPECT_EQ(d["active_clients"].GetInt(), 0);
  EXPECT_EQ(d["total_received"].GetInt64(), 1);
  EXPECT_EQ(d["total_published"].GetInt64(), 1);
  EXPECT_GT(d["bytes_in"].GetInt64(), 0);
  EXPECT_GT(d["bytes_out"].GetInt64(), 0);
}
