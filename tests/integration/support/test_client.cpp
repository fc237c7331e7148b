#include "integration/support/test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "brelvane_mqtt.h"
#include "broker/state.h"
#include "net/client.h"

namespace bvt {

bytes hex(const std::string& text) {
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

std::string to_hex(const bytes& b) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < b.size(); ++i) {
    if (i) s += ' ';
    s += digits[b[i] >> 4];
    s += digits[b[i] & 15];
  }
  return s;
}

bytes concat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

int free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

bytes mqtt_str(const std::string& s) {
  bytes out{static_cast<uint8_t>(s.size() >> 8), static_cast<uint8_t>(s.size() & 0xFF)};
  out.insert(out.end(), s.begin(), s.end());
  return out;
}

bytes varlen(uint32_t v) {
  bytes out;
  do {
    uint8_t b = v & 0x7F;
    v >>= 7;
    if (v) b |= 0x80;
    out.push_back(b);
  } while (v);
  return out;
}

bytes packet(uint8_t type_and_flags, const bytes& body) {
  return concat({{type_and_flags}, varlen(static_cast<uint32_t>(body.size())), body});
}

bytes connect_packet(const connect_opts& o) {
  uint8_t flags = 0;
  if (o.clean) flags |= 0x02;
  if (o.will) flags |= static_cast<uint8_t>(0x04 | (o.will_qos << 3) | (o.will_retain ? 0x20 : 0));
  if (o.has_pass) flags |= 0x40;
  if (o.has_user) flags |= 0x80;
  bytes body =
      concat({mqtt_str("MQTT"),
              {static_cast<uint8_t>(o.level), flags, static_cast<uint8_t>(o.keep_alive >> 8),
               static_cast<uint8_t>(o.keep_alive & 0xFF)}});
  if (o.level == 5) body.push_back(0);  // no properties
  body = concat({body, mqtt_str(o.client_id)});
  if (o.will) {
    if (o.level == 5) body.push_back(0);
    body = concat({body, mqtt_str(o.will_topic), mqtt_str(o.will_payload)});
  }
  if (o.has_user) body = concat({body, mqtt_str(o.user)});
  if (o.has_pass) body = concat({body, mqtt_str(o.pass)});
  return packet(0x10, body);
}

connect_opts opts(const std::string& client_id, int level) {
  connect_opts o;
  o.client_id = client_id;
  o.level = level;
  return o;
}

bytes subscribe_packet(uint16_t id, const std::vector<std::pair<std::string, int>>& filters,
                       int level) {
  bytes body{static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id & 0xFF)};
  if (level == 5) body.push_back(0);
  for (auto& [f, q] : filters) {
    body = concat({body, mqtt_str(f), {static_cast<uint8_t>(q)}});
  }
  return packet(0x82, body);
}

bytes publish_packet(const std::string& topic, const std::string& payload, int qos, uint16_t id,
                     bool retain, int level) {
  bytes body = mqtt_str(topic);
  if (qos > 0) {
    body.push_back(static_cast<uint8_t>(id >> 8));
    body.push_back(static_cast<uint8_t>(id & 0xFF));
  }
  if (level == 5) body.push_back(0);
  body.insert(body.end(), payload.begin(), payload.end());
  return packet(static_cast<uint8_t>(0x30 | (qos << 1) | (retain ? 1 : 0)), body);
}

test_client::~test_client() { close(); }

void test_client::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool test_client::connect(int port, int rcvbuf) {
  close();
  pending_.clear();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (rcvbuf > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ADD_FAILURE() << "connect to port " << port << " failed: " << std::strerror(errno);
    close();
    return false;
  }
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return true;
}

void test_client::send(const bytes& b) {
  size_t off = 0;
  while (off < b.size()) {
    ssize_t n = ::send(fd_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      ADD_FAILURE() << "send failed: " << std::strerror(errno);
      return;
    }
    off += static_cast<size_t>(n);
  }
}

// Waits for more bytes; false on time-out, closure or error (fd_ stays open).
bool test_client::fill(int timeout_ms) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) return false;
  uint8_t buf[65536];
  ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
  if (n <= 0) return false;
  pending_.insert(pending_.end(), buf, buf + n);
  return true;
}

