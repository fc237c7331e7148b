// The storage log queue: producers copy each routed message into a record
// and append it; the drain takes the whole list at once. Producers hold
// s_mutex and take s_fs_qmutex only for the append, after every allocation
// and copy, so routing never waits for the disk.
#include "base/alloc.h"
#include "base/text.h"
#include "storage/fs_state.h"

namespace bvm {
namespace {

log_record* s_fs_q_head GUARDED_BY(s_fs_qmutex) = nullptr;
log_record* s_fs_q_tail GUARDED_BY(s_fs_qmutex) = nullptr;

void count_dropped() noexcept {
  lock_guard lock(s_fs_qmutex);
  s_fs_log_dropped += 1;
}

}  // namespace

void fs_log_enqueue(const char* topic, const uint8_t* payload, size_t payload_len, int qos,
                    int retain, const char* client_id) noexcept {
  if (s_fs_active.load(std::memory_order_relaxed) == 0 ||
      s_fs_log_on.load(std::memory_order_relaxed) == 0) {
    return;
  }
  log_record* r = try_new<log_record>();
  if (r == nullptr) {
    count_dropped();
    return;
  }
  r->ts_ms = fs_now_ms();
  copy_text(r->topic, topic);
  copy_text(r->client, client_id);
  r->qos = qos;
  r->retain = retain != 0 ? 1 : 0;
  r->payload_len = payload_len;
  if (payload_len > 0) {
    if (payload == nullptr || !r->payload.reserve_exact(payload_len)) {
      destroy(r);
      count_dropped();
      return;
    }
    r->payload.append_within_capacity(payload, payload_len);
  }
  {
    lock_guard lock(s_fs_qmutex);
    bool full = s_fs_q_items >= FS_QUEUE_MAX_ITEMS ||
                payload_len > static_cast<uint64_t>(FS_QUEUE_MAX_BYTES - s_fs_q_bytes);
    if (!full) {
      if (s_fs_q_tail != nullptr) {
        s_fs_q_tail->next = r;
      } else {
        s_fs_q_head = r;
      }
      s_fs_q_tail = r;
      s_fs_q_items += 1;
      s_fs_q_bytes += static_cast<int64_t>(payload_len);
      return;
    }
    s_fs_log_dropped += 1;
  }
  destroy(r);  // refused: freed outside the lock
}

log_record* fs_log_take_all() noexcept {
  lock_guard lock(s_fs_qmutex);
  log_record* head = s_fs_q_head;
  s_fs_q_head = nullptr;
  s_fs_q_tail = nullptr;
  s_fs_q_items = 0;
  s_fs_q_bytes = 0;
  return head;
}

void fs_log_free_list(log_record* head) noexcept {
  while (head != nullptr) {
    log_record* next = head->next;
    destroy(head);
    head = next;
  }
}

}  // namespace bvm
