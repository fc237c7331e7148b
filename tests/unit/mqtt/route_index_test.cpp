// The fan-out through the subscription index against the plain walk it
// replaces, kept here as the reference: random clients and sessions built
// through the real CONNECT/SUBSCRIBE/UNSUBSCRIBE handlers, random closes,
// frees (with wills) and take-overs between messages, and after every message
// the same bytes on every socket, the same queue entries in every session and
// the same packet identifiers drawn.
#include "mqtt/route_index.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "broker/state.h"
#include "inspect/history.h"
#include "mqtt/codec.h"
#include "mqtt/retained.h"
#include "mqtt/route.h"
#include "mqtt/subscription.h"
#include "mqtt/topic.h"
#include "net/client.h"
#include "session/session.h"

namespace bvm {
namespace {

using bytes = std::vector<uint8_t>;

void put_str(bytes& b, const std::string& s) {
  b.push_back(static_cast<uint8_t>(s.size() >> 8));
  b.push_back(static_cast<uint8_t>(s.size() & 0xFF));
  b.insert(b.end(), s.begin(), s.end());
}

bytes with_header(uint8_t type, const bytes& body) {
  bytes p{type};
  size_t v = body.size();
  do {
    uint8_t d = static_cast<uint8_t>(v & 0x7F);
    v >>= 7;
    if (v > 0) d |= 0x80;
    p.push_back(d);
  } while (v > 0);
  p.insert(p.end(), body.begin(), body.end());
  return p;
}

bytes connect_packet(int level, const std::string& id, bool clean, const std::string* will) {
  bytes b;
  put_str(b, "MQTT");
  b.push_back(static_cast<uint8_t>(level));
  uint8_t flags = clean ? 0x02 : 0x00;
  if (will != nullptr) flags |= 0x04 | 0x08;  // will at QoS 1
  b.push_back(flags);
  b.push_back(0);
  b.push_back(0);
  if (level == 5) b.push_back(0);
  put_str(b, id);
  if (will != nullptr) {
    if (level == 5) b.push_back(0);
    put_str(b, *will);
    put_str(b, "last words");
  }
  return with_header(0x10, b);
}

bytes filters_packet(uint8_t type, int level, const std::vector<std::string>& filters,
                     const std::vector<int>* qos) {
  bytes b{0x12, 0x34};
  if (level == 5) b.push_back(0);
  for (size_t i = 0; i < filters.size(); ++i) {
    put_str(b, filters[i]);
    if (qos != nullptr) b.push_back(static_cast<uint8_t>((*qos)[i]));
  }
  return with_header(type, b);
}

struct queued {
  std::string topic;
  uint16_t pid;
  uint8_t retain;
  bool operator==(const queued&) const = default;
};

void PrintTo(const queued& q, std::ostream* os) {
  *os << "{" << q.topic << ", pid " << q.pid << ", retain " << int{q.retain} << "}";
}

std::vector<queued> queue_of(const mqtt_session* s) {
  std::vector<queued> q;
  for (const queued_message* m = s->queue_head; m != nullptr; m = m->next) {
    q.push_back(queued{m->topic, m->pid, m->retain});
  }
  return q;
}

// What the plain walk does with one message: the bytes each live client is
// sent, the entries each session gains, the identifiers drawn, and the lists
// with a match in the order they are met.
struct expectation {
  std::map<const mqtt_client*, bytes> sent;
  std::map<const mqtt_session*, std::vector<queued>> queues;
  std::vector<route_hit> hits;
  uint16_t next_pid = 0;
};

const subscription* plain_first_match(const subscription* list, const char* topic) {
  for (const subscription* s = list; s != nullptr; s = s->next) {
    if (mqtt_topic_matches(s->filter, topic) != 0) return s;
  }
  return nullptr;
}

expectation plain_walk(const std::string& topic, const bytes& payload, int qos, int retain)
    REQUIRES(s_mutex) {
  expectation e;
  const std::string stored = topic.substr(0, 255);  // a queue entry keeps 255 bytes
  uint16_t pid_counter = s_out_pkt_id;
  auto draw = [&] {
    uint16_t id = pid_counter;
    pid_counter = id == 65535 ? 1 : static_cast<uint16_t>(id + 1);
    return id;
  };
  for (const mqtt_session* s = s_sessions; s != nullptr; s = s->next) e.queues[s] = queue_of(s);
  for (mqtt_client* c = s_clients; c != nullptr; c = c->next) {
    const subscription* sub = plain_first_match(c->subs, topic.c_str());
    if (sub != nullptr) e.hits.push_back(route_hit{c, nullptr, sub});
    bool live = c->live();
    if (sub == nullptr || (!live && c->session == nullptr)) continue;
    int effective = qos < sub->qos ? qos : sub->qos;
    uint16_t pid = effective > 0 ? draw() : 0;
    if (effective > 0 && c->session != nullptr) {
      e.queues[c->session].push_back(
          queued{stored, live ? pid : uint16_t{0}, static_cast<uint8_t>(retain)});
    }
    if (!live) continue;
    byte_buf packet;
    EXPECT_TRUE(build_publish_packet(topic.c_str(), payload.data(), payload.size(), effective,
                                     static_cast<uint8_t>(retain), pid, c->protocol_level,
                                     &packet));
    bytes& out = e.sent[c];
    out.insert(out.end(), packet.data(), packet.data() + packet.size());
  }
  for (mqtt_session* s = s_sessions; s != nullptr; s = s->next) {
    const subscription* sub = plain_first_match(s->subs, topic.c_str());
    if (sub != nullptr) e.hits.push_back(route_hit{nullptr, s, sub});
    if (sub == nullptr || s->owner != nullptr) continue;
    int effective = qos < sub->qos ? qos : sub->qos;
    if (effective > 0) {
      e.queues[s].push_back(queued{stored, 0, static_cast<uint8_t>(retain)});
    }
  }
  e.next_pid = pid_counter;
  return e;
}

class RouteIndex : public ::testing::Test {
 public:
  void SetUp() override {
    lock_guard lock(s_mutex);
    ASSERT_EQ(s_clients, nullptr);
    ASSERT_EQ(s_sessions, nullptr);
  }