bytes test_client::read_n(size_t n, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (pending_.size() < n) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0 || !fill(left)) {
      ADD_FAILURE() << "expected " << n << " bytes, got " << pending_.size() << ": "
                    << to_hex(pending_);
      bytes got = pending_;
      pending_.clear();
      return got;
    }
  }
  bytes out(pending_.begin(), pending_.begin() + static_cast<long>(n));
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n));
  return out;
}

bytes test_client::read_packet(int timeout_ms) {
  bytes head = read_n(2, timeout_ms);
  if (head.size() < 2) return head;
  uint32_t value = head[1] & 0x7F;
  uint32_t mult = 128;
  while (head.back() & 0x80) {
    bytes more = read_n(1, timeout_ms);
    if (more.empty()) return head;
    head.push_back(more[0]);
    value += (more[0] & 0x7Fu) * mult;
    mult *= 128;
  }
  bytes body = read_n(value, timeout_ms);
  return concat({head, body});
}

void test_client::expect(const bytes& b, int timeout_ms) {
  bytes got = read_n(b.size(), timeout_ms);
  EXPECT_EQ(to_hex(got), to_hex(b));
}

bool test_client::silent_for(int timeout_ms) {
  if (!pending_.empty()) return false;
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, timeout_ms) == 0;
}

bool test_client::closed_within(int timeout_ms, bytes* before) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) return false;
    uint8_t buf[65536];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
      if (before) *before = pending_;
      pending_.clear();
      return true;
    }
    pending_.insert(pending_.end(), buf, buf + n);
  }
}

void test_client::handshake(const connect_opts& o, bool session_present) {
  send(connect_packet(o));
  if (o.level == 5) {
    expect_hex("20 03 00 00 00");
  } else {
    expect(bytes{0x20, 0x02, static_cast<uint8_t>(session_present ? 1 : 0), 0x00});
  }
}

void test_client::expect_publish(const std::string& topic, const std::string& payload, int qos,
                                 uint16_t id, bool retain, int level, bool dup) {
  bytes p = publish_packet(topic, payload, qos, id, retain, level);
  if (dup) p[0] |= 0x08;
  bytes got = read_packet();
  EXPECT_EQ(to_hex(got), to_hex(p)) << "expected PUBLISH " << topic;
}

void test_client::subscribe_to(const std::string& filter, int qos, int level) {
  send(subscribe_packet(1, {{filter, qos}}, level));
  uint8_t granted = static_cast<uint8_t>(qos >= 1 ? 1 : 0);
  if (level == 5) {
    expect(bytes{0x90, 0x04, 0x00, 0x01, 0x00, granted});
  } else {
    expect(bytes{0x90, 0x03, 0x00, 0x01, granted});
  }
}

void test_client::ping() {
  send_hex("C0 00");
  expect_hex("D0 00");
}

void expect_only_marker(test_client& watcher, const std::string& topic) {
  ASSERT_EQ(mqtt_publish(topic.c_str(), "marker", 0, 0), 0);
  watcher.expect_publish(topic, "marker");
}

int broker_client_count() {
  bvm::lock_guard lock(bvm::s_mutex);
  return bvm::client_count();
}

std::string broker_last_error() {
  { bvm::lock_guard lock(bvm::s_mutex); }
  return mqtt_last_error();
}

void broker_test::SetUp() {
  if (auto_start_) {
    ASSERT_EQ(start(), 0) << mqtt_last_error();
  }
}

int broker_test::start(const char* auth_json, bool with_ws) {
  port_ = free_port();
  ws_port_ = with_ws ? free_port() : 0;
  return mqtt_broker_start(port_, ws_port_, auth_json);
}

void broker_test::TearDown() {
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(mqtt_broker_stop(), 0);
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_LT(ms, 2500) << "stop took too long";
  EXPECT_EQ(mqtt_broker_status(), 0);
}

bool eventually(const std::function<bool()>& cond, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return cond();
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

}  // namespace bvt
