#include "inspect/history.h"

#include <array>

#include "base/no_destructor.h"
#include "base/text.h"
#include "os/clock.h"
#include "storage/storage.h"

namespace bvm {

int32_t s_log_count = 0;
int32_t s_log_head = 0;
int64_t s_log_id_seq = 1;

namespace {

// The slots are allocated once and live as long as the library.
history_entry* ring() {
  static no_destructor<std::array<history_entry, HISTORY_SLOTS>> slots;
  return slots->data();
}

}  // namespace

history_entry& history_at(int32_t i) noexcept { return ring()[(s_log_head + i) % HISTORY_SLOTS]; }

void log_message(const char* topic, const uint8_t* payload, size_t payload_len, int qos, int retain,
                 const char* client_id) noexcept {
  history_entry* e;
  if (s_log_count < HISTORY_SLOTS) {
    e = &ring()[s_log_count];
    s_log_count += 1;
  } else {
    // Full: the oldest entry is overwritten; nothing is ever refused.
    e = &ring()[s_log_head];
    s_log_head = (s_log_head + 1) % HISTORY_SLOTS;
  }
  e->id = s_log_id_seq++;
  copy_text(e->topic, topic);
  copy_text(e->client_id, client_id);
  e->retain = static_cast<uint8_t>(retain);
  e->qos = qos;
  e->payload_len = payload_len;
  e->timestamp = os::wall_seconds();
  e->payload_copied = e->payload.assign_with_nul(payload, payload == nullptr ? 0 : payload_len);
  if (!e->payload_copied) e->payload.reset();

  fs_log_enqueue(topic, payload, payload_len, qos, retain, client_id);
}

void history_clear() noexcept {
  for (int32_t i = 0; i < s_log_count; ++i) ring()[i].payload.reset();
  s_log_count = 0;
  s_log_head = 0;
}

}  // namespace bvm