  void TearDown() override {
    lock_guard lock(s_mutex);
    while (s_clients != nullptr) {
      mqtt_client* c = s_clients;
      client_list_unlink(c);
      c->will_flag = 0;
      free_client(c);
    }
    forget_freed();
    session_clear_all();
    retained_clear_all();
    history_clear();
    s_out_pkt_id = 1;
    test_route_rebuild_after(4);
  }

  // A connected client on one end of a socket pair; the test reads the other.
  mqtt_client* connect(int level, const std::string& id, bool clean, const std::string* will)
      REQUIRES(s_mutex) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
      ADD_FAILURE() << "socketpair";
      return nullptr;
    }
    mqtt_client* c = client_create(os::unique_fd(fds[0]), false);
    if (c == nullptr) {
      ADD_FAILURE() << "client_create";
      return nullptr;
    }
    client_list_insert(c);
    peers_[c] = os::unique_fd(fds[1]);
    feed(c, connect_packet(level, id, clean, will));
    forget_freed();  // a take-over frees the other connection with this id
    drain_all();
    return c;
  }

  void feed(mqtt_client* c, const bytes& packet) REQUIRES(s_mutex) {
    size_t consumed = 0;
    EXPECT_GT(process_single_mqtt_packet(c, packet.data(), packet.size(), &consumed), 0);
    EXPECT_EQ(consumed, packet.size());
  }

