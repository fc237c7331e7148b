// The message history: the last 500 routed messages, for the host's poll and
// the topics report.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/byte_buf.h"
#include "broker/state.h"

namespace bvm {

inline constexpr int32_t HISTORY_SLOTS = 500;

struct history_entry {
  int64_t id = 0;
  char topic[256] = {};
  byte_buf payload;  // copy with a NUL after it; empty when the copy failed
  bool payload_copied = false;
  uint64_t payload_len = 0;  // as passed in, also when the copy failed
  int32_t qos = 0;
  uint8_t retain = 0;
  char client_id[128] = {};
  int64_t timestamp = 0;  // wall-clock seconds
};

extern int32_t s_log_count GUARDED_BY(s_mutex);
extern int32_t s_log_head GUARDED_BY(s_mutex);
extern int64_t s_log_id_seq GUARDED_BY(s_mutex);

// The i-th entry in age order (0 = oldest), i < s_log_count.
history_entry& history_at(int32_t i) noexcept REQUIRES(s_mutex);

// Records a routed message: its history entry, then its storage log record.
void log_message(const char* topic, const uint8_t* payload, size_t payload_len, int qos, int retain,
                 const char* client_id) noexcept REQUIRES(s_mutex);

// Empties the ring; ids go on from where they were.
void history_clear() noexcept REQUIRES(s_mutex);

}  // namespace bvm
