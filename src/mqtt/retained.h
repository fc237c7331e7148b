// The retained store: one message per topic, newest first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/byte_buf.h"
#include "broker/state.h"

namespace bvm {

struct retained_message {
  char topic[256] = {};  // the key; compared byte-wise
  byte_buf payload;      // never empty, with a NUL after it
  int32_t qos = 0;       // as offered by the publish that stored it
  int64_t updated = 0;   // wall-clock seconds of the last store or replace
  retained_message* next = nullptr;
};

extern retained_message* s_retained GUARDED_BY(s_mutex);

// Stores, replaces (keeping the entry's place) or, for an empty payload,
// deletes the retained message of topic. Marks the store dirty on every call.
void set_retained_message(const char* topic, const uint8_t* payload, size_t payload_len,
                          int qos) noexcept REQUIRES(s_mutex);

retained_message* retained_find(const char* topic) noexcept REQUIRES(s_mutex);
int retained_count() noexcept REQUIRES(s_mutex);
// Frees every retained message.
void retained_clear_all() noexcept REQUIRES(s_mutex);

}  // namespace bvm
