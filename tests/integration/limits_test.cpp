// The connection loop's limits over loopback: the 1020-client limit, the
// inbound buffer cap, the Remaining Length limit, keep-alive on the monotonic
// clock, and a subscriber that never reads (bounded output, no stall).
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "brelvane_mqtt.h"
#include "broker/state.h"
#include "integration/support/test_client.h"
#include "net/client.h"
#include "os/clock.h"

using namespace bvt;

namespace {

using steady = std::chrono::steady_clock;

long long ms_since(steady::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - t0).count();
}

bool raise_descriptor_limit(rlim_t want) {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
  if (rl.rlim_cur >= want) return true;
  if (rl.rlim_max < want) return false;
  rl.rlim_cur = want;
  return setrlimit(RLIMIT_NOFILE, &rl) == 0;
}

// The unconsumed input the broker holds for the client with this identifier.
size_t pending_input(const char* id) {
  bvm::lock_guard lock(bvm::s_mutex);
  for (bvm::mqtt_client* c = bvm::s_clients; c != nullptr; c = c->next) {
    if (std::strcmp(c->client_id, id) == 0) return c->in_buf.size();
  }
  return 0;
}

bytes puback_bytes(uint16_t id) {
  return bytes{0x40, 0x02, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id & 0xFF)};
}

connect_opts with_will(const std::string& id, const std::string& will_topic) {
  connect_opts o = opts(id);
  o.will = true;
  o.will_topic = will_topic;
  o.will_payload = "bye " + id;
  return o;
}

TEST_F(broker_test, ClientLimitRefusesThe1021stUntilOneLeaves) {
  ASSERT_TRUE(raise_descriptor_limit(4096)) << "cannot raise RLIMIT_NOFILE";
  std::vector<test_client> clients;
  clients.reserve(1020);
  // In batches, so the listen backlog never overflows (one accept per
  // iteration).
  while (clients.size() < 1020) {
    for (int i = 0; i < 60 && clients.size() < 1020; ++i) clients.emplace_back(port_);
    size_t n = clients.size();
    ASSERT_TRUE(eventually([n] { return broker_client_count() == static_cast<int>(n); }, 10000))
        << broker_client_count() << " of " << n;
  }
  // Clients that never sent CONNECT count too: the next one is closed at
  // once, with nothing sent.
  test_client refused(port_);
  bytes before;
  EXPECT_TRUE(refused.closed_within(2000, &before));
  EXPECT_EQ(to_hex(before), "");
  EXPECT_EQ(broker_client_count(), 1020);
  // The ones already in are served.
  clients[1019].handshake(opts("last"));
  clients[0].handshake(opts("first"));
  // After one leaves, a new one is served.
  clients[500].close();
  ASSERT_TRUE(eventually([] { return broker_client_count() == 1019; }));
  test_client again(port_);
  again.handshake(opts("again"));
  again.ping();
}

TEST_F(broker_test, LargestPacketPassesAndTheInputCapClosesWithWill) {
  test_client watcher(port_);
  watcher.handshake(opts("watcher"));
  watcher.subscribe_to("will/#");
  watcher.subscribe_to("big/#");
  watcher.subscribe_to("marker");
  // Remaining Length exactly 1,048,576: "30 80 80 40", topic "big/t".
  const size_t payload_len = 1048576 - 7;
  bytes big = concat({hex("30 80 80 40"), mqtt_str("big/t"), bytes(payload_len, 'B')});
  ASSERT_EQ(big.size(), 1048580u);

  test_client ok(port_);
  ok.handshake(with_will("ok", "will/ok"));
  ok.send(big);
  bytes got = watcher.read_packet(10000);
  EXPECT_TRUE(got == concat({hex("30 80 80 40"), mqtt_str("big/t"), bytes(payload_len, 'B')}))
      << "the largest packet, " << got.size() << " bytes";
  ok.ping();

  // All but the last byte of such a packet, then one receive that would
  // take the unconsumed bytes past 1,052,672: closed, will published, and
  // the packet the receive would have completed is lost.
  test_client over(port_);
  over.handshake(with_will("over", "will/over"));
  over.send(bytes(big.begin(), big.end() - 1));
  ASSERT_TRUE(eventually([] { return pending_input("over") == 1048579; }, 10000))
      << pending_input("over");
  bytes tail{big.back()};
  for (int i = 0; i < 4095; ++i) tail = concat({tail, hex("C0 00")});
  ASSERT_EQ(tail.size(), 8191u);
  over.send(tail);
  bytes before;
  EXPECT_TRUE(over.closed_within(3000, &before));
  EXPECT_EQ(to_hex(before), "");
  watcher.expect_publish("will/over", "bye over");
  expect_only_marker(watcher);
}

