// Subscription lists: one per connection, or per detached session.
//
// A list holds each filter text once; new entries go to the head, and the
// order matters: the fan-out takes the first entry of a list whose filter
// matches a topic.
#pragma once

#include <cstdint>

namespace bvm {

struct subscription {
  char filter[256] = {};  // cut at 255 bytes; unique within its list
  int32_t qos = 0;        // granted QoS, 0 or 1
  subscription* next = nullptr;
};

// The entry with exactly this filter text, or null.
subscription* subscription_find(subscription* head, const char* filter) noexcept;
// Unlinks and frees the entry with exactly this filter text; true if found.
bool subscription_remove(subscription** head, const char* filter) noexcept;
// Frees every entry; *head becomes null.
void subscription_free_all(subscription** head) noexcept;

// Tells the fan-out's index (mqtt/route_index.h) that the lists may have
// changed: a client linked into or out of s_clients or freed, a subscription
// added or removed, a list handed between a client and its session, a
// session created or freed. Code that changes a list or s_clients calls it
// before the next message is routed.
void routing_changed() noexcept;

}  // namespace bvm
