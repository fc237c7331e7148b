#include "session/session.h"

#include <cstring>

#include "base/alloc.h"
#include "base/text.h"
#include "mqtt/codec.h"
#include "mqtt/subscription.h"
#include "net/client.h"
#include "os/clock.h"
#include "storage/storage.h"

namespace bvm {

mqtt_session* s_sessions = nullptr;
int32_t s_session_count = 0;
int64_t s_session_dropped = 0;

namespace {

// Removes the head entry of the queue and frees it.
void drop_head(mqtt_session* s) noexcept {
  queued_message* m = s->queue_head;
  s->queue_head = m->next;
  if (s->queue_head == nullptr) s->queue_tail = nullptr;
  s->queue_count -= 1;
  s->queue_bytes -= m->payload.size();
  destroy(m);
}

void free_queue(mqtt_session* s) noexcept {
  while (s->queue_head != nullptr) drop_head(s);
}

}  // namespace

mqtt_session* session_find(const char* client_id) noexcept {
  for (mqtt_session* s = s_sessions; s != nullptr; s = s->next) {
    if (std::strcmp(s->client_id, client_id) == 0) return s;
  }
  return nullptr;
}

mqtt_session* session_create(const char* client_id) noexcept {
  mark_sessions_dirty();
  if (s_session_count >= MAX_SESSIONS) {
    // Evict the detached session seen least recently; the first one met wins
    // a tie. With every session bound, nothing is evicted.
    mqtt_session* victim = nullptr;
    for (mqtt_session* s = s_sessions; s != nullptr; s = s->next) {
      if (s->owner == nullptr && (victim == nullptr || s->last_seen < victim->last_seen)) {
        victim = s;
      }
    }
    if (victim != nullptr) session_destroy(victim);
  }
  mqtt_session* s = try_new<mqtt_session>();
  if (s == nullptr) return nullptr;
  copy_text(s->client_id, client_id);
  s->next = s_sessions;
  s_sessions = s;
  s_session_count += 1;
  routing_changed();
  return s;
}

void session_destroy(mqtt_session* s) noexcept {
  mark_sessions_dirty();
  for (mqtt_session** link = &s_sessions; *link != nullptr; link = &(*link)->next) {
    if (*link == s) {
      *link = s->next;
      break;
    }
  }
  if (s->owner != nullptr) s->owner->session = nullptr;
  subscription_free_all(&s->subs);
  routing_changed();
  free_queue(s);
  destroy(s);
  s_session_count -= 1;
}

void session_attach(mqtt_session* s, mqtt_client* c) noexcept {
  mark_sessions_dirty();
  if (s->owner != nullptr && s->owner != c) s->owner->session = nullptr;
  subscription_free_all(&c->subs);
  c->subs = s->subs;
  s->subs = nullptr;
  s->owner = c;
  s->last_seen = os::wall_seconds();
  c->session = s;
  routing_changed();
}

void session_detach(mqtt_client* c) noexcept {
  mqtt_session* s = c->session;
  if (s == nullptr) return;
  mark_sessions_dirty();
  c->session = nullptr;
  if (s->owner != c) return;
  subscription_free_all(&s->subs);
  s->subs = c->subs;
  c->subs = nullptr;
  s->owner = nullptr;
  s->last_seen = os::wall_seconds();
  routing_changed();
}

void session_enqueue(mqtt_session* s, const char* topic, const uint8_t* payload, size_t payload_len,
                     int retain, uint16_t pid) noexcept {
  mark_sessions_dirty();
  queued_message* m = try_new<queued_message>();
  if (m == nullptr) {
    s_session_dropped += 1;
    return;
  }
  // At least one byte is allocated, also for an empty payload.
  if (!m->payload.reserve_exact(payload_len > 0 ? payload_len : 1)) {
    destroy(m);
    s_session_dropped += 1;
    return;
  }
  m->payload.append_within_capacity(payload, payload_len);
  copy_text(m->topic, topic);
  m->retain = retain != 0 ? 1 : 0;
  m->pid = pid;
  if (s->queue_tail != nullptr) {
    s->queue_tail->next = m;
  } else {
    s->queue_head = m;
  }
  s->queue_tail = m;
  s->queue_count += 1;
  s->queue_bytes += payload_len;
  while ((s->queue_count > MAX_QUEUE_ITEMS || s->queue_bytes > MAX_QUEUE_BYTES) &&
         s->queue_head != m) {
    drop_head(s);
    s_session_dropped += 1;
  }
}

void session_ack(mqtt_session* s, uint16_t pid) noexcept {
  queued_message* prev = nullptr;
  for (queued_message* m = s->queue_head; m != nullptr; prev = m, m = m->next) {
    if (m->pid != pid) continue;
    if (prev == nullptr) {
      s->queue_head = m->next;
    } else {
      prev->next = m->next;
    }
    if (s->queue_tail == m) s->queue_tail = prev;
    s->queue_count -= 1;
    s->queue_bytes -= m->payload.size();
    destroy(m);
    return;
  }
}

void session_redeliver(mqtt_session* s, mqtt_client* c) noexcept {
  if (s->queue_head == nullptr) return;
  mark_sessions_dirty();
  for (queued_message* m = s->queue_head; m != nullptr; m = m->next) {
    bool resend = m->pid != 0;
    uint16_t pid = resend ? m->pid : next_packet_id();
    if (!resend) m->pid = pid;
    byte_buf packet;
    if (!build_publish_packet(m->topic, m->payload.data(), m->payload.size(), 1, m->retain, pid,
                              c->protocol_level, &packet)) {
      continue;  // stays queued; sent at the next resume
    }
    if (resend) packet.data()[0] |= 0x08;  // DUP
    client_send_packet(c, packet.data(), packet.size());
  }
}

void session_clear_all() noexcept {
  while (s_sessions != nullptr) session_destroy(s_sessions);
}

int32_t session_queued_total() noexcept {
  uint32_t total = 0;
  for (mqtt_session* s = s_sessions; s != nullptr; s = s->next) {
    total += static_cast<uint32_t>(s->queue_count);
  }
  return static_cast<int32_t>(total);
}

}  // namespace bvm