  bytes read_peer(const mqtt_client* c) {
    bytes got;
    uint8_t buf[65536];
    for (;;) {
      long n = ::recv(peers_[c].get(), buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

  void drain_all() {
    for (auto& p : peers_) (void)read_peer(p.first);
  }

  // Drops the peers of records no longer in s_clients (freed by a take-over
  // or by the test), before their addresses can be reused.
  void forget_freed() REQUIRES(s_mutex) {
    for (auto it = peers_.begin(); it != peers_.end();) {
      bool linked = false;
      for (const mqtt_client* c = s_clients; c != nullptr; c = c->next)
        linked = linked || c == it->first;
      it = linked ? std::next(it) : peers_.erase(it);
    }
  }

  std::vector<mqtt_client*> clients() REQUIRES(s_mutex) {
    std::vector<mqtt_client*> v;
    for (mqtt_client* c = s_clients; c != nullptr; c = c->next) v.push_back(c);
    return v;
  }

  // Compares what the routing did with what the plain walk said it would.
  void check(const expectation& e, const std::string& what) REQUIRES(s_mutex) {
    EXPECT_EQ(s_out_pkt_id, e.next_pid) << what;
    for (auto& p : peers_) {
      auto it = e.sent.find(p.first);
      bytes want = it == e.sent.end() ? bytes{} : it->second;
      EXPECT_EQ(read_peer(p.first), want) << what << " client " << p.first->client_id;
    }
    for (const mqtt_session* s = s_sessions; s != nullptr; s = s->next) {
      auto it = e.queues.find(s);
      ASSERT_NE(it, e.queues.end()) << what;
      EXPECT_EQ(queue_of(s), it->second) << what << " session " << s->client_id;
    }
  }

  std::map<const mqtt_client*, os::unique_fd> peers_;
};

// Levels chosen so that filters overlap: the same texts exact and under
// wildcards, "$" topics, empty levels, and one level longer than a filter.
const std::vector<std::string> LEVELS = {"a", "b", "$SYS", "", "x", std::string(300, 'l')};

// Mostly short and alike, so that most messages reach several lists.
std::string random_topic(std::mt19937& rng) {
  std::string t;
  int n = 1 + static_cast<int>(rng() % 2) + (rng() % 8 == 0 ? 1 : 0);
  for (int i = 0; i < n; ++i) {
    if (i > 0) t += '/';
    t += LEVELS[rng() % 8 == 0 ? rng() % LEVELS.size() : rng() % 2];
  }
  return t;
}

std::string random_filter(std::mt19937& rng) {
  int kind = static_cast<int>(rng() % 10);
  if (kind < 5) return random_topic(rng);  // exact, often the same texts
  std::string f;
  int n = 1 + static_cast<int>(rng() % 3);
  for (int i = 0; i < n; ++i) {
    if (i > 0) f += '/';
    f += rng() % 3 == 0 ? std::string("+") : LEVELS[rng() % LEVELS.size()];
  }
  if (rng() % 3 == 0) f += f.empty() ? "#" : "/#";
  return f.empty() ? "#" : f;
}

void run_differential(RouteIndex& t, uint32_t seed) REQUIRES(s_mutex) {
  std::mt19937 rng(seed);
  const char* IDS[] = {"p", "q", "r", "s", "t", "u", "v", "w", "y", "z"};
  int messages = 0;
  int indexed = 0;
  for (int step = 0; step < 2500; ++step) {
    std::vector<mqtt_client*> cs = t.clients();
    int op = static_cast<int>(rng() % 100);
    if (op < 6 || cs.empty()) {
      int level = rng() % 3 == 0 ? 5 : 4;
      std::string id = IDS[rng() % 10];
      std::string will = random_topic(rng);
      (void)t.connect(level, id, rng() % 2 == 0, rng() % 4 == 0 ? &will : nullptr);
    } else if (op < 26) {
      mqtt_client* c = cs[rng() % cs.size()];
      if (c->closing != 0) continue;
      std::vector<std::string> filters;
      std::vector<int> qos;
      for (int i = 1 + static_cast<int>(rng() % 3); i > 0; --i) {
        filters.push_back(random_filter(rng));
        qos.push_back(static_cast<int>(rng() % 2));
      }
      t.feed(c, filters_packet(0x82, c->protocol_level, filters, &qos));
      t.drain_all();
    } else if (op < 29) {
      mqtt_client* c = cs[rng() % cs.size()];
      if (c->closing != 0 || c->subs == nullptr) continue;
      std::vector<std::string> filters{c->subs->filter, random_filter(rng)};
      t.feed(c, filters_packet(0xA2, c->protocol_level, filters, nullptr));
      t.drain_all();
    } else if (op < 31) {
      // Closing but still linked, as between a handler and the loop's free pass.
      cs[rng() % cs.size()]->closing = 1;
    } else if (op < 34) {
      // The loop's free pass: unlinked by hand, the will routed, then freed.
      mqtt_client* c = cs[rng() % cs.size()];
      mqtt_client** link = &s_clients;
      while (*link != c) link = &(*link)->next;
      *link = c->next;
      c->next = nullptr;
      c->closing = 1;
      bool will = c->will_flag != 0 && c->will_topic[0] != '\0';
      std::string will_topic = c->will_topic;
      c->sock.reset();  // free_client closes it before the will
      expectation e;
      if (will)
        e = plain_walk(will_topic, bytes{'l', 'a', 's', 't', ' ', 'w', 'o', 'r', 'd', 's'}, 1, 0);
      free_client(c);
      t.forget_freed();
      if (will) t.check(e, "will of " + will_topic);
    } else if (op < 36) {
      const uint32_t AFTER[] = {1, 1, 2, 3, 0};
      test_route_rebuild_after(AFTER[rng() % 5]);
    } else {
      std::string topic = random_topic(rng);
      bytes payload(rng() % 20, static_cast<uint8_t>('0' + step % 10));
      int qos = static_cast<int>(rng() % 2);
      int retain = static_cast<int>(rng() % 2);
      expectation e = plain_walk(topic, payload, qos, retain);
      std::vector<route_hit>* hits = nullptr;
      if (route_index_lookup(topic.c_str(), &hits)) {
        ++indexed;
        ASSERT_EQ(hits->size(), e.hits.size()) << topic;
        for (size_t i = 0; i < hits->size(); ++i) {
          EXPECT_EQ((*hits)[i].client, e.hits[i].client) << topic << " hit " << i;
          EXPECT_EQ((*hits)[i].session, e.hits[i].session) << topic << " hit " << i;
          EXPECT_EQ((*hits)[i].sub, e.hits[i].sub) << topic << " hit " << i;
        }
      }
      dispatch_to_subscribers(topic.c_str(), payload.data(), payload.size(), qos, retain);
      t.check(e, "topic " + topic);
      ++messages;
    }
    if (::testing::Test::HasFatalFailure()) return;
  }
  // Both roads were taken, and often.
  EXPECT_GT(indexed, messages / 3);
  EXPECT_LT(indexed, messages);
}

TEST_F(RouteIndex, SameDeliveriesAsThePlainWalk) {
  lock_guard lock(s_mutex);
  for (uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    run_differential(*this, seed);
    if (HasFatalFailure()) return;
  }
}

// The identifier counter wraps in the middle of a fan-out; QoS 1 copies of
// one encoding still carry their own identifiers at both levels, with QoS 0
// copies of the same level encoded in between.
TEST_F(RouteIndex, IdentifiersAcrossTheWrap) {
  lock_guard lock(s_mutex);
  for (uint32_t after : {1u, 0u}) {
    test_route_rebuild_after(after);
    for (int i = 0; i < 12; ++i) {
      int level = (i / 2) % 2 == 0 ? 4 : 5;
      mqtt_client* c = connect(level, "w" + std::to_string(i), true, nullptr);
      ASSERT_NE(c, nullptr);
      std::vector<int> qos{i % 3 == 1 ? 0 : 1};
      feed(c, filters_packet(0x82, level, {i % 5 == 0 ? "wrap/+" : "wrap/x"}, &qos));
    }
    drain_all();
    s_out_pkt_id = 65533;
    bytes payload{'p'};
    expectation e = plain_walk("wrap/x", payload, 1, 0);
    dispatch_to_subscribers("wrap/x", payload.data(), payload.size(), 1, 0);
    check(e, "wrap");
    EXPECT_EQ(s_out_pkt_id, 6);  // eight QoS 1 copies: 65533 to 65535, then 1 to 5
  }
}

// A stale index is never read: with rebuilding switched off every message
// takes the plain walk, and a rebuild happens only when asked for.
TEST_F(RouteIndex, RebuildsOnlyAfterChangesAndWhenAllowed) {
  lock_guard lock(s_mutex);
  std::vector<int> qos{0};
  mqtt_client* c = connect(4, "one", true, nullptr);
  ASSERT_NE(c, nullptr);
  feed(c, filters_packet(0x82, 4, {"k/1"}, &qos));
  std::vector<route_hit>* hits = nullptr;
  test_route_rebuild_after(0);
  EXPECT_FALSE(route_index_lookup("k/1", &hits));
  test_route_rebuild_after(2);
  uint64_t before = route_index_rebuilds();
  EXPECT_TRUE(route_index_lookup("k/1", &hits));  // the second stale lookup rebuilds
  EXPECT_EQ(route_index_rebuilds(), before + 1);
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ((*hits)[0].client, c);
  EXPECT_TRUE(route_index_lookup("k/1", &hits));
  EXPECT_EQ(route_index_rebuilds(), before + 1);  // nothing changed
  feed(c, filters_packet(0xA2, 4, {"k/1"}, nullptr));
  EXPECT_FALSE(route_index_lookup("k/1", &hits));
  EXPECT_TRUE(route_index_lookup("k/1", &hits));
  EXPECT_TRUE(hits->empty());
  EXPECT_EQ(route_index_rebuilds(), before + 2);
}

}  // namespace
}  // namespace bvm
