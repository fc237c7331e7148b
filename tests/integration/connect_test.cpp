// CONNECT over loopback in exact bytes: the CONNACK table at levels 4 and 5,
// malformed headers, generated identifiers, the user list, wills of refused
// and taken-over connections, and MQTT 5 property sections.
#include <string>
#include <vector>

#include "brelvane_mqtt.h"
#include "broker/state.h"
#include "inspect/history.h"
#include "integration/support/test_client.h"
#include "net/client.h"

using namespace bvt;

namespace {

// The body of a CONNECT up to and including the keep-alive.
bytes header(const std::string& name, uint8_t level, uint8_t flags, uint16_t keep_alive = 0) {
  return concat({mqtt_str(name),
                 {level, flags, static_cast<uint8_t>(keep_alive >> 8),
                  static_cast<uint8_t>(keep_alive & 0xFF)}});
}

bytes connect_raw(const bytes& body) { return packet(0x10, body); }

// The identifier of the newest connection the broker holds.
std::string newest_client_id() {
  bvm::lock_guard lock(bvm::s_mutex);
  return bvm::s_clients == nullptr ? std::string() : std::string(bvm::s_clients->client_id);
}

bool is_generated_id(const std::string& id) {
  if (id.rfind("client_", 0) != 0 || id.size() == 7) return false;
  for (size_t i = 7; i < id.size(); ++i) {
    if (id[i] < '0' || id[i] > '9') return false;
  }
  return std::stoul(id.substr(7)) <= 65535;
}

struct connect_case {
  const char* name;
  bytes packet;
  const char* reply;  // exact bytes expected (may be empty)
  bool accepted;      // stays open and answers PINGREQ; else closed after the reply
  std::string id;     // accepted: the stored identifier ("*" = generated)
};

std::vector<connect_case> connect_cases() {
  const uint8_t clean = 0x02;
  return {
      {"level 3 with name MQTT", connect_raw(concat({header("MQTT", 3, clean), mqtt_str("a")})),
       "20 02 00 01", false, ""},
      {"level 6", connect_raw(concat({header("MQTT", 6, clean), mqtt_str("a")})), "20 02 00 01",
       false, ""},
      {"level 3 with the old name",
       connect_raw(concat({header("MQIsdp", 3, clean), mqtt_str("a")})), "", false, ""},
      {"lower-case name", connect_raw(concat({header("mqtt", 4, clean), mqtt_str("a")})), "", false,
       ""},
      {"name length past the packet", hex("10 03 00 09 4d"), "", false, ""},
      {"remaining length 1", hex("10 01 00"), "", false, ""},
      {"name only", hex("10 06 00 04 4d 51 54 54"), "", false, ""},
      {"no room for flags and keep-alive", hex("10 08 00 04 4d 51 54 54 04 02"), "", false, ""},
      {"level 4 reserved flag", connect_raw(concat({header("MQTT", 4, 0x03), mqtt_str("a")})), "",
       false, ""},
      {"level 5 reserved flag",
       connect_raw(concat({header("MQTT", 5, 0x03), {0x00}, mqtt_str("a")})), "", false, ""},
      {"level 4 empty id, clean 0", connect_raw(concat({header("MQTT", 4, 0), mqtt_str("")})),
       "20 02 00 02", false, ""},
      {"level 4 id past the packet, clean 0",
       connect_raw(concat({header("MQTT", 4, 0), hex("00 09 61 62")})), "20 02 00 02", false, ""},
      {"level 4 id starting with NUL, clean 0",
       connect_raw(concat({header("MQTT", 4, 0), hex("00 02 00 61")})), "20 02 00 02", false, ""},
      {"level 4 empty id, clean 1", connect_raw(concat({header("MQTT", 4, clean), mqtt_str("")})),
       "20 02 00 00", true, "*"},
      {"level 4 without id field, clean 1", connect_raw(header("MQTT", 4, clean)), "20 02 00 00",
       true, "*"},
      {"level 5 empty id, clean 0",
       connect_raw(concat({header("MQTT", 5, 0), {0x00}, mqtt_str("")})), "20 03 00 00 00", true,
       "*"},
      {"level 4 accepted", connect_raw(concat({header("MQTT", 4, clean, 60), mqtt_str("plain")})),
       "20 02 00 00", true, "plain"},
      // Session expiry interval and receive maximum: measured and skipped.
      {"level 5 with properties",
       connect_raw(concat(
           {header("MQTT", 5, clean), hex("08 11 00 00 00 3c 21 00 0a"), mqtt_str("props")})),
       "20 03 00 00 00", true, "props"},
      // The section length cannot be decoded: taken as absent, so the id
      // field is looked for where the section would have started.
      {"level 5 with an unreadable property length",
       connect_raw(concat({header("MQTT", 5, clean), {0x80}})), "20 03 00 00 00", true, "*"},
      {"will QoS 3",
       connect_raw(concat({header("MQTT", 4, clean | 0x04 | 0x18), mqtt_str("wq3"), mqtt_str("w"),
                           mqtt_str("p")})),
       "20 02 00 00", true, "wq3"},
      {"password without user name",
       connect_raw(concat({header("MQTT", 4, clean | 0x40), mqtt_str("pw"), mqtt_str("secret")})),
       "20 02 00 00", true, "pw"},
      {"client id cut at 127 bytes",
       connect_raw(concat({header("MQTT", 4, clean), mqtt_str(std::string(200, 'i'))})),
       "20 02 00 00", true, std::string(127, 'i')},
  };
}

TEST_F(broker_test, ConnectTable) {
  for (const auto& tc : connect_cases()) {
    SCOPED_TRACE(tc.name);
    test_client c(port_);
    c.send(tc.packet);
    if (tc.accepted) {
      c.expect_hex(tc.reply);
      c.ping();
      std::string id = newest_client_id();
      if (tc.id == "*") {
        EXPECT_TRUE(is_generated_id(id)) << id;
      } else {
        EXPECT_EQ(id, tc.id);
      }
    } else {
      bytes before;
      EXPECT_TRUE(c.closed_within(2000, &before));
      EXPECT_EQ(to_hex(before), to_hex(hex(tc.reply)));
    }
  }
  // None of these is a MAX_PAYLOAD_LEN case: nothing was written as an error.
  EXPECT_EQ(broker_last_error(), "");
}

TEST_F(broker_test, SecondConnectClosesWithoutReply) {
  test_client c(port_);
  c.handshake({});
  c.send(connect_packet({}));
  bytes before;
  EXPECT_TRUE(c.closed_within(2000, &before));
  EXPECT_EQ(to_hex(before), "");
}

// A broker started with a user list.
class auth_test : public broker_test {
 protected:
  auth_test() { auto_start_ = false; }
};

const std::string LONG_NAME(200, 'u');

struct auth_case {
  const char* name;
  int level;
  bool has_user;
  std::string user;
  bool has_pass;
  std::string pass;
  bool accepted;
};

TEST_F(auth_test, CredentialTable) {
  std::string users = R"({"other":1,"users":[{"username":"alice","password":"pw"},)"
                      R"({"username":"alice","password":"second"},)"
                      R"({"username":"nopass"},)"
                      R"({"username":"num","password":5},)"
                      R"({"password":"x"},42,)"
                      R"({"username":")" +
                      LONG_NAME + R"(","password":"long"}]})";
  ASSERT_EQ(start(users.c_str()), 0) << mqtt_last_error();
  const auth_case cases[] = {
      {"right password", 4, true, "alice", true, "pw", true},
      {"second entry's password", 4, true, "alice", true, "second", true},
      {"wrong password", 4, true, "alice", true, "PW", false},
      {"wrong password level 5", 5, true, "alice", true, "nope", false},
      {"no password", 4, true, "alice", false, "", false},
      {"no credentials", 4, false, "", false, "", false},
      {"no credentials level 5", 5, false, "", false, "", false},
      {"unknown user", 4, true, "bob", true, "pw", false},
      {"user name is case-sensitive", 4, true, "Alice", true, "pw", false},
      {"entry without password, none sent", 4, true, "nopass", false, "", true},
      {"entry without password, empty sent", 4, true, "nopass", true, "", true},
      {"entry without password, one sent", 4, true, "nopass", true, "x", false},
      {"numeric password ignored", 4, true, "num", false, "", true},
      {"numeric password not a text", 4, true, "num", true, "5", false},
      // Both sides are cut to 127 bytes.
      {"200-byte name, same first 127", 4, true, std::string(127, 'u') + "zzz", true, "long", true},
      {"200-byte name, as stored", 5, true, LONG_NAME, true, "long", true},
      {"126 bytes of the name", 4, true, std::string(126, 'u'), true, "long", false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    connect_opts o;
    o.client_id = "auth";
    o.level = tc.level;
    o.has_user = tc.has_user;
    o.user = tc.user;
    o.has_pass = tc.has_pass;
    o.pass = tc.pass;
    test_client c(port_);
    c.send(connect_packet(o));
    if (tc.accepted) {
      c.expect_hex(tc.level == 5 ? "20 03 00 00 00" : "20 02 00 00");
      c.ping();
    } else {
      bytes before;
      EXPECT_TRUE(c.closed_within(2000, &before));
      EXPECT_EQ(to_hex(before), tc.level == 5 ? "20 03 00 86 00" : "20 02 00 05");
    }
  }
}

