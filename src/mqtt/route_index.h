// The subscription index the fan-out consults instead of matching every
// list: lists holding an exact filter are found by the filter's text, lists
// holding any wildcard filter are kept apart and matched in full, and both
// are visited in the fan-out's order (s_clients, then s_sessions).
//
// The index mirrors the lists as they were when it was built and holds raw
// pointers into them, so it is only used while nothing has changed since:
// every change to which lists exist, what they hold or their order calls
// routing_changed(), and the next fan-out either walks the lists plainly or
// rebuilds the index. A stale index is never read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "broker/state.h"
#include "mqtt/subscription.h"

namespace bvm {

struct mqtt_client;
struct mqtt_session;

// routing_changed() (declared in mqtt/subscription.h) invalidates the index:
// one relaxed counter increment, safe from any thread.

// A list with a subscription matching the topic, and its first such entry.
// `client` is set for a list of s_clients (`session` is then null); for a
// list of s_sessions, `session` is set and `client` is null.
struct route_hit {
  mqtt_client* client = nullptr;
  mqtt_session* session = nullptr;
  const subscription* sub = nullptr;
};

// Fills *hits with every list whose first matching subscription exists, in
// the fan-out's order, and returns true; false when the index is stale and
// should not be rebuilt yet, or memory ran short (*hits is then unusable and
// the caller walks the lists itself). The hits stay valid until the next
// change to the lists.
bool route_index_lookup(const char* topic, std::vector<route_hit>** hits) noexcept
    REQUIRES(s_mutex);

// Test seam: a stale index is rebuilt at the nth fan-out after a change
// (1 = at the first; 0 = never, every fan-out walks the lists). The default
// lets a burst of changes pass without rebuilding after each of them.
void test_route_rebuild_after(uint32_t n) noexcept REQUIRES(s_mutex);
// Number of index rebuilds since the library was loaded.
uint64_t route_index_rebuilds() noexcept REQUIRES(s_mutex);

}  // namespace bvm