TEST_F(broker_test, OversizedRemainingLengthClosesWithItsLastError) {
  test_client watcher(port_);
  watcher.handshake(opts("watcher"));
  watcher.subscribe_to("will/#");
  struct rl_case {
    const char* name;
    bool connect_first;
    const char* bytes_hex;
  };
  const rl_case cases[] = {
      {"four-byte maximum after CONNECT", true, "30 FF FF FF 7F"},
      {"one past the limit after CONNECT", true, "82 81 80 40"},
      {"before CONNECT", false, "10 FF FF FF 7F"},
  };
  int n = 0;
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    ASSERT_EQ(mqtt_publish("", "", 0, 0), -1);  // some other last error first
    std::string id = "rl" + std::to_string(n++);
    test_client c(port_);
    if (tc.connect_first) c.handshake(with_will(id, "will/" + id));
    c.send_hex(tc.bytes_hex);
    bytes before;
    EXPECT_TRUE(c.closed_within(2000, &before));
    EXPECT_EQ(to_hex(before), "");
    EXPECT_EQ(broker_last_error(), "Remaining Length exceeds MAX_PAYLOAD_LEN");
    // A protocol violation publishes the will.
    if (tc.connect_first) watcher.expect_publish("will/" + id, "bye " + id);
  }
}

TEST_F(broker_test, KeepAliveExpiresOnTheMonotonicClockOnly) {
  test_client watcher(port_);
  watcher.handshake(opts("watcher"));
  watcher.subscribe_to("will/#");
  watcher.subscribe_to("marker");

  connect_opts o = with_will("ka", "will/ka");
  o.keep_alive = 10;
  // The wall clock jumping either way changes nothing.
  {
    test_client c(port_);
    c.handshake(o);
    bvm::os::test_shift_wall_clock(3600);
    EXPECT_TRUE(c.silent_for(300));
    bvm::os::test_shift_wall_clock(-7200);
    EXPECT_TRUE(c.silent_for(300));
    bvm::os::test_shift_wall_clock(3600);
    c.ping();
    c.send_hex("E0 00");
    EXPECT_TRUE(c.closed_within(2000));
  }
  // Keep-alive 10 allows 15 s of silence: 14 s keep the client, 16 s end it
  // and publish its will.
  {
    test_client c(port_);
    c.handshake(o);
    bvm::os::test_shift_mono_clock(14);
    EXPECT_TRUE(c.silent_for(300)) << "closed after 14 s of silence";
    bvm::os::test_shift_mono_clock(2);
    bytes before;
    EXPECT_TRUE(c.closed_within(2000, &before));
    EXPECT_EQ(to_hex(before), "");
    watcher.expect_publish("will/ka", "bye ka");
    bvm::os::test_shift_mono_clock(-16);
  }
}

// Keep-alive 1 tolerates up to 1.5 s of silence wherever second boundaries
// fall: a client that pings every 1.1 s stays connected.
TEST_F(broker_test, KeepAliveOneToleratesPingsAThirdLate) {
  connect_opts o = opts("pinger");
  o.keep_alive = 1;
  test_client c(port_);
  c.handshake(o);
  for (int i = 0; i < 6; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1150));
    c.ping();
  }
}