TEST_F(auth_test, UnusableListsRefuseTheStart) {
  const std::string shape =
      "auth_json must be an array of users or {\"users\":[...]}; refusing to start an "
      "unauthenticated broker";
  const std::string no_users =
      "auth_json contains no valid users (each needs a \"username\"); refusing to start an "
      "unauthenticated broker";
  const std::pair<const char*, std::string> cases[] = {
      {"[{\"username\":\"a\"},]",
       "auth_json is not valid JSON; refusing to start an unauthenticated broker"},
      {"{}", shape},
      {"{\"users\":{}}", shape},
      {"null", shape},
      {"[{\"password\":\"p\"},7]", no_users},
  };
  for (const auto& [json, message] : cases) {
    SCOPED_TRACE(json);
    EXPECT_EQ(start(json), -1);
    EXPECT_EQ(mqtt_last_error(), message);
    EXPECT_EQ(mqtt_broker_status(), 0);
  }
}

TEST_F(auth_test, EmptyUserNameEntryMatchesAConnectWithoutCredentials) {
  ASSERT_EQ(start(R"([{"username":""}])"), 0) << mqtt_last_error();
  test_client c(port_);
  c.handshake({});
  connect_opts o;
  o.client_id = "withpass";
  o.has_pass = true;
  o.pass = "x";
  test_client d(port_);
  d.send(connect_packet(o));
  bytes before;
  EXPECT_TRUE(d.closed_within(2000, &before));
  EXPECT_EQ(to_hex(before), "20 02 00 05");
}

