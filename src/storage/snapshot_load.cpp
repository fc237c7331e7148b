// Loading the state snapshots at broker start, and the file helpers the
// loaders use: whole-file read and quarantine.
//
// A file that cannot be read or is not the expected JSON shape is moved
// aside as "<name>.corrupt" and contributes nothing; that includes a file
// that exists but cannot be opened, which would otherwise be replaced, and
// its content lost, by the next snapshot pass. Single bad entries are
// skipped and counted; entries whose topic or client identifier is already
// in memory are skipped silently (the first one wins).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/text.h"
#include "codec/base64.h"
#include "mqtt/codec.h"
#include "mqtt/retained.h"
#include "mqtt/subscription.h"
#include "os/clock.h"
#include "os/file.h"
#include "session/session.h"
#include "storage/fs_state.h"
#include "storage/json.h"
#include "storage/snapshot.h"

namespace bvm {
namespace {

using json_value = rapidjson::Value;

constexpr size_t MAX_LOADED_PAYLOAD = 1048576;

// A JSON number that is an integer: RapidJSON keeps integers that fit 64
// bits as such and reads everything else (1.0, 1e300, 18446744073709551616)
// as a double.
bool is_integer(const json_value* v) noexcept {
  return v != nullptr && (v->IsInt64() || v->IsUint64());
}

// The value of an integer that fits int64, else false.
bool get_int64(const json_value* v, int64_t* out) noexcept {
  if (v == nullptr || !v->IsInt64()) return false;
  *out = v->GetInt64();
  return true;
}

// `qos`: 0 and 1 as they are, any other integer 1, anything else 0.
int32_t load_qos(const json_value& obj) noexcept {
  const json_value* v = find_first_member(obj, "qos");
  if (!is_integer(v)) return 0;
  int64_t q = 0;
  if (get_int64(v, &q) && (q == 0 || q == 1)) return static_cast<int32_t>(q);
  return 1;
}

// Decodes a Base64 string value. A zero byte inside the string is outside
// the alphabet like any other foreign character, so the string fails rather
// than being read only up to it.
bool decode_b64(const json_value& v, std::vector<uint8_t>* out) noexcept {
  if (!v.IsString() || std::strlen(v.GetString()) != v.GetStringLength()) return false;
  return fs_b64_decode(v.GetString(), out);
}

// A text-or-Base64 field: the string under `name`, else the Base64 under
// "<name>_b64" decoded. The bytes point into the document or into *owned.
struct text_field {
  const char* bytes = nullptr;
  size_t len = 0;
  std::vector<uint8_t> owned;
};

bool fs_get_text(const json_value& obj, const char* name, text_field* out) noexcept {
  const json_value* v = find_first_member(obj, name);
  if (v != nullptr && v->IsString()) {
    out->bytes = v->GetString();
    out->len = v->GetStringLength();
    return true;
  }
  char key[32];
  (void)std::snprintf(key, sizeof key, "%s_b64", name);
  v = find_first_member(obj, key);
  if (v == nullptr || !decode_b64(*v, &out->owned)) return false;
  out->bytes = reinterpret_cast<const char*>(out->owned.data());
  out->len = out->owned.size();
  return true;
}

// A text field of 1 to max_len bytes, copied into dst up to its first zero
// byte as every fixed text field is filled.
template <size_t N>
bool get_bounded_text(const json_value& obj, const char* name, size_t max_len,
                      char (&dst)[N]) noexcept {
  text_field t;
  if (!fs_get_text(obj, name, &t) || t.len < 1 || t.len > max_len) return false;
  copy_text(dst, t.bytes, t.len);
  return true;
}

// The decoded `payload_b64` member.
bool get_payload(const json_value& obj, std::vector<uint8_t>* out) noexcept {
  const json_value* v = find_first_member(obj, "payload_b64");
  return v != nullptr && decode_b64(*v, out) && out->size() <= MAX_LOADED_PAYLOAD;
}

// Reads and parses a snapshot file into *doc and finds the array member
// `key` of its root object. 0: *array is set. 1: the file is absent. -1: the
// file is corrupt and has been quarantined with the warning `corrupt_warning`.
int open_snapshot(const char* name, const char* key, const char* corrupt_warning,
                  rapidjson::Document* doc, const json_value** array) noexcept {
  std::string text;
  fs_read_result r = fs_read_whole(name, &text);
  if (r == fs_read_result::absent) return 1;
  if (r == fs_read_result::ok && parse_json(doc, text.data(), text.size()) && doc->IsObject()) {
    const json_value* v = find_first_member(*doc, key);
    if (v != nullptr && v->IsArray()) {
      *array = v;
      return 0;
    }
  }
  fs_set_warning(corrupt_warning, s_fs_dir);
  fs_quarantine(name);
  return -1;
}

void warn_malformed(const char* format, long long count) noexcept {
  char number[24];
  (void)std::snprintf(number, sizeof number, "%lld", count);
  fs_set_warning(format, number);
}

}  // namespace

fs_read_result fs_read_whole(const char* name, std::string* out) noexcept {
  char path[1100];
  fs_join(path, sizeof path, name);
  switch (os::read_whole_file(path, SNAPSHOT_MAX_BYTES, out)) {
    case os::read_status::ok:
      return fs_read_result::ok;
    case os::read_status::absent:
      return fs_read_result::absent;
    case os::read_status::unreadable:
      break;
  }
  return fs_read_result::unreadable;
}

void fs_quarantine(const char* name) noexcept {
  char path[1100];
  fs_join(path, sizeof path, name);
  char corrupt[1112];
  (void)std::snprintf(corrupt, sizeof corrupt, "%s.corrupt", path);
  os::remove_file(corrupt);
  if (!os::rename_over(path, corrupt)) os::remove_file(path);
}

void fs_load_retained() noexcept {
  rapidjson::Document doc;
  const json_value* entries = nullptr;
  if (open_snapshot(
          RETAINED_FILE, "retained",
          "storage: retained.json unreadable/corrupt, moved to retained.json.corrupt (%s)", &doc,
          &entries) != 0)
    return;

  long long malformed = 0;
  int32_t loaded = 0;
  for (const json_value& e : entries->GetArray()) {
    char topic[256];
    std::vector<uint8_t> payload;
    if (!e.IsObject() || !get_bounded_text(e, "topic", 255, topic) || !get_payload(e, &payload) ||
        payload.empty()) {
      ++malformed;
      continue;
    }
    if (retained_find(topic) != nullptr) continue;  // the first one wins

    retained_message* m = try_new<retained_message>();
    if (m == nullptr) continue;
    if (!m->payload.assign_with_nul(payload.data(), payload.size())) {
      destroy(m);
      continue;
    }
    copy_text(m->topic, topic);
    m->qos = load_qos(e);
    int64_t updated = 0;
    m->updated = get_int64(find_first_member(e, "updated"), &updated) && updated >= 1
                     ? updated
                     : os::wall_seconds();
    m->next = s_retained;
    s_retained = m;
    ++loaded;
  }
  {
    lock_guard lock(s_fs_qmutex);
    s_fs_loaded_retained += loaded;
  }
  if (malformed > 0) warn_malformed("storage: %s malformed retained entries skipped", malformed);
}

void fs_load_sessions() noexcept {
  rapidjson::Document doc;
  const json_value* entries = nullptr;
  if (open_snapshot(
          SESSIONS_FILE, "sessions",
          "storage: sessions.json unreadable/corrupt, moved to sessions.json.corrupt (%s)", &doc,
          &entries) != 0)
    return;

  int64_t next_pid = 0;
  if (!get_int64(find_first_member(doc, "next_pid"), &next_pid)) next_pid = 0;

  long long malformed = 0;
  int32_t loaded = 0;
  int64_t max_pid = 0;
  for (const json_value& e : entries->GetArray()) {
    char client_id[128];
    if (!e.IsObject() || !get_bounded_text(e, "client_id", 127, client_id)) {
      ++malformed;
      continue;
    }
    if (session_find(client_id) != nullptr) continue;  // the first one wins
    mqtt_session* s = session_create(client_id);
    if (s == nullptr) {
      ++malformed;
      continue;
    }
    ++loaded;

    // Subscriptions keep the file order: each goes to the end of the list.
    const json_value* subs = find_first_member(e, "subs");
    if (subs != nullptr && subs->IsArray()) {
      subscription** tail = &s->subs;
      for (const json_value& f : subs->GetArray()) {
        char filter[256];
        if (!f.IsObject() || !get_bounded_text(f, "filter", 255, filter)) {
          ++malformed;
          continue;
        }
        // A list holds each filter once (unsubscribe removes one entry);
        // a repeated filter is a duplicate like a repeated topic.
        if (subscription_find(s->subs, filter) != nullptr) continue;
        subscription* sub = try_new<subscription>();
        if (sub == nullptr) continue;
        copy_text(sub->filter, filter);
        sub->qos = load_qos(f);
        *tail = sub;
        tail = &sub->next;
        routing_changed();
      }
    }

    const json_value* queue = find_first_member(e, "queue");
    if (queue != nullptr && queue->IsArray()) {
      for (const json_value& q : queue->GetArray()) {
        char topic[256];
        std::vector<uint8_t> payload;
        if (!q.IsObject() || !get_bounded_text(q, "topic", 255, topic) ||
            !get_payload(q, &payload)) {
          ++malformed;
          continue;
        }
        int64_t pid = 0;
        if (!get_int64(find_first_member(q, "pid"), &pid) || pid < 0 || pid > 65535) pid = 0;
        const json_value* retain = find_first_member(q, "retain");
        int retain_flag = retain != nullptr && retain->IsTrue() ? 1 : 0;
        session_enqueue(s, topic, payload.data(), payload.size(), retain_flag,
                        static_cast<uint16_t>(pid));
        if (pid > max_pid) max_pid = pid;
      }
    }
    s->last_seen = os::wall_seconds();
  }

  // Identifiers in use by the loaded queues, and the saved counter, are not
  // handed out again right away.
  int64_t m = max_pid;
  if (next_pid >= 1 && next_pid <= 65535 && next_pid > m) m = next_pid;
  if (s_out_pkt_id <= m && m <= 65534) s_out_pkt_id = static_cast<uint16_t>(m + 1);

  {
    lock_guard lock(s_fs_qmutex);
    s_fs_loaded_sessions += loaded;
  }
  if (malformed > 0) warn_malformed("storage: %s malformed session entries skipped", malformed);
}

}  // namespace bvm
