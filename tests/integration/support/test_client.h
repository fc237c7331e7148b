// A raw MQTT test peer: connects over loopback, sends exact bytes and
// expects exact bytes within a time-out. Plus a broker fixture that starts
// the broker on free ports and checks that a stop ends every thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bvt {

using bytes = std::vector<uint8_t>;

// "20 02 00 00" -> {0x20, 0x02, 0x00, 0x00}; spaces are ignored.
bytes hex(const std::string& text);
std::string to_hex(const bytes& b);
bytes concat(std::initializer_list<bytes> parts);

// A port that was free a moment ago (bound to port 0, read, closed).
int free_port();

// Packet builders.
bytes mqtt_str(const std::string& s);
bytes varlen(uint32_t v);
bytes packet(uint8_t type_and_flags, const bytes& body);
struct connect_opts {
  std::string client_id = "c";
  int level = 4;
  bool clean = true;
  uint16_t keep_alive = 0;
  bool will = false;
  std::string will_topic;
  std::string will_payload;
  int will_qos = 0;
  bool will_retain = false;
  bool has_user = false;
  std::string user;
  bool has_pass = false;
  std::string pass;
};
bytes connect_packet(const connect_opts& o);
// Default options with this client identifier.
connect_opts opts(const std::string& client_id, int level = 4);
bytes subscribe_packet(uint16_t id, const std::vector<std::pair<std::string, int>>& filters,
                       int level = 4);
bytes publish_packet(const std::string& topic, const std::string& payload, int qos = 0,
                     uint16_t id = 0, bool retain = false, int level = 4);

class test_client {
 public:
  test_client() = default;
  explicit test_client(int port) { connect(port); }
  ~test_client();
  test_client(test_client&& o) noexcept : fd_(o.fd_), pending_(std::move(o.pending_)) {
    o.fd_ = -1;
  }
  test_client(const test_client&) = delete;
  test_client& operator=(const test_client&) = delete;

  // With rcvbuf > 0 the socket's receive buffer is shrunk before connecting
  // (a peer that reads slowly or never fills up quickly).
  bool connect(int port, int rcvbuf = 0);
  void send(const bytes& b);
  void send_hex(const std::string& h) { send(hex(h)); }
  // Reads exactly n bytes or fails the test after the time-out.
  bytes read_n(size_t n, int timeout_ms = 3000);
  // Reads one complete MQTT packet.
  bytes read_packet(int timeout_ms = 3000);
  // Expects exactly these bytes next.
  void expect(const bytes& b, int timeout_ms = 3000);
  void expect_hex(const std::string& h, int timeout_ms = 3000) { expect(hex(h), timeout_ms); }
  // True when nothing arrives within timeout_ms (the connection stays open).
  bool silent_for(int timeout_ms);
  // True when the broker closes the connection within timeout_ms; bytes
  // that arrive first are collected into *before when given.
  bool closed_within(int timeout_ms, bytes* before = nullptr);
  // CONNECT, then expect the accepting CONNACK.
  void handshake(const connect_opts& o, bool session_present = false);
  // Expects the PUBLISH the broker sends for these fields next.
  void expect_publish(const std::string& topic, const std::string& payload, int qos = 0,
                      uint16_t id = 0, bool retain = false, int level = 4, bool dup = false);
  // SUBSCRIBE (identifier 1) to one filter, expecting SUBACK with the granted QoS.
  void subscribe_to(const std::string& filter, int qos = 0, int level = 4);
  // PINGREQ, expecting PINGRESP as the very next packet: proves the connection
  // is open and that nothing else was sent before it.
  void ping();
  int fd() const { return fd_; }
  void close();

 private:
  int fd_ = -1;
  bytes pending_;
  bool fill(int timeout_ms);
};

// Starts the broker on fresh ports in SetUp; TearDown stops it and checks
// that the stop returned promptly.
class broker_test : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Starts with the given user list (the fixture's default start uses none).
  int start(const char* auth_json = nullptr, bool with_ws = false);
  int port_ = 0;
  int ws_port_ = 0;
  bool auto_start_ = true;
};

// Whole-file helpers for tests that look at what storage wrote.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

// Polls cond every 5 ms until it holds or timeout_ms pass.
bool eventually(const std::function<bool()>& cond, int timeout_ms = 3000);

// The host publishes payload "marker" to topic; watcher (subscribed to it at
// QoS 0) must receive it as its very next packet. Whatever the broker would
// have sent the watcher before (a will, a stray copy) then shows up instead.
void expect_only_marker(test_client& watcher, const std::string& topic = "marker");

// Number of client records the broker holds (read under the broker lock).
int broker_client_count();

// mqtt_last_error() as a copy, read after taking the broker lock once: an
// error the network thread wrote while handling a packet (under that lock)
// is then ordered before the read. The text itself has no reader lock.
std::string broker_last_error();

}  // namespace bvt