TEST_F(auth_test, EmptyListsAcceptEveryone) {
  for (const char* json : {"", "[]", R"({"users":[]})"}) {
    SCOPED_TRACE(json);
    ASSERT_EQ(start(json), 0) << mqtt_last_error();
    connect_opts o;
    o.has_user = true;
    o.user = "anyone";
    o.has_pass = true;
    o.pass = "anything";
    test_client c(port_);
    c.handshake(o);
    test_client d(port_);
    d.handshake({});
    ASSERT_EQ(mqtt_broker_stop(), 0);
  }
}

TEST_F(auth_test, RefusedConnectNeverPublishesItsWillNorDisturbsTheHolder) {
  ASSERT_EQ(start(R"([{"username":"u","password":"p"}])"), 0) << mqtt_last_error();
  connect_opts good;
  good.client_id = "watcher";
  good.has_user = good.has_pass = true;
  good.user = "u";
  good.pass = "p";
  test_client watcher(port_);
  watcher.handshake(good);
  watcher.subscribe_to("will/#");
  watcher.subscribe_to("marker");
  connect_opts holder = good;
  holder.client_id = "same";
  holder.will = true;
  holder.will_topic = "will/holder";
  holder.will_payload = "holder";
  test_client h(port_);
  h.handshake(holder);

  for (int level : {4, 5}) {
    SCOPED_TRACE(level);
    connect_opts bad;
    bad.client_id = "same";  // the identifier of the live holder
    bad.level = level;
    bad.has_user = bad.has_pass = true;
    bad.user = "u";
    bad.pass = "wrong";
    bad.will = true;
    bad.will_retain = true;
    bad.will_qos = 1;
    bad.will_topic = "will/refused";
    bad.will_payload = "must not appear";
    test_client c(port_);
    c.send(connect_packet(bad));
    bytes before;
    EXPECT_TRUE(c.closed_within(2000, &before));
    EXPECT_EQ(to_hex(before), level == 5 ? "20 03 00 86 00" : "20 02 00 05");
    // Not routed, not retained, and the holder of the identifier is untouched.
    expect_only_marker(watcher);
    h.ping();
  }
  test_client late(port_);
  late.handshake(good);
  late.subscribe_to("will/#");
  late.ping();                         // no retained will
  bvm::lock_guard lock(bvm::s_mutex);  // and no history entry
  for (int32_t i = 0; i < bvm::s_log_count; ++i) {
    EXPECT_STRNE(bvm::history_at(i).topic, "will/refused");
  }
}

TEST_F(broker_test, TakeOverClosesTheOlderConnectionAtOnceWithoutWill) {
  test_client watcher(port_);
  watcher.handshake(opts("watcher"));
  watcher.subscribe_to("will/#");
  watcher.subscribe_to("marker");
  for (int level : {4, 5}) {
    SCOPED_TRACE(level);
    connect_opts o;
    o.client_id = "twin";
    o.level = level;
    o.will = true;
    o.will_topic = "will/twin";
    o.will_payload = "old";
    test_client older(port_);
    older.handshake(o);
    older.subscribe_to("t/older", 0, level);
    test_client newer(port_);
    newer.handshake(o);
    bytes before;
    EXPECT_TRUE(older.closed_within(1000, &before));
    EXPECT_EQ(to_hex(before), "");
    expect_only_marker(watcher);
    // The newer connection is a fresh clean one: the older one's
    // subscriptions ended with it.
    ASSERT_EQ(mqtt_publish("t/older", "x", 0, 0), 0);
    newer.ping();
    // Its own will stays armed: an abrupt close publishes it.
    newer.close();
    watcher.expect_publish("will/twin", "old");
  }
}

TEST_F(broker_test, Level5WillPropertiesAreSkipped) {
  test_client watcher(port_);
  watcher.handshake(opts("watcher"));
  watcher.subscribe_to("will/#");
  // Will properties: will delay interval 0 and payload format 1.
  bytes body = concat({header("MQTT", 5, 0x02 | 0x04),
                       {0x00},
                       mqtt_str("w5"),
                       hex("07 18 00 00 00 00 01 01"),
                       mqtt_str("will/five"),
                       mqtt_str("bye")});
  test_client c(port_);
  c.send(connect_raw(body));
  c.expect_hex("20 03 00 00 00");
  c.close();
  watcher.expect_publish("will/five", "bye");
}

}  // namespace
