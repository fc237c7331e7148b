// The MQTT packet stream of one TCP client, unconnected or already
// connected: any bytes, in receives of any size, handled as the network loop
// handles them (the loop's input cap, then cut_packets), with the broker's
// shared state checked after every receive.
//
// Input: one set-up byte (the flags below), then chunks: a length byte b and
// b + 1 bytes (b = 255: the rest), each one receive.
//
// The fuzzed client is a record in s_clients without a network thread; its
// socket is one end of a socket pair whose other end is drained, so replies
// really go out. The received bytes sit in an input buffer of exactly their
// size, so a read past them is caught; with PER_PACKET each packet is handed
// to process_single_mqtt_packet in an allocation of exactly its own size, so
// a read past the packet into the next one is caught too.
#include <cstring>
#include <memory>
#include <string>

#include "base/alloc.h"
#include "base/text.h"
#include "broker/auth.h"
#include "broker_checks.h"
#include "fuzz_support.h"
#include "mqtt/codec.h"
#include "mqtt/subscription.h"
#include "mqtt/topic.h"
#include "net/client.h"
#include "session/session.h"

namespace {

using namespace bvm;

constexpr uint8_t PRECONNECTED = 0x01;       // CONNECT already accepted (id "f")
constexpr uint8_t LEVEL5 = 0x02;             // ... at level 5, else 4
constexpr uint8_t OWN_SESSION = 0x04;        // ... with a persistent session (level 4)
constexpr uint8_t PER_PACKET = 0x08;         // exact-size copy of each packet
constexpr uint8_t BYSTANDER = 0x10;          // client "b" subscribed to "#" at QoS 1
constexpr uint8_t BYSTANDER_SESSION = 0x20;  // ... holding a persistent session
constexpr uint8_t DETACHED_SESSION = 0x40;   // session "d" without a client, "#" at QoS 1
constexpr uint8_t WITH_USERS = 0x80;         // user list: "u" with password "p"

void add_subscription(subscription** head, const char* filter) {
  subscription* s = try_new<subscription>();
  FUZZ_CHECK(s != nullptr);
  copy_text(s->filter, filter);
  s->qos = 1;
  s->next = *head;
  *head = s;
}

mqtt_client* make_client(fuzz::socket_pair& pair, const char* id, int level, bool session)
    REQUIRES(s_mutex) {
  mqtt_client* c = client_create(os::unique_fd(pair.release_ours()), false);
  FUZZ_CHECK(c != nullptr);
  if (id != nullptr) {
    c->connected = 1;
    c->protocol_level = level;
    copy_text(c->client_id, id);
    if (session) session_attach(session_create(id), c);
  }
  client_list_insert(c);
  return c;
}

// The input handling of the loop: the cap on unconsumed bytes closes the client.
void receive(mqtt_client* c, const uint8_t* p, size_t n) {
  if (c->in_buf.size() + n > IN_BUF_LIMIT || !c->in_buf.append(p, n)) {
    c->closing = 1;
    return;
  }
  // Exactly the received bytes: a read past them hits ASan's redzone.
  FUZZ_CHECK(c->in_buf.reserve_exact(c->in_buf.size()));
}

// cut_packets, but with each packet in its own exact-size allocation; also
// checks that process_single_mqtt_packet measures packets as the framing does.
void cut_per_packet(mqtt_client* c) REQUIRES(s_mutex) {
  byte_buf& buf = c->in_buf;
  size_t off = 0;
  while (buf.size() - off >= 2) {
    size_t avail = buf.size() - off;
    size_t total = fuzz::front_packet_size(buf.data() + off, avail);
    size_t give = total == 0 || total == SIZE_MAX ? avail : total;
    auto exact = std::make_unique<uint8_t[]>(give);
    std::memcpy(exact.get(), buf.data() + off, give);
    size_t consumed = 0;
    int r = process_single_mqtt_packet(c, exact.get(), give, &consumed);
    if (total == 0) {
      FUZZ_CHECK(r == 0);
      break;
    }
    if (total == SIZE_MAX) {
      FUZZ_CHECK(r == -1 && c->closing != 0);
      break;
    }
    FUZZ_CHECK(r != 0);
    if (r < 0) {
      FUZZ_CHECK(c->closing != 0);
      break;
    }
    FUZZ_CHECK(consumed == total);
    off += consumed;
  }
  buf.consume_front(off);
}

bool in_list(const mqtt_client* c) REQUIRES(s_mutex) {
  for (const mqtt_client* x = s_clients; x != nullptr; x = x->next) {
    if (x == c) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fuzz::cursor in{data, size};
  const uint8_t flags = in.byte();
  const int level = (flags & LEVEL5) != 0 ? 5 : 4;

  fuzz::socket_pair bystander_pair;
  fuzz::socket_pair pair;
  lock_guard lock(s_mutex);
  if ((flags & WITH_USERS) != 0) {
    std::string error;
    FUZZ_CHECK(auth_load(R"([{"username":"u","password":"p"}])", &error));
  }
  // Queued messages, so that a resume of either session redelivers: one
  // never sent, one sent and not yet acknowledged.
  static constexpr uint8_t QUEUED[] = {'q'};
  if ((flags & DETACHED_SESSION) != 0) {
    mqtt_session* d = session_create("d");
    FUZZ_CHECK(d != nullptr);
    add_subscription(&d->subs, "#");
    session_enqueue(d, "q/d", QUEUED, sizeof QUEUED, 0, 0);
    session_enqueue(d, "q/d", QUEUED, sizeof QUEUED, 1, next_packet_id());
  }
  mqtt_client* bystander = nullptr;
  if ((flags & BYSTANDER) != 0) {
    bystander = make_client(bystander_pair, "b", 4, (flags & BYSTANDER_SESSION) != 0);
    add_subscription(&bystander->subs, "#");
    if (bystander->session != nullptr) {
      session_enqueue(bystander->session, "q/b", QUEUED, sizeof QUEUED, 0, next_packet_id());
    }
  }
  mqtt_client* c = make_client(pair, (flags & PRECONNECTED) != 0 ? "f" : nullptr, level,
                               level == 4 && (flags & OWN_SESSION) != 0);
  fuzz::check_broker_state();

  while (!in.done() && c->closing == 0) {
    size_t n = 0;
    const uint8_t* p = in.chunk(&n);
    receive(c, p, n);
    if (c->closing != 0) break;
    if ((flags & PER_PACKET) != 0) {
      cut_per_packet(c);
    } else {
      cut_packets(c, &c->in_buf);
    }
    // The fuzzed client is never freed by its own packets; another client
    // may be (a take-over), and only this thread creates records.
    FUZZ_CHECK(in_list(c));
    if (bystander != nullptr && !in_list(bystander)) bystander = nullptr;
    // The loop's write step, and the peers reading everything.
    client_flush(c);
    pair.drain();
    if (bystander != nullptr) {
      client_flush(bystander);
      bystander_pair.drain();
    }
    fuzz::check_broker_state();
    // cut_packets handles every complete packet it is given; what stays is
    // the start of one that has not fully arrived.
    if (c->closing == 0) {
      FUZZ_CHECK(fuzz::front_packet_size(c->in_buf.data(), c->in_buf.size()) == 0);
    }
  }

  fuzz::reset_broker_state();
  auth_clear();
  FUZZ_CHECK(pair.given_closed() && bystander_pair.given_closed());
  return 0;
}
