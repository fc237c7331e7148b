// The storage log queue: producers copy each routed message into the queue;
// the drain takes the whole queue at once.
//
// Producers run on the routing path with s_mutex held, so queueing must be
// cheap: a record is a small header and its bytes appended to the tail
// chunk under s_fs_qmutex, and chunks are recycled through a pool by the
// drain, so in a steady flow nothing is allocated or freed per message. A
// record above 4 KiB gets a chunk of its own, allocated and filled before
// the lock is taken, so the writer never waits on a long copy, and the room
// a record leaves unused at the end of a pooled chunk stays small next to
// the payload bytes the queue limit counts.
#include <cstring>

#include "base/alloc.h"
#include "storage/fs_state.h"

namespace bvm {

struct log_chunk {
  log_chunk* next = nullptr;
  byte_buf bytes;
};

namespace {

// 64 KiB stays below the allocator's mmap threshold; 128 pooled chunks
// cover a 50 ms tick of small messages at several hundred thousand per
// second while holding at most 8 MiB when idle.
constexpr size_t CHUNK_SIZE = 65536;
constexpr int POOL_MAX = 128;
constexpr size_t OWN_CHUNK_ABOVE = 4096;

// The fixed part of a stored record; topic, client and payload bytes follow.
struct record_head {
  int64_t ts_ms;
  uint64_t payload_len;
  int32_t qos;
  uint16_t topic_len;
  uint8_t client_len;
  uint8_t retain;
};

constexpr size_t TOPIC_MAX = 255;
constexpr size_t CLIENT_MAX = 127;

log_chunk* s_fs_q_head GUARDED_BY(s_fs_qmutex) = nullptr;
log_chunk* s_fs_q_tail GUARDED_BY(s_fs_qmutex) = nullptr;
log_chunk* s_fs_pool GUARDED_BY(s_fs_qmutex) = nullptr;
int s_fs_pool_count GUARDED_BY(s_fs_qmutex) = 0;

void count_dropped() noexcept {
  lock_guard lock(s_fs_qmutex);
  s_fs_log_dropped += 1;
}

log_chunk* new_chunk(size_t size) noexcept {
  log_chunk* c = try_new<log_chunk>();
  if (c == nullptr) return nullptr;
  if (!c->bytes.reserve_exact(size)) {
    destroy(c);
    return nullptr;
  }
  return c;
}

void free_chunks(log_chunk* head) noexcept {
  while (head != nullptr) {
    log_chunk* next = head->next;
    destroy(head);
    head = next;
  }
}

size_t text_length(const char* text, size_t max) noexcept {
  return text == nullptr ? 0 : strnlen(text, max);
}

void put_record(log_chunk* c, const record_head& h, const char* topic, const char* client,
                const uint8_t* payload) noexcept {
  c->bytes.append_within_capacity(reinterpret_cast<const uint8_t*>(&h), sizeof h);
  c->bytes.append_within_capacity(reinterpret_cast<const uint8_t*>(topic), h.topic_len);
  c->bytes.append_within_capacity(reinterpret_cast<const uint8_t*>(client), h.client_len);
  c->bytes.append_within_capacity(payload, static_cast<size_t>(h.payload_len));
}

bool queue_full(uint64_t payload_len) noexcept REQUIRES(s_fs_qmutex) {
  return s_fs_q_items >= FS_QUEUE_MAX_ITEMS ||
         payload_len > static_cast<uint64_t>(FS_QUEUE_MAX_BYTES - s_fs_q_bytes);
}

void link_chunk(log_chunk* c) noexcept REQUIRES(s_fs_qmutex) {
  c->next = nullptr;
  if (s_fs_q_tail != nullptr) {
    s_fs_q_tail->next = c;
  } else {
    s_fs_q_head = c;
  }
  s_fs_q_tail = c;
}

// A quarter of either limit wakes the writer early, so a burst is drained
// before the queue refuses records.
constexpr int64_t NUDGE_ITEMS = FS_QUEUE_MAX_ITEMS / 4;
constexpr int64_t NUDGE_BYTES = FS_QUEUE_MAX_BYTES / 4;

void count_queued(uint64_t payload_len) noexcept REQUIRES(s_fs_qmutex) {
  int64_t bytes_before = s_fs_q_bytes;
  s_fs_q_items += 1;
  s_fs_q_bytes += static_cast<int64_t>(payload_len);
  if (s_fs_q_items == NUDGE_ITEMS || (bytes_before < NUDGE_BYTES && s_fs_q_bytes >= NUDGE_BYTES)) {
    fs_writer_nudge();
  }
}

// A record of its own chunk: allocated and copied outside the lock.
void enqueue_large(const record_head& h, const char* topic, const char* client,
                   const uint8_t* payload, size_t need) noexcept {
  log_chunk* c = new_chunk(need);
  if (c == nullptr) {
    count_dropped();
    return;
  }
  put_record(c, h, topic, client, payload);
  {
    lock_guard lock(s_fs_qmutex);
    if (!queue_full(h.payload_len)) {
      link_chunk(c);
      count_queued(h.payload_len);
      return;
    }
    s_fs_log_dropped += 1;
  }
  destroy(c);  // refused: freed outside the lock
}

}  // namespace

void fs_log_enqueue(const char* topic, const uint8_t* payload, size_t payload_len, int qos,
                    int retain, const char* client_id) noexcept {
  if (s_fs_active.load(std::memory_order_relaxed) == 0 ||
      s_fs_log_on.load(std::memory_order_relaxed) == 0) {
    return;
  }
  if (payload_len > 0 && payload == nullptr) {
    count_dropped();
    return;
  }
  record_head h{};
  h.ts_ms = fs_now_ms();
  h.payload_len = payload_len;
  h.qos = qos;
  h.topic_len = static_cast<uint16_t>(text_length(topic, TOPIC_MAX));
  h.client_len = static_cast<uint8_t>(text_length(client_id, CLIENT_MAX));
  h.retain = retain != 0 ? 1 : 0;
  // Beyond the byte limit a record is refused whatever the queue holds; the
  // check here only keeps the size sum below from wrapping.
  size_t fixed = sizeof h + h.topic_len + h.client_len;
  if (payload_len > static_cast<uint64_t>(FS_QUEUE_MAX_BYTES)) {
    count_dropped();
    return;
  }
  size_t need = fixed + payload_len;
  if (need > OWN_CHUNK_ABOVE) {
    enqueue_large(h, topic, client_id, payload, need);
    return;
  }
  lock_guard lock(s_fs_qmutex);
  if (queue_full(payload_len)) {
    s_fs_log_dropped += 1;
    return;
  }
  log_chunk* c = s_fs_q_tail;
  if (c == nullptr || c->bytes.capacity() - c->bytes.size() < need) {
    c = s_fs_pool;
    if (c != nullptr) {
      s_fs_pool = c->next;
      s_fs_pool_count -= 1;
    } else {
      c = new_chunk(CHUNK_SIZE);
      if (c == nullptr) {
        s_fs_log_dropped += 1;
        return;
      }
    }
    link_chunk(c);
  }
  put_record(c, h, topic, client_id, payload);
  count_queued(payload_len);
}

log_chunk* fs_log_take_all() noexcept {
  lock_guard lock(s_fs_qmutex);
  log_chunk* head = s_fs_q_head;
  s_fs_q_head = nullptr;
  s_fs_q_tail = nullptr;
  s_fs_q_items = 0;
  s_fs_q_bytes = 0;
  return head;
}

void fs_log_free_list(log_chunk* head) noexcept {
  log_chunk* unpooled = nullptr;
  {
    lock_guard lock(s_fs_qmutex);
    while (head != nullptr) {
      log_chunk* next = head->next;
      if (head->bytes.capacity() == CHUNK_SIZE && s_fs_pool_count < POOL_MAX) {
        head->bytes.clear();
        head->next = s_fs_pool;
        s_fs_pool = head;
        s_fs_pool_count += 1;
      } else {
        head->next = unpooled;
        unpooled = head;
      }
      head = next;
    }
  }
  free_chunks(unpooled);
}

void fs_log_release_memory() noexcept {
  log_chunk* pool;
  {
    lock_guard lock(s_fs_qmutex);
    pool = s_fs_pool;
    s_fs_pool = nullptr;
    s_fs_pool_count = 0;
  }
  free_chunks(pool);
}

bool log_cursor::next(log_record* out) noexcept {
  while (chunk_ != nullptr && at_ >= chunk_->bytes.size()) {
    chunk_ = chunk_->next;
    at_ = 0;
  }
  if (chunk_ == nullptr) return false;
  const uint8_t* p = chunk_->bytes.data() + at_;
  record_head h;
  std::memcpy(&h, p, sizeof h);
  p += sizeof h;
  out->ts_ms = h.ts_ms;
  out->qos = h.qos;
  out->retain = h.retain;
  out->topic = reinterpret_cast<const char*>(p);
  out->topic_len = h.topic_len;
  p += h.topic_len;
  out->client = reinterpret_cast<const char*>(p);
  out->client_len = h.client_len;
  p += h.client_len;
  out->payload_len = static_cast<size_t>(h.payload_len);
  out->payload = out->payload_len > 0 ? p : nullptr;
  at_ += sizeof h + h.topic_len + h.client_len + out->payload_len;
  return true;
}

}  // namespace bvm