TEST_F(broker_test, ClientWithoutConnectIsNeverTimedOut) {
  test_client idle(port_);
  ASSERT_TRUE(eventually([] { return broker_client_count() == 1; }));
  bvm::os::test_shift_mono_clock(100000);
  EXPECT_TRUE(idle.silent_for(300));
  idle.handshake(opts("late"));
  idle.ping();
  bvm::os::test_shift_mono_clock(-100000);
}

// Reads a subscriber's stream on its own thread: checks that the numbered
// messages on "m/..." arrive complete and in order, and notes when the will
// of the non-reader shows up.
struct stream_checker {
  explicit stream_checker(int socket) : fd(socket) {}
  int fd;
  std::atomic<uint64_t> bytes_read{0};
  std::atomic<int64_t> next_seq{0};
  std::atomic<int64_t> will_after{-1};
  std::atomic<bool> done{false};  // "m/end" arrived
  std::atomic<bool> stop{false};  // the test has seen enough
  std::atomic<bool> failed{false};
  std::string failure;

  void run() {
    std::vector<uint8_t> buf;
    uint8_t chunk[65536];
    auto deadline = steady::now() + std::chrono::seconds(120);
    while (!stop && !failed && steady::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) continue;
      ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return fail("subscriber connection ended");
      buf.insert(buf.end(), chunk, chunk + n);
      bytes_read += static_cast<uint64_t>(n);
      size_t off = 0;
      for (;;) {
        size_t avail = buf.size() - off;
        if (avail < 2) break;
        uint32_t rl = 0;
        uint32_t mult = 1;
        size_t i = 1;
        bool complete = false;
        for (; i < 5 && i < avail; ++i) {
          rl += (buf[off + i] & 0x7Fu) * mult;
          mult *= 128;
          if ((buf[off + i] & 0x80) == 0) {
            complete = true;
            break;
          }
        }
        if (!complete || avail < i + 1 + rl) break;
        handle(buf[off], &buf[off + i + 1], rl);
        off += i + 1 + rl;
      }
      buf.erase(buf.begin(), buf.begin() + static_cast<long>(off));
    }
  }
  void handle(uint8_t type, const uint8_t* body, uint32_t rl) {
    if ((type & 0xF0) != 0x30 || rl < 2) return fail("not a PUBLISH");
    size_t tl = static_cast<size_t>(body[0] << 8 | body[1]);
    std::string topic(reinterpret_cast<const char*>(body + 2), tl);
    std::string payload(reinterpret_cast<const char*>(body + 2 + tl), rl - 2 - tl);
    if (topic == "will/slow") {
      if (will_after >= 0) return fail("will twice");
      will_after = next_seq.load();
    } else if (topic == "m/end") {
      done = true;
    } else if (topic == "m/data") {
      int64_t seq = std::stoll(payload.substr(0, 12));
      if (seq != next_seq)
        return fail("message " + std::to_string(seq) + " instead of " +
                    std::to_string(next_seq.load()));
      if (payload.size() != MESSAGE_SIZE) return fail("short message");
      next_seq += 1;
    }
  }
  void fail(const std::string& why) {
    failure = why;
    failed = true;
  }
  static constexpr size_t MESSAGE_SIZE = 64 * 1024;
};

