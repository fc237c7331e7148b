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

}  // namespace bvm
