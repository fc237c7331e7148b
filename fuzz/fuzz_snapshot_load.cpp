// The snapshot loaders on damaged files: the input becomes retained.json
// and/or sessions.json in a scratch storage directory, fs_load_retained and
// fs_load_sessions run as at a start, and the loaded state is checked.
//
// Input: one set-up byte. Bit 0: retained.json, bit 1: sessions.json (with
// both, a 16-bit length of the retained.json part follows); bit 2: memory
// already holds the retained topic "a" and the session "s" (the loaders
// keep what is in memory).
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "base/text.h"
#include "broker_checks.h"
#include "fuzz_support.h"
#include "mqtt/retained.h"
#include "session/session.h"
#include "storage/fs_state.h"
#include "storage/snapshot.h"

namespace {

using namespace bvm;

// The storage directory for the whole run, removed at exit.
struct scratch_dir {
  std::string path;
  scratch_dir() {
    // Memory-backed when there is such a file system: the loaders' file work
    // then costs a fraction of what a disk costs.
    std::error_code ec;
    std::filesystem::path parent = std::filesystem::is_directory("/dev/shm", ec)
                                       ? std::filesystem::path("/dev/shm")
                                       : std::filesystem::temp_directory_path();
    std::string base = (parent / "bv-fuzz-XXXXXX").string();
    FUZZ_CHECK(::mkdtemp(base.data()) != nullptr);
    path = base;
  }
  ~scratch_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string file(const char* name) const { return path + "/" + name; }
};

scratch_dir* g_dir = nullptr;

void write_file(const char* name, const uint8_t* p, size_t n) {
  std::FILE* f = std::fopen(g_dir->file(name).c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(n == 0 || std::fwrite(p, 1, n, f) == n);
  FUZZ_CHECK(std::fclose(f) == 0);
}

void remove_files() {
  for (const char* name : {RETAINED_FILE, SESSIONS_FILE}) {
    std::error_code ec;
    std::filesystem::remove(g_dir->file(name), ec);
    std::filesystem::remove(g_dir->file(name) + ".corrupt", ec);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static scratch_dir dir;
  g_dir = &dir;
  copy_text(s_fs_dir, dir.path.c_str());
  s_fs_usable.store(1);
  s_fs_cfg_persist.store(1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fuzz::cursor in{data, size};
  uint8_t flags = in.byte();
  const bool retained = (flags & 1) != 0;
  const bool sessions = (flags & 2) != 0;
  size_t retained_len = 0;
  if (retained) retained_len = sessions ? in.u16() : in.left();
  if (retained_len > in.left()) retained_len = in.left();
  if (retained) write_file(RETAINED_FILE, in.data + in.pos, retained_len);
  if (sessions)
    write_file(SESSIONS_FILE, in.data + in.pos + retained_len, in.left() - retained_len);

  lock_guard lock(s_mutex);
  if ((flags & 4) != 0) {
    const uint8_t payload[] = {'x'};
    set_retained_message("a", payload, sizeof payload, 0);
    FUZZ_CHECK(session_create("s") != nullptr);
  }
  fs_load_retained();
  fs_load_sessions();
  fuzz::check_broker_state();
  for (const retained_message* m = s_retained; m != nullptr; m = m->next) {
    FUZZ_CHECK(m->topic[0] != '\0');
    FUZZ_CHECK(m->payload.size() <= 1048576);
    FUZZ_CHECK(m->qos == 0 || m->qos == 1);
  }
  for (const mqtt_session* s = s_sessions; s != nullptr; s = s->next) {
    FUZZ_CHECK(s->owner == nullptr);
    for (const subscription* sub = s->subs; sub != nullptr; sub = sub->next) {
      FUZZ_CHECK(sub->filter[0] != '\0');
    }
  }
  // A file is either loaded and left in place, or moved aside.
  for (const char* name : {RETAINED_FILE, SESSIONS_FILE}) {
    bool there = std::filesystem::exists(g_dir->file(name));
    bool moved = std::filesystem::exists(g_dir->file(name) + ".corrupt");
    FUZZ_CHECK(!(there && moved));
  }

  retained_clear_all();
  session_clear_all();
  s_out_pkt_id = 1;
  {
    lock_guard qlock(s_fs_qmutex);
    s_fs_loaded_retained = 0;
    s_fs_loaded_sessions = 0;
  }
  remove_files();
  return 0;
}
