// The index behind the fan-out. It is rebuilt whole from the lists rather
// than kept up to date change by change: subscriptions change seldom next to
// the messages routed through them, and a rebuild that reads only the lists
// themselves cannot drift from them.
#include "mqtt/route_index.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <string_view>

#include "base/no_destructor.h"
#include "mqtt/subscription.h"
#include "mqtt/topic.h"
#include "net/client.h"
#include "session/session.h"

namespace bvm {
namespace {

// A fan-out after a change walks the lists until the walks have cost about
// as much as a rebuild (hashing and sorting every exact filter: about two and
// a half plain walks over 1000 lists, BM_dispatch_after_change), so a burst
// of connections or subscriptions between messages is not paid for with a
// rebuild per message, and steady churn costs at most about 1.4 plain walks
// per message.
constexpr uint32_t DEFAULT_REBUILD_AFTER = 4;

// One subscription with the facts the lookup needs without reading the
// filter again.
struct entry {
  const subscription* sub;
  uint32_t len;  // filter length; only used when !wild
  bool wild;     // holds '+' or '#' (or is not terminated): left to the matcher
  // For a wildcard filter, bytes every matching topic begins with (see
  // literal_head), so most misses are decided without reading the filter.
  uint8_t head_len;
  char head[8];
};

// One non-empty list, in the fan-out's order; its entries are
// entries[first .. first + count), in list order.
struct holder {
  mqtt_client* client;
  mqtt_session* session;
  uint32_t first;
  uint32_t count;
};

// An exact filter of a list without wildcard filters.
struct posting {
  size_t hash;
  uint32_t holder;
  uint32_t entry;
};

struct index_state {
  uint64_t built = 0;  // generation mirrored; 0 = none
  const mqtt_client* clients_head = nullptr;
  const mqtt_session* sessions_head = nullptr;
  // The change the stale fan-outs below are counted against.
  uint64_t seen = 0;
  const mqtt_client* seen_clients_head = nullptr;
  const mqtt_session* seen_sessions_head = nullptr;
  uint32_t stale_uses = 0;
  uint32_t rebuild_after = DEFAULT_REBUILD_AFTER;
  uint64_t rebuilds = 0;

