// Writing the state snapshots retained.json and sessions.json.
//
// A pass serialises the retained store and the sessions in one consistent
// cut while holding s_mutex, then writes the texts with no broker lock held.
// Each file is replaced atomically (temporary file, fsync, rename, fsync of
// the directory), so a crash leaves either the old or the new complete file.
// A file whose text could not be built or written keeps its dirty flag, and
// the writer thread tries again at its next tick.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "base/alloc.h"
#include "codec/base64.h"
#include "mqtt/codec.h"
#include "mqtt/retained.h"
#include "mqtt/subscription.h"
#include "net/client.h"
#include "os/file.h"
#include "session/session.h"
#include "storage/fs_state.h"
#include "storage/json.h"
#include "storage/snapshot.h"

namespace bvm {
namespace {

constexpr size_t b64_length(size_t n) noexcept { return (n + 2) / 3 * 4; }

// Generous bounds of the JSON text each piece can produce: a text field is
// at most 6 bytes per input byte ("\u0001") or its Base64, whichever it
// becomes; keys, numbers and punctuation fit in the fixed allowance.
constexpr size_t FIELD_ALLOWANCE = 64;
size_t text_bound(const char* text) noexcept {
  size_t n = std::strlen(text);
  return FIELD_ALLOWANCE + (6 * n > b64_length(n) ? 6 * n : b64_length(n));
}
size_t payload_bound(size_t n) noexcept { return FIELD_ALLOWANCE + b64_length(n); }

// RapidJSON's string buffer does not check its allocations (a failed
// realloc is written through). So the whole text is reserved up front at a
// size no document of this state exceeds, after a checked allocation of
// that size has shown that the memory is there; the writer then never
// grows the buffer. Memory exhaustion thus shows as a clean failure here.
bool reserve_text(rapidjson::StringBuffer* sb, size_t bound) noexcept {
  if (alloc_should_fail()) return false;
  void* probe = std::malloc(bound);
  if (probe == nullptr) return false;
  std::free(probe);
  sb->Reserve(bound);
  return true;
}

// Base64 of the bytes as a JSON string value; *scratch is reused between
// calls. Throws std::bad_alloc when memory is short.
bool write_b64(json_writer& w, const uint8_t* bytes, size_t len, std::string* scratch) {
  scratch->resize(b64_length(len) + 8);
  bv_base64_encode(bytes, len, scratch->data(), scratch->size());
  size_t n = std::strlen(scratch->c_str());
  return w.String(scratch->data(), static_cast<rapidjson::SizeType>(n), true);
}

// The text-or-Base64 rule: valid UTF-8 without a zero byte is written as a
// string under `name`, anything else as Base64 under "<name>_b64".
bool add_text(json_writer& w, const char* name, const char* text, std::string* scratch) {
  size_t n = std::strlen(text);
  if (fs_valid_utf8(reinterpret_cast<const uint8_t*>(text), n)) {
    return w.Key(name) && write_checked_string(w, text, n);
  }
  char key[32];
  (void)std::snprintf(key, sizeof key, "%s_b64", name);
  return w.Key(key) && write_b64(w, reinterpret_cast<const uint8_t*>(text), n, scratch);
}

bool build_retained(rapidjson::StringBuffer* sb) REQUIRES(s_mutex) {
  size_t bound = 256;
  for (const retained_message* m = s_retained; m != nullptr; m = m->next) {
    bound += FIELD_ALLOWANCE + text_bound(m->topic) + payload_bound(m->payload.size()) +
             2 * FIELD_ALLOWANCE;
  }
  if (!reserve_text(sb, bound)) return false;
  json_writer w(*sb);
  std::string scratch;
  bool ok = w.StartObject() && w.Key("format") && w.Int(1) && w.Key("saved_ms") &&
            w.Int64(fs_now_ms()) && w.Key("retained") && w.StartArray();
  for (const retained_message* m = s_retained; ok && m != nullptr; m = m->next) {
    ok = w.StartObject() && add_text(w, "topic", m->topic, &scratch) && w.Key("payload_b64") &&
         write_b64(w, m->payload.data(), m->payload.size(), &scratch) && w.Key("qos") &&
         w.Int(m->qos) && w.Key("updated") && w.Int64(m->updated) && w.EndObject();
  }
  return ok && w.EndArray() && w.EndObject() && w.IsComplete();
}

// A bound session is written with its client's live subscriptions; the
// session's own list is empty while the client has it on loan.
const subscription* session_subs(const mqtt_session* s) noexcept {
  return s->owner != nullptr ? s->owner->subs : s->subs;
}

bool build_sessions(rapidjson::StringBuffer* sb) REQUIRES(s_mutex) {
  size_t bound = 256;
  for (const mqtt_session* s = s_sessions; s != nullptr; s = s->next) {
    bound += 2 * FIELD_ALLOWANCE + text_bound(s->client_id);
    for (const subscription* sub = session_subs(s); sub != nullptr; sub = sub->next) {
      bound += FIELD_ALLOWANCE + text_bound(sub->filter);
    }
    for (const queued_message* q = s->queue_head; q != nullptr; q = q->next) {
      bound += 2 * FIELD_ALLOWANCE + text_bound(q->topic) + payload_bound(q->payload.size());
    }
  }
  if (!reserve_text(sb, bound)) return false;
  json_writer w(*sb);
  std::string scratch;
  bool ok = w.StartObject() && w.Key("format") && w.Int(1) && w.Key("saved_ms") &&
            w.Int64(fs_now_ms()) && w.Key("next_pid") && w.Int(s_out_pkt_id) && w.Key("sessions") &&
            w.StartArray();
  for (const mqtt_session* s = s_sessions; ok && s != nullptr; s = s->next) {
    ok = w.StartObject() && add_text(w, "client_id", s->client_id, &scratch) && w.Key("subs") &&
         w.StartArray();
    for (const subscription* sub = session_subs(s); ok && sub != nullptr; sub = sub->next) {
      ok = w.StartObject() && add_text(w, "filter", sub->filter, &scratch) && w.Key("qos") &&
           w.Int(sub->qos) && w.EndObject();
    }
    ok = ok && w.EndArray() && w.Key("queue") && w.StartArray();
    for (const queued_message* q = s->queue_head; ok && q != nullptr; q = q->next) {
      ok = w.StartObject() && add_text(w, "topic", q->topic, &scratch) && w.Key("payload_b64") &&
           write_b64(w, q->payload.data(), q->payload.size(), &scratch) && w.Key("retain") &&
           w.Bool(q->retain != 0) && w.Key("pid") && w.Int(q->pid) && w.EndObject();
    }
    ok = ok && w.EndArray() && w.EndObject();
  }
  return ok && w.EndArray() && w.EndObject() && w.IsComplete();
}

// Runs a builder; false (an incomplete text that must not be written) when
// it fails or memory runs out on the way.
template <class Build>
bool build_text(Build build, rapidjson::StringBuffer* sb) noexcept {
  try {
    return build(sb);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

int fs_write_atomic(const char* name, const char* bytes, size_t length) noexcept {
  char path[1100];
  fs_join(path, sizeof path, name);
  char tmp[1108];
  (void)std::snprintf(tmp, sizeof tmp, "%s.tmp", path);

  std::FILE* f = os::open_file(tmp, "wb");
  if (f == nullptr) return -1;
  bool ok = os::write_all(f, bytes, length) && os::sync_file(f);
  ok = os::close_file(f) && ok;
  if (ok && os::rename_over(tmp, path)) return 0;
  os::remove_file(tmp);
  return -1;
}

void fs_snapshot(bool force) noexcept {
  if (s_fs_cfg_persist.load(std::memory_order_relaxed) == 0 ||
      s_fs_usable.load(std::memory_order_relaxed) == 0) {
    return;
  }
  rapidjson::StringBuffer ret_text;
  rapidjson::StringBuffer sess_text;
  bool want_ret = false;
  bool want_sess = false;
  bool ret_built = false;
  bool sess_built = false;
  {
    lock_guard lock(s_mutex);
    want_ret = force || s_fs_dirty_ret.load(std::memory_order_relaxed) != 0;
    want_sess = force || s_fs_dirty_sess.load(std::memory_order_relaxed) != 0;
    if (!want_ret && !want_sess) return;
    // A flag is cleared only together with a complete text of its file, in
    // the same hold of s_mutex as every change that sets it.
    if (want_ret) {
      ret_built = build_text(build_retained, &ret_text);
      if (ret_built) s_fs_dirty_ret.store(0, std::memory_order_relaxed);
    }
    if (want_sess) {
      sess_built = build_text(build_sessions, &sess_text);
      if (sess_built) s_fs_dirty_sess.store(0, std::memory_order_relaxed);
    }
  }

  bool failed = false;
  if (want_ret && (!ret_built ||
                   fs_write_atomic(RETAINED_FILE, ret_text.GetString(), ret_text.GetSize()) != 0)) {
    mark_retained_dirty();
    failed = true;
  }
  if (want_sess && (!sess_built || fs_write_atomic(SESSIONS_FILE, sess_text.GetString(),
                                                   sess_text.GetSize()) != 0)) {
    mark_sessions_dirty();
    failed = true;
  }

  if (failed) {
    {
      lock_guard lock(s_fs_qmutex);
      s_fs_write_errors += 1;
    }
    fs_set_warning("storage: state snapshot write failed (%s); will retry", s_fs_dir);
    return;
  }
  lock_guard lock(s_fs_qmutex);
  s_fs_snapshots += 1;
  s_fs_last_snapshot_ms = fs_now_ms();
}

}  // namespace bvm
