// The broker under hostile clients, end to end over loopback: connections
// that never speak filling the client limit, garbage at full speed, a
// maximal packet trickled one byte at a time, clients holding thousands of
// subscriptions, and a QoS 1 flood towards a session that never
// acknowledges. Each test prints its figures and the process's peak RSS;
// bounds are asserted only where the design sets one.
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "brelvane_mqtt.h"
#include "broker/state.h"
#include "integration/support/test_client.h"
#include "mqtt/codec.h"
#include "mqtt/subscription.h"
#include "net/client.h"
#include "session/session.h"

using namespace bvt;

namespace {

using steady = std::chrono::steady_clock;

long long ms_since(steady::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - t0).count();
}

// Peak resident set of this process (broker and test clients together), MiB.
long peak_rss_mib() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss / 1024;
}

bool raise_descriptor_limit(rlim_t want) {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
  if (rl.rlim_cur >= want) return true;
  if (rl.rlim_max < want) return false;
  rl.rlim_cur = want;
  return setrlimit(RLIMIT_NOFILE, &rl) == 0;
}

// A number from the statistics report.
long long stat_value(const char* key) {
  std::string json = mqtt_get_stats_json();
  std::string needle = std::string("\"") + key + "\":";
  size_t at = json.find(needle);
  if (at == std::string::npos) {
    ADD_FAILURE() << "no " << key << " in " << json;
    return -1;
  }
  return std::stoll(json.substr(at + needle.size()));
}

bytes puback(uint16_t id) {
  return bytes{0x40, 0x02, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id & 0xFF)};
}

// The client record with this identifier, read under the broker lock.
template <class F>
void with_client(const char* id, F f) {
  bvm::lock_guard lock(bvm::s_mutex);
  for (bvm::mqtt_client* c = bvm::s_clients; c != nullptr; c = c->next) {
    if (std::strcmp(c->client_id, id) == 0) {
      f(*c);
      return;
    }
  }
}