  std::vector<holder> holders;
  std::vector<entry> entries;
  std::vector<uint32_t> wild;   // holders with a wildcard filter, ascending
  std::vector<posting> exact;   // by hash, then holder, then entry
  std::vector<route_hit> hits;  // the last lookup's result
};

std::atomic<uint64_t> g_generation{1};

index_state& state() noexcept {
  static no_destructor<index_state> s;
  return *s;
}

size_t text_hash(const char* p, size_t n) noexcept {
  return std::hash<std::string_view>{}(std::string_view(p, n));
}

// How many leading bytes of a wildcard filter every matching topic repeats:
// the text before the first wildcard, less the "/" of a "/#" there, which
// also matches the parent level ("a/#" matches "a"). 0 when unknown.
size_t literal_head(const char* filter, size_t len) noexcept {
  for (size_t w = 0; w < len; ++w) {
    if (filter[w] == '+') return w;
    if (filter[w] == '#') return w > 0 && filter[w - 1] == '/' ? w - 1 : w;
  }
  return 0;  // not terminated: left to the matcher entirely
}

void add_list(index_state& x, mqtt_client* c, mqtt_session* s, const subscription* list) {
  if (list == nullptr) return;
  auto h = static_cast<uint32_t>(x.holders.size());
  auto first = static_cast<uint32_t>(x.entries.size());
  bool any_wild = false;
  for (const subscription* sub = list; sub != nullptr; sub = sub->next) {
    const void* end = std::memchr(sub->filter, '\0', sizeof sub->filter);
    size_t len = end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - sub->filter)
                                : sizeof sub->filter;
    bool wild = len == sizeof sub->filter || std::memchr(sub->filter, '+', len) != nullptr ||
                std::memchr(sub->filter, '#', len) != nullptr;
    any_wild = any_wild || wild;
    entry e{sub, static_cast<uint32_t>(len), wild, 0, {}};
    if (wild) {
      size_t head = literal_head(sub->filter, len);
      e.head_len = static_cast<uint8_t>(head < sizeof e.head ? head : sizeof e.head);
      std::memcpy(e.head, sub->filter, e.head_len);
    }
    x.entries.push_back(e);
  }
  auto count = static_cast<uint32_t>(x.entries.size()) - first;
  x.holders.push_back(holder{c, s, first, count});
  if (any_wild) {
    // Matched in full, in list order, so the first match decides.
    x.wild.push_back(h);
    return;
  }
  for (uint32_t i = first; i < first + count; ++i) {
    const entry& e = x.entries[i];
    x.exact.push_back(posting{text_hash(e.sub->filter, e.len), h, i});
  }
}

template <class T>
void trim(std::vector<T>& v) {
  // Gives back what a burst (thousands of filters, then gone) left behind.
  if (v.capacity() > 4096 && v.capacity() > 4 * v.size()) v.shrink_to_fit();
}

bool rebuild(index_state& x, uint64_t gen) noexcept REQUIRES(s_mutex) {
  x.built = 0;
  x.holders.clear();
  x.entries.clear();
  x.wild.clear();
  x.exact.clear();
  try {
    for (mqtt_client* c = s_clients; c != nullptr; c = c->next) add_list(x, c, nullptr, c->subs);
    for (mqtt_session* s = s_sessions; s != nullptr; s = s->next) {
      add_list(x, nullptr, s, s->subs);
    }
    std::sort(x.exact.begin(), x.exact.end(), [](const posting& a, const posting& b) {
      if (a.hash != b.hash) return a.hash < b.hash;
      if (a.holder != b.holder) return a.holder < b.holder;
      return a.entry < b.entry;
    });
    trim(x.holders);
    trim(x.entries);
    trim(x.wild);
    trim(x.exact);
    trim(x.hits);
  } catch (...) {
    return false;
  }
  x.built = gen;
  x.clients_head = s_clients;
  x.sessions_head = s_sessions;
  x.rebuilds += 1;
  return true;
}

// The first entry of the holder's list that matches, as the plain walk finds it.
const subscription* first_match(const index_state& x, const holder& h, const char* topic,
                                size_t topic_len) noexcept {
  for (uint32_t i = h.first; i < h.first + h.count; ++i) {
    const entry& e = x.entries[i];
    bool match = e.wild ? topic_len >= e.head_len && std::memcmp(e.head, topic, e.head_len) == 0 &&
                              mqtt_topic_matches(e.sub->filter, topic) != 0
                        : e.len == topic_len && std::memcmp(e.sub->filter, topic, topic_len) == 0;
    if (match) return e.sub;
  }
  return nullptr;
}

bool is_current(const index_state& x, uint64_t gen) noexcept REQUIRES(s_mutex) {
  return x.built == gen && x.clients_head == s_clients && x.sessions_head == s_sessions;
}

// True when the index may be used for this fan-out, rebuilding it if the
// stale fan-outs since the last change have paid for a rebuild.
bool make_current(index_state& x) noexcept REQUIRES(s_mutex) {
  uint64_t gen = g_generation.load(std::memory_order_relaxed);
  if (is_current(x, gen)) return true;
  if (gen != x.seen || s_clients != x.seen_clients_head || s_sessions != x.seen_sessions_head) {
    x.seen = gen;
    x.seen_clients_head = s_clients;
    x.seen_sessions_head = s_sessions;
    x.stale_uses = 0;
  }
  x.stale_uses += 1;
  if (x.rebuild_after == 0 || x.stale_uses < x.rebuild_after) return false;
  return rebuild(x, gen);
}

void lookup(index_state& x, const char* topic) {
  x.hits.clear();
  size_t topic_len = std::strlen(topic);
  size_t hash = text_hash(topic, topic_len);
  auto range = std::equal_range(x.exact.begin(), x.exact.end(), posting{hash, 0, 0},
                                [](const posting& a, const posting& b) { return a.hash < b.hash; });
  auto p = range.first;
  uint32_t taken = UINT32_MAX;  // holder of the last exact hit
  // The next posting whose text really is the topic, once per holder (the
  // first entry wins should a list hold the same text twice).
  auto next_exact = [&]() -> const posting* {
    for (; p != range.second; ++p) {
      const entry& e = x.entries[p->entry];
      if (p->holder != taken && e.len == topic_len &&
          std::memcmp(e.sub->filter, topic, topic_len) == 0) {
        return &*p;
      }
    }
    return nullptr;
  };
  const posting* e = next_exact();
  size_t w = 0;
  // Two ascending, disjoint holder sequences merged into the fan-out's order.
  while (e != nullptr || w < x.wild.size()) {
    if (e != nullptr && (w == x.wild.size() || e->holder < x.wild[w])) {
      const holder& h = x.holders[e->holder];
      x.hits.push_back(route_hit{h.client, h.session, x.entries[e->entry].sub});
      taken = e->holder;
      ++p;
      e = next_exact();
    } else {
      const holder& h = x.holders[x.wild[w++]];
      if (const subscription* sub = first_match(x, h, topic, topic_len)) {
        x.hits.push_back(route_hit{h.client, h.session, sub});
      }
    }
  }
}

}  // namespace

void routing_changed() noexcept { g_generation.fetch_add(1, std::memory_order_relaxed); }

bool route_index_lookup(const char* topic, std::vector<route_hit>** hits) noexcept {
  index_state& x = state();
  if (topic == nullptr || !make_current(x)) return false;
  try {
    lookup(x, topic);
  } catch (...) {
    return false;
  }
  *hits = &x.hits;
  return true;
}

void test_route_rebuild_after(uint32_t n) noexcept { state().rebuild_after = n; }

uint64_t route_index_rebuilds() noexcept { return state().rebuilds; }

}  // namespace bvm