TEST_F(broker_test, NonReadingSubscriberIsCutOffWithoutStallingAnyone) {
  test_client watcher(port_);  // the reading subscriber
  watcher.handshake(opts("reader"));
  watcher.subscribe_to("m/#");
  watcher.subscribe_to("will/#");
  test_client slow;
  ASSERT_TRUE(slow.connect(port_, 4096));
  slow.handshake(with_will("slow", "will/slow"));
  slow.subscribe_to("m/#");
  // From here on "slow" never reads.

  stream_checker checker(watcher.fd());
  std::thread reader([&checker] { checker.run(); });

  const int messages = 512;  // 32 MiB
  std::string payload(stream_checker::MESSAGE_SIZE, 'x');
  long long slowest_call = 0;
  auto t0 = steady::now();
  for (int i = 0; i < messages && !checker.failed; ++i) {
    // Keep the reading subscriber within its own output bound.
    while (static_cast<uint64_t>(i) * stream_checker::MESSAGE_SIZE >
               checker.bytes_read + 4u * 1024 * 1024 &&
           !checker.failed && ms_since(t0) < 60000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    char seq[13];
    std::snprintf(seq, sizeof seq, "%012d", i);
    std::memcpy(payload.data(), seq, 12);
    auto c0 = steady::now();
    ASSERT_EQ(mqtt_publish("m/data", payload.c_str(), 0, 0), 0);
    slowest_call = std::max(slowest_call, ms_since(c0));
  }
  ASSERT_EQ(mqtt_publish("m/end", "", 0, 0), 0);
  auto publish_ms = ms_since(t0);
  // The non-reader's will is published when the loop frees it, which may be
  // after the last message reached the reader.
  EXPECT_TRUE(eventually(
      [&checker] { return (checker.done && checker.will_after >= 0) || checker.failed; }, 60000));
  checker.stop = true;
  reader.join();
  EXPECT_FALSE(checker.failed) << checker.failure;
  EXPECT_EQ(checker.next_seq, messages) << "the reading subscriber missed messages";
  EXPECT_LT(slowest_call, 2000) << "a publish call waited on a peer";
  // The non-reader was cut off, not before 8 MiB were pending for it.
  ASSERT_GE(checker.will_after, 0) << "no will from the non-reading subscriber";
  EXPECT_GE(static_cast<uint64_t>(checker.will_after) * stream_checker::MESSAGE_SIZE,
            bvm::MAX_PENDING_OUTPUT);
  EXPECT_TRUE(slow.closed_within(10000));

  // A second non-reader that stays under the bound does not delay the stop.
  test_client stuck;
  ASSERT_TRUE(stuck.connect(port_, 4096));
  stuck.handshake(opts("stuck"));
  stuck.subscribe_to("s/#");
  for (int i = 0; i < 64; ++i) ASSERT_EQ(mqtt_publish("s/data", payload.c_str(), 0, 0), 0);
  auto s0 = steady::now();
  EXPECT_EQ(mqtt_broker_stop(), 0);
  auto stop_ms = ms_since(s0);
  EXPECT_LT(stop_ms, 5000);
  std::printf(
      "[ figures  ] published %d MiB to 2 subscribers in %lld ms (slowest call %lld ms); "
      "non-reader cut off after %lld MiB; stop with a stuck peer took %lld ms\n",
      messages / 16, static_cast<long long>(publish_ms), slowest_call,
      static_cast<long long>(checker.will_after.load() / 16), static_cast<long long>(stop_ms));
}

TEST_F(broker_test, StopWhileHostThreadsPublishToPeersThatDoNotRead) {
  std::vector<test_client> peers;
  for (int i = 0; i < 8; ++i) {
    peers.emplace_back();
    ASSERT_TRUE(peers.back().connect(port_, 4096));
    connect_opts o = with_will("peer" + std::to_string(i), "will/peer");
    peers.back().handshake(o);
    peers.back().subscribe_to("#");
  }
  std::atomic<bool> stop{false};
  std::atomic<long> calls{0};
  std::vector<std::thread> hosts;
  for (int t = 0; t < 3; ++t) {
    hosts.emplace_back([&stop, &calls] {
      std::string payload(16 * 1024, 'h');
      while (!stop) {
        mqtt_publish("load", payload.c_str(), 1, 0);
        calls += 1;
      }
    });
  }
  ASSERT_TRUE(eventually([&calls] { return calls > 2000; }, 20000));
  auto t0 = steady::now();
  EXPECT_EQ(mqtt_broker_stop(), 0);
  long long stop_ms = ms_since(t0);
  EXPECT_LT(stop_ms, 5000);
  // Publishing goes on while stopped (no clients left to reach).
  long after = calls;
  EXPECT_TRUE(eventually([&calls, after] { return calls > after + 100; }, 20000));
  stop = true;
  for (auto& h : hosts) h.join();
  for (auto& p : peers) EXPECT_TRUE(p.closed_within(10000));
  std::printf("[ figures  ] %ld host publishes of 16 KiB; stop under load took %lld ms\n",
              calls.load(), stop_ms);
}

TEST_F(broker_test, ConcurrentHostPublishersAndAClientKeepEachSourceInOrder) {
  test_client sub(port_);
  sub.handshake(opts("sub"));
  sub.subscribe_to("c/#");
  test_client pub(port_);
  pub.handshake(opts("pub"));
  constexpr int SOURCES = 4;  // host threads; source SOURCES is the client
  constexpr int EACH = 1000;
  std::vector<std::thread> hosts;
  for (int t = 0; t < SOURCES; ++t) {
    hosts.emplace_back([t] {
      std::string topic = "c/" + std::to_string(t);
      for (int i = 0; i < EACH; ++i) {
        std::string payload = std::to_string(i) + std::string(1000, '.');
        if (mqtt_publish(topic.c_str(), payload.c_str(), i % 2, 0) != 0) return;
      }
    });
  }
  bytes stream;
  for (int i = 0; i < EACH; ++i) {
    stream = concat({stream, publish_packet("c/" + std::to_string(SOURCES), std::to_string(i), 1,
                                            static_cast<uint16_t>(i + 1))});
  }
  std::thread client_sender([&pub, &stream] { pub.send(stream); });
  std::vector<int> next(SOURCES + 1, 0);
  for (int n = 0; n < (SOURCES + 1) * EACH; ++n) {
    bytes p = sub.read_packet(10000);
    if (p.size() < 6) {
      ADD_FAILURE() << "stream ended after " << n << " messages";
      break;
    }
    size_t header = (p[1] & 0x80) != 0 ? ((p[2] & 0x80) != 0 ? 4 : 3) : 2;
    size_t tl = static_cast<size_t>(p[header] << 8 | p[header + 1]);
    std::string topic(p.begin() + static_cast<long>(header + 2),
                      p.begin() + static_cast<long>(header + 2 + tl));
    std::string payload(p.begin() + static_cast<long>(header + 2 + tl), p.end());
    int source = std::stoi(topic.substr(2));
    ASSERT_EQ(p[0], 0x30) << topic;  // the subscription caps QoS at 0
    ASSERT_EQ(std::stoi(payload), next[static_cast<size_t>(source)]) << "source " << source;
    next[static_cast<size_t>(source)] += 1;
  }
  client_sender.join();
  for (auto& h : hosts) h.join();
  for (int i = 0; i < EACH; ++i) {
    pub.expect(puback_bytes(static_cast<uint16_t>(i + 1)));
    if (::testing::Test::HasFailure()) break;
  }
  sub.ping();
}

}  // namespace

// A single host message larger than the output bound still reaches a
// subscriber that reads: the bound limits output piling up, not the size of
// one message.
TEST_F(broker_test, SingleMessageLargerThanTheOutputBoundIsDelivered) {
  test_client sub(port_);
  sub.handshake(opts("big-reader"));
  sub.subscribe_to("big");
  std::string payload(bvm::MAX_PENDING_OUTPUT + 1024 * 1024, 'z');
  ASSERT_EQ(mqtt_publish("big", payload.c_str(), 0, 0), 0);
  bytes got = sub.read_packet(10000);
  EXPECT_EQ(got, publish_packet("big", payload));
  sub.ping();
}
