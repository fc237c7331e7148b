// Invariants of the broker's shared state, checked by the fuzz targets that
// drive client records, and the reset that returns that state to empty
// between inputs (so no input depends on an earlier one, and leak checking
// sees everything freed).
#pragma once

#include <cstring>

#include "broker/state.h"
#include "fuzz_support.h"
#include "inspect/history.h"
#include "mqtt/codec.h"
#include "mqtt/retained.h"
#include "mqtt/subscription.h"
#include "net/client.h"
#include "net/ws_frames.h"
#include "session/session.h"

namespace fuzz {

// Size of the complete packet at the front of p (fixed header included), 0
// when it is not complete, SIZE_MAX when its Remaining Length is over the limit.
inline size_t front_packet_size(const uint8_t* p, size_t n) {
  if (n < 2) return 0;
  uint32_t rl = 0;
  size_t used = 0;
  if (bvm::mqtt_decode_varlen(p + 1, n - 1, &rl, &used) != 0) return 0;
  if (rl > bvm::MAX_PAYLOAD_LEN) return SIZE_MAX;
  size_t total = 1 + used + rl;
  return n >= total ? total : 0;
}

template <size_t N>
bool terminated(const char (&text)[N]) {
  return std::memchr(text, '\0', N) != nullptr;
}

inline size_t check_subscriptions(const bvm::subscription* head) {
  size_t n = 0;
  for (const bvm::subscription* s = head; s != nullptr; s = s->next) {
    FUZZ_CHECK(terminated(s->filter));
    FUZZ_CHECK(s->qos == 0 || s->qos == 1);
    for (const bvm::subscription* t = s->next; t != nullptr; t = t->next) {
      FUZZ_CHECK(std::strcmp(s->filter, t->filter) != 0);
    }
    ++n;
  }
  return n;
}

inline void check_session(const bvm::mqtt_session& s) REQUIRES(bvm::s_mutex) {
  FUZZ_CHECK(terminated(s.client_id));
  FUZZ_CHECK(s.client_id[0] != '\0');
  check_subscriptions(s.subs);
  uint64_t count = 0;
  uint64_t bytes = 0;
  const bvm::queued_message* last = nullptr;
  for (const bvm::queued_message* m = s.queue_head; m != nullptr; m = m->next) {
    FUZZ_CHECK(terminated(m->topic));
    ++count;
    bytes += m->payload.size();
    last = m;
  }
  FUZZ_CHECK(count == s.queue_count);
  FUZZ_CHECK(bytes == s.queue_bytes);
  FUZZ_CHECK(last == s.queue_tail);
  // The limits hold except for a single entry, which is never dropped.
  FUZZ_CHECK(count <= bvm::MAX_QUEUE_ITEMS);
  FUZZ_CHECK(bytes <= bvm::MAX_QUEUE_BYTES || count == 1);
  if (s.owner != nullptr) FUZZ_CHECK(s.owner->session == &s);
}

inline void check_client(const bvm::mqtt_client& c) REQUIRES(bvm::s_mutex) {
  FUZZ_CHECK(terminated(c.client_id));
  FUZZ_CHECK(terminated(c.username));
  FUZZ_CHECK(terminated(c.will_topic));
  FUZZ_CHECK(terminated(c.ws_protocol));
  FUZZ_CHECK(c.in_buf.size() <= bvm::IN_BUF_LIMIT);
  FUZZ_CHECK(c.out_off <= c.out_buf.size());
  FUZZ_CHECK(c.pending_output() <= bvm::MAX_PENDING_OUTPUT);
  FUZZ_CHECK(c.ws_data.size() <= bvm::WS_BUFFER_LIMIT);
  FUZZ_CHECK(c.ws_data.capacity() <= bvm::WS_BUFFER_LIMIT);
  FUZZ_CHECK(c.ws_frag_buf.size() <= bvm::WS_BUFFER_LIMIT);
  FUZZ_CHECK(c.ws_frag_buf.capacity() <= bvm::WS_BUFFER_LIMIT);
  if (c.connected != 0) {
    FUZZ_CHECK(c.protocol_level == 4 || c.protocol_level == 5);
    FUZZ_CHECK(c.client_id[0] != '\0');
  }
  check_subscriptions(c.subs);
  if (c.session != nullptr) {
    FUZZ_CHECK(c.session->owner == &c);
    FUZZ_CHECK(c.session->subs == nullptr);  // on loan to the client
  }
}

// Every client in the list, every session, every retained message.
inline void check_broker_state() REQUIRES(bvm::s_mutex) {
  FUZZ_CHECK(bvm::s_out_pkt_id >= 1);
  for (const bvm::mqtt_client* c = bvm::s_clients; c != nullptr; c = c->next) check_client(*c);
  int32_t sessions = 0;
  for (const bvm::mqtt_session* s = bvm::s_sessions; s != nullptr; s = s->next) {
    check_session(*s);
    for (const bvm::mqtt_session* t = s->next; t != nullptr; t = t->next) {
      FUZZ_CHECK(std::strcmp(s->client_id, t->client_id) != 0);
    }
    ++sessions;
  }
  FUZZ_CHECK(sessions == bvm::s_session_count);
  FUZZ_CHECK(sessions <= bvm::MAX_SESSIONS);
  for (const bvm::retained_message* m = bvm::s_retained; m != nullptr; m = m->next) {
    FUZZ_CHECK(terminated(m->topic));
    FUZZ_CHECK(!m->payload.empty());
    FUZZ_CHECK(m->payload.data()[m->payload.size()] == 0);
    for (const bvm::retained_message* o = m->next; o != nullptr; o = o->next) {
      FUZZ_CHECK(std::strcmp(m->topic, o->topic) != 0);
    }
  }
  FUZZ_CHECK(bvm::s_log_count >= 0 && bvm::s_log_count <= bvm::HISTORY_SLOTS);
}

// Frees every client (wills are published first, as at a close), then the
// retained store, the sessions and the history.
inline void reset_broker_state() REQUIRES(bvm::s_mutex) {
  while (bvm::s_clients != nullptr) {
    bvm::mqtt_client* c = bvm::s_clients;
    bvm::client_list_unlink(c);
    bvm::free_client(c);
  }
  check_broker_state();
  bvm::retained_clear_all();
  bvm::session_clear_all();
  bvm::history_clear();
  bvm::s_out_pkt_id = 1;
}

}  // namespace fuzz