// Pings from a normal client until stop, keeping the slowest round trip.
struct pinger {
  explicit pinger(int port) : client(port) { client.handshake(opts("normal")); }
  void run(const std::atomic<bool>& stop) {
    while (!stop && !::testing::Test::HasFailure()) {
      auto t0 = steady::now();
      client.ping();
      slowest_ms = std::max(slowest_ms, ms_since(t0));
      pings += 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  test_client client;
  long long slowest_ms = 0;
  long pings = 0;
};

// The broker with its WebSocket listener too.
class attack_test : public broker_test {
 protected:
  attack_test() { auto_start_ = false; }
  void SetUp() override { ASSERT_EQ(start(nullptr, true), 0) << mqtt_last_error(); }
};

// The sample key of RFC 6455 and the answer the broker gives to a request
// that offers neither a subprotocol nor compression.
const char WS_REQUEST[] =
    "GET /mqtt HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
const char WS_ANSWER[] =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

bytes text_bytes(const char* s) { return bytes(s, s + std::strlen(s)); }

TEST_F(attack_test, SilentConnectionsFillTheLimitWhileANormalClientIsServed) {
  ASSERT_TRUE(raise_descriptor_limit(4096)) << "cannot raise RLIMIT_NOFILE";
  test_client normal(port_);
  normal.handshake(opts("normal"));
  normal.subscribe_to("n/#");
  // The limit counts every record: 1019 silent connections and the normal
  // client make 1020, over both listeners.
  auto t0 = steady::now();
  std::vector<test_client> silent;
  silent.reserve(1019);
  while (silent.size() < 1019) {
    // In batches, so the listen backlogs never overflow.
    for (int i = 0; i < 60 && silent.size() < 1019; ++i) {
      silent.emplace_back(silent.size() % 2 == 0 ? port_ : ws_port_);
    }
    size_t n = silent.size() + 1;
    ASSERT_TRUE(eventually([n] { return broker_client_count() == static_cast<int>(n); }, 10000))
        << broker_client_count() << " of " << n;
  }
  long long fill_ms = ms_since(t0);

  // The normal client is served as before: replies, host messages, its own.
  long long slowest_ms = 0;
  for (int i = 0; i < 20; ++i) {
    auto p0 = steady::now();
    normal.ping();
    slowest_ms = std::max(slowest_ms, ms_since(p0));
  }
  ASSERT_EQ(mqtt_publish("n/host", "to normal", 1, 0), 0);
  normal.expect_publish("n/host", "to normal", 0);
  // Routed before it is acknowledged.
  normal.send(publish_packet("n/self", "loop", 1, 9));
  normal.expect_publish("n/self", "loop");
  normal.expect(puback(9));

  // The 1021st, on either listener, is closed at once with nothing sent.
  for (int port : {port_, ws_port_}) {
    test_client refused(port);
    bytes before;
    EXPECT_TRUE(refused.closed_within(2000, &before)) << "port " << port;
    EXPECT_EQ(to_hex(before), "");
  }
  EXPECT_EQ(broker_client_count(), 1020);
  normal.ping();
  std::printf(
      "[ figures  ] 1019 silent connections + 1 normal in %lld ms; slowest ping %lld ms; "
      "peak RSS %ld MiB\n",
      fill_ms, slowest_ms, peak_rss_mib());
}

// What an attacker has sent before its garbage, and where.
struct garbage_case {
  const char* name;
  bool websocket;
  bool introduce;  // CONNECT (TCP) or the upgrade (WebSocket) first
  bool framed;     // well-framed packets of a reserved type, which are ignored
};

TEST_F(attack_test, GarbageAtFullSpeedLeavesOthersServed) {
  const garbage_case cases[] = {
      {"TCP before CONNECT", false, false, false},
      {"TCP after CONNECT", false, true, false},
      {"WebSocket before the upgrade", true, false, false},
      {"WebSocket after the upgrade", true, true, false},
      {"reserved packets after CONNECT", false, true, true},
  };
  pinger normal(port_);
  std::atomic<bool> stop{false};
  std::thread ping_thread([&] { normal.run(stop); });
  std::mt19937 rng(20240611);
  for (const garbage_case& tc : cases) {
    SCOPED_TRACE(tc.name);
    test_client attacker(tc.websocket ? ws_port_ : port_);
    if (tc.introduce && tc.websocket) {
      attacker.send(text_bytes(WS_REQUEST));
      attacker.expect(text_bytes(WS_ANSWER));
    } else if (tc.introduce) {
      attacker.handshake(opts("attacker"));
    }
    // Random blocks as fast as the socket takes them, until the broker
    // closes the connection (the send fails) or the time is up. Framed
    // junk (type 0, 127 random bytes each) is consumed and ignored, so that
    // stream is only cut by the test, after 3 s.
    std::vector<uint8_t> block(65536);
    for (auto& b : block) b = static_cast<uint8_t>(rng());
    block[0] = 0xFF;  // never a CONNECT, never a request line
    if (tc.framed) {
      for (size_t at = 0; at < block.size(); at += 128) {
        block[at] = at + 128 <= block.size() ? 0x00 : 0xFF;
        if (at + 1 < block.size()) block[at + 1] = 0x7E;
      }
    }
    const long long limit_ms = tc.framed ? 3000 : 20000;
    uint64_t sent = 0;
    auto t0 = steady::now();
    bool closed = false;
    while (ms_since(t0) < limit_ms) {
      size_t off = sent % block.size();  // a partial send goes on where it stopped
      ssize_t n = ::send(attacker.fd(), block.data() + off, block.size() - off,
                         MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd p{attacker.fd(), POLLOUT, 0};
        ::poll(&p, 1, 100);
        continue;
      }
      if (n <= 0) {
        closed = true;
        break;
      }
      sent += static_cast<uint64_t>(n);
      if (!tc.framed) block[rng() % block.size()] ^= static_cast<uint8_t>(rng());
    }
    EXPECT_EQ(closed, !tc.framed) << sent << " bytes sent";
    std::printf("[ figures  ] %s: %s after %llu bytes, %lld ms\n", tc.name,
                closed ? "closed" : "still open", static_cast<unsigned long long>(sent),
                ms_since(t0));
  }
  stop = true;
  ping_thread.join();
  EXPECT_GT(normal.pings, 0);
  EXPECT_LT(normal.slowest_ms, 2000) << "the normal client waited on the attacker";
  EXPECT_TRUE(eventually([] { return broker_client_count() == 1; }));
  std::printf("[ figures  ] normal client: %ld pings, slowest %lld ms; peak RSS %ld MiB\n",
              normal.pings, normal.slowest_ms, peak_rss_mib());
}

TEST_F(attack_test, LargestPacketOneByteAtATimeLeavesOthersServed) {
  test_client sub(port_);
  sub.handshake(opts("sub"));
  sub.subscribe_to("slow/#");
  test_client trickler(port_);
  trickler.handshake(opts("trickle"));
  // Remaining Length 1,048,576, the largest accepted: "30 80 80 40".
  const size_t payload_len = bvm::MAX_PAYLOAD_LEN - 2 - 6;
  std::string payload(payload_len, 'T');
  bytes whole =
      concat({hex("30 80 80 40"), mqtt_str("slow/t"), bytes(payload.begin(), payload.end())});
  ASSERT_EQ(whole.size(), bvm::MAX_PAYLOAD_LEN + 4);

  pinger normal(port_);
  std::atomic<bool> stop{false};
  std::thread ping_thread([&] { normal.run(stop); });
  size_t largest_buffer = 0;
  auto t0 = steady::now();
  for (size_t i = 0; i < whole.size(); ++i) {
    ssize_t n = ::send(trickler.fd(), &whole[i], 1, MSG_NOSIGNAL);
    ASSERT_EQ(n, 1) << "after " << i << " bytes";
    if (i % 65536 == 0) {
      with_client("trickle", [&largest_buffer](const bvm::mqtt_client& c) {
        largest_buffer = std::max(largest_buffer, c.in_buf.capacity());
      });
    }
  }
  long long send_ms = ms_since(t0);
  bytes got = sub.read_packet(30000);
  long long deliver_ms = ms_since(t0);
  stop = true;
  ping_thread.join();
  EXPECT_TRUE(got == whole) << "delivered " << got.size() << " bytes";
  EXPECT_LE(largest_buffer, bvm::IN_BUF_LIMIT);
  EXPECT_GT(normal.pings, 0);
  EXPECT_LT(normal.slowest_ms, 2000) << "the normal client waited on the trickler";
  trickler.ping();
  std::printf(
      "[ figures  ] %zu single-byte sends in %lld ms, delivered after %lld ms; normal "
      "client: %ld pings, slowest %lld ms; largest input buffer %zu; peak RSS %ld MiB\n",
      whole.size(), send_ms, deliver_ms, normal.pings, normal.slowest_ms, largest_buffer,
      peak_rss_mib());
}

TEST_F(attack_test, ThousandsOfFiltersPerClientKeepPublishingWorking) {
  constexpr int CLIENTS = 50;
  constexpr int FILTERS = 2000;  // per client; 32 per SUBSCRIBE
  std::vector<test_client> clients;
  auto t0 = steady::now();
  for (int k = 0; k < CLIENTS; ++k) {
    clients.emplace_back(port_);
    clients.back().handshake(opts("many" + std::to_string(k)));
  }
  // Every client's filter list: the one that matches "hit/<k>" first, so it
  // ends up last in the list and every message walks the whole list.
  for (int k = 0; k < CLIENTS; ++k) {
    std::vector<std::pair<std::string, int>> filters;
    filters.emplace_back("hit/+", 0);
    for (int i = 1; i < FILTERS; ++i) {
      filters.emplace_back(
          "f/" + std::to_string(k) + "/" + std::to_string(i) + (i % 3 ? "/+" : "/#"), i % 2);
    }
    bytes stream;
    uint16_t id = 1;
    for (size_t at = 0; at < filters.size(); at += 32) {
      size_t end = std::min(filters.size(), at + 32);
      bytes p = subscribe_packet(id++, {filters.begin() + static_cast<long>(at),
                                        filters.begin() + static_cast<long>(end)});
      stream.insert(stream.end(), p.begin(), p.end());
    }
    clients[static_cast<size_t>(k)].send(stream);
    for (uint16_t i = 1; i < id; ++i) {
      bytes ack = clients[static_cast<size_t>(k)].read_packet(30000);
      ASSERT_GE(ack.size(), 5u);
      ASSERT_EQ(ack[0], 0x90);
    }
  }
  long long subscribe_ms = ms_since(t0);
  size_t stored = 0;
  {
    bvm::lock_guard lock(bvm::s_mutex);
    for (bvm::mqtt_client* c = bvm::s_clients; c != nullptr; c = c->next) {
      for (bvm::subscription* s = c->subs; s != nullptr; s = s->next) ++stored;
    }
  }
  EXPECT_EQ(stored, static_cast<size_t>(CLIENTS) * FILTERS);

  // Every message is matched against all 100,000 filters; each client gets it once.
  constexpr int MESSAGES = 200;
  auto p0 = steady::now();
  for (int m = 0; m < MESSAGES; ++m) {
    ASSERT_EQ(mqtt_publish("hit/x", std::to_string(m).c_str(), 0, 0), 0);
  }
  for (auto& c : clients) {
    for (int m = 0; m < MESSAGES; ++m) c.expect_publish("hit/x", std::to_string(m));
  }
  long long publish_ms = ms_since(p0);
  // A client's own message reaches the others the same way.
  clients[0].send(publish_packet("hit/y", "from 0"));
  for (auto& c : clients) c.expect_publish("hit/y", "from 0");
  for (auto& c : clients) c.ping();
  std::printf(
      "[ figures  ] %d clients x %d filters subscribed in %lld ms; %d messages to every "
      "client in %lld ms (%.2f ms each); peak RSS %ld MiB\n",
      CLIENTS, FILTERS, subscribe_ms, MESSAGES, publish_ms,
      static_cast<double>(publish_ms) / MESSAGES, peak_rss_mib());
}

// Reads a subscriber's stream on its own thread, counting PUBLISH packets
// and noting the last payload, never acknowledging anything.
struct silent_reader {
  explicit silent_reader(int socket) : fd(socket) {}
  void run() {
    std::vector<uint8_t> buf;
    uint8_t chunk[65536];
    while (!stop) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      buf.insert(buf.end(), chunk, chunk + n);
      size_t off = 0;
      while (buf.size() - off >= 2) {
        uint32_t rl = 0;
        size_t used = 0;
        if (bvm::mqtt_decode_varlen(&buf[off + 1], buf.size() - off - 1, &rl, &used) != 0) break;
        if (buf.size() - off < 1 + used + rl) break;
        if ((buf[off] & 0xF0) == 0x30) publishes += 1;
        off += 1 + used + rl;
      }
      buf.erase(buf.begin(), buf.begin() + static_cast<long>(off));
    }
  }
  int fd;
  std::atomic<bool> stop{false};
  std::atomic<long> publishes{0};
};

TEST_F(attack_test, QosOneFloodToASessionThatNeverAcknowledgesStaysBounded) {
  connect_opts lazy = opts("lazy");
  lazy.clean = false;
  test_client sub(port_);
  sub.handshake(lazy);
  sub.subscribe_to("flood/#", 1);
  test_client pub(port_);
  pub.handshake(opts("flooder"));

  // Sends count QoS 1 messages of `size` bytes as one stream, then reads
  // every PUBACK; returns the largest session_queued seen meanwhile.
  uint16_t next_id = 1;
  auto flood = [&](int count, size_t size) {
    bytes stream;
    std::string payload(size, 'q');
    for (int i = 0; i < count; ++i) {
      bytes p = publish_packet("flood/x", payload, 1, next_id);
      stream.insert(stream.end(), p.begin(), p.end());
      next_id = static_cast<uint16_t>(next_id == 65535 ? 1 : next_id + 1);
    }
    std::thread sender([&pub, &stream] { pub.send(stream); });
    long long most = 0;
    for (int i = 0; i < count; ++i) {
      bytes ack = pub.read_packet(30000);
      if (ack.size() != 4 || ack[0] != 0x40) {
        ADD_FAILURE() << "PUBACK " << i << ": " << to_hex(ack);
        break;
      }
      if (i % 100 == 0) most = std::max(most, stat_value("session_queued"));
    }
    sender.join();
    return std::max(most, stat_value("session_queued"));
  };

  // Bound and reading, but never acknowledging: every message is delivered
  // and kept for redelivery, the oldest dropped past 1000.
  silent_reader reader(sub.fd());
  std::thread reader_thread([&reader] { reader.run(); });
  const long long dropped_before = stat_value("session_dropped");
  long long most = flood(5000, 1024);
  EXPECT_TRUE(eventually([&reader] { return reader.publishes == 5000; }, 30000))
      << reader.publishes;
  EXPECT_LE(most, static_cast<long long>(bvm::MAX_QUEUE_ITEMS));
  EXPECT_EQ(stat_value("session_queued"), static_cast<long long>(bvm::MAX_QUEUE_ITEMS));
  EXPECT_EQ(stat_value("session_dropped") - dropped_before, 4000);
  long rss_bound = peak_rss_mib();

  // Away: the flood goes on into the offline queue, under the same limits,
  // here the byte limit: 64 KiB payloads, at most 4 MiB of them.
  reader.stop = true;
  reader_thread.join();
  sub.close();
  ASSERT_TRUE(eventually([] { return broker_client_count() == 1; }));
  most = flood(500, 65536);
  EXPECT_LE(most, static_cast<long long>(bvm::MAX_QUEUE_ITEMS));
  long long queued = stat_value("session_queued");
  EXPECT_EQ(queued, static_cast<long long>(bvm::MAX_QUEUE_BYTES / 65536));
  EXPECT_EQ(stat_value("session_dropped") - dropped_before, 4000 + 1000 + 500 - queued);
  {
    bvm::lock_guard lock(bvm::s_mutex);
    bvm::mqtt_session* s = bvm::session_find("lazy");
    ASSERT_NE(s, nullptr);
    EXPECT_LE(s->queue_bytes, bvm::MAX_QUEUE_BYTES);
  }

  // Back: exactly the queued messages arrive, then acknowledging them
  // empties the queue.
  test_client back(port_);
  back.handshake(lazy, true);
  std::vector<uint16_t> ids;
  for (long long i = 0; i < queued; ++i) {
    bytes p = back.read_packet(10000);
    ASSERT_GE(p.size(), 8u);
    ASSERT_EQ(p[0] & 0xF0, 0x30);
    size_t header = 1;
    while (p[header] & 0x80) ++header;
    ++header;
    size_t tl = static_cast<size_t>(p[header] << 8 | p[header + 1]);
    ids.push_back(static_cast<uint16_t>(p[header + 2 + tl] << 8 | p[header + 3 + tl]));
  }
  back.ping();  // nothing else came first
  for (uint16_t id : ids) back.send(puback(id));
  EXPECT_TRUE(eventually([] { return stat_value("session_queued") == 0; }));
  std::printf(
      "[ figures  ] 5000 x 1 KiB to a bound session, then 500 x 64 KiB while away: "
      "%lld queued, %lld dropped; peak RSS %ld MiB after the first flood, %ld MiB "
      "at the end\n",
      queued, stat_value("session_dropped") - dropped_before, rss_bound, peak_rss_mib());
}

}  // namespace
