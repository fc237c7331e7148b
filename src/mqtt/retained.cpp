#include "mqtt/retained.h"

#include <cstring>

#include "base/alloc.h"
#include "base/text.h"
#include "os/clock.h"
#include "storage/storage.h"

namespace bvm {

retained_message* s_retained = nullptr;

retained_message* retained_find(const char* topic) noexcept {
  for (retained_message* m = s_retained; m != nullptr; m = m->next) {
    if (std::strcmp(m->topic, topic) == 0) return m;
  }
  return nullptr;
}

int retained_count() noexcept {
  int n = 0;
  for (retained_message* m = s_retained; m != nullptr; m = m->next) ++n;
  return n;
}

void set_retained_message(const char* topic, const uint8_t* payload, size_t payload_len,
                          int qos) noexcept {
  mark_retained_dirty();
  // The key is the stored form of the topic (cut at 255 bytes), so a longer
  // host topic finds the entry it created instead of adding a second one.
  char key[256];
  copy_text(key, topic);
  bool empty = payload == nullptr || payload_len == 0;
  for (retained_message** link = &s_retained; *link != nullptr; link = &(*link)->next) {
    retained_message* m = *link;
    if (std::strcmp(m->topic, key) != 0) continue;
    if (empty) {
      *link = m->next;
      destroy(m);
      return;
    }
    // A failed copy keeps the old payload; QoS and time are still updated.
    (void)m->payload.assign_with_nul(payload, payload_len);
    m->qos = qos;
    m->updated = os::wall_seconds();
    return;
  }
  if (empty) return;
  retained_message* m = try_new<retained_message>();
  if (m == nullptr) return;
  copy_text(m->topic, key);
  if (!m->payload.assign_with_nul(payload, payload_len)) {
    destroy(m);
    return;
  }
  m->qos = qos;
  m->updated = os::wall_seconds();
  m->next = s_retained;
  s_retained = m;
}

void retained_clear_all() noexcept {
  retained_message* m = s_retained;
  s_retained = nullptr;
  while (m != nullptr) {
    retained_message* next = m->next;
    destroy(m);
    m = next;
  }
}

}  // namespace bvm
