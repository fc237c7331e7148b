// Shared by the snapshot writer and loader tests: a fresh storage directory
// per test with persistence on, empty broker state, and small file helpers.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "base/alloc.h"
#include "base/text.h"
#include "broker/last_error.h"
#include "mqtt/codec.h"
#include "mqtt/retained.h"
#include "mqtt/subscription.h"
#include "session/session.h"
#include "storage/fs_state.h"

namespace bvm::snaptest {

// A file of tests/data/snapshots, found from this header's own path.
inline std::string data_path(const char* name) {
  std::filesystem::path here(__FILE__);
  return (here.parent_path().parent_path().parent_path() / "data" / "snapshots" / name).string();
}

inline bool read_file(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  std::streamoff size = in.tellg();
  if (size < 0) return false;
  out->assign(static_cast<size_t>(size), '\0');
  in.seekg(0);
  return static_cast<bool>(in.read(out->data(), size));
}

inline std::string read_file(const std::string& path) {
  std::string text;
  EXPECT_TRUE(read_file(path, &text)) << path;
  return text;
}

inline void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

// A subscription record for building lists by hand.
inline subscription* make_sub(const char* filter, int qos, subscription* next = nullptr) {
  subscription* s = try_new<subscription>();
  if (s == nullptr) std::abort();
  copy_text(s->filter, filter);
  s->qos = qos;
  s->next = next;
  return s;
}

inline bool exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found;
}

// Replaces the saved_ms value of a written document by 0 after checking it
// lies within [lo, hi], so the rest compares byte for byte with a golden file.
inline std::string normalise_saved_ms(const std::string& text, int64_t lo, int64_t hi) {
  const std::string key = "\"saved_ms\":";
  size_t at = text.find(key);
  if (at == std::string::npos) {
    ADD_FAILURE() << "no saved_ms in " << text.substr(0, 200);
    return text;
  }
  size_t start = at + key.size();
  size_t end = text.find_first_not_of("-0123456789", start);
  int64_t v = std::stoll(text.substr(start, end - start));
  EXPECT_GE(v, lo);
  EXPECT_LE(v, hi);
  return text.substr(0, start) + "0" + text.substr(end);
}

class snapshot_test : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string base = (std::filesystem::temp_directory_path() / "bvm-snapshot-XXXXXX").string();
    ASSERT_NE(::mkdtemp(base.data()), nullptr);
    dir_ = base;
    copy_text(s_fs_dir, dir_.c_str());
    s_fs_usable.store(1);
    s_fs_cfg_persist.store(1);
    clear_state();
    {
      lock_guard lock(s_mutex);
      s_out_pkt_id = 1;
    }
    {
      lock_guard lock(s_fs_qmutex);
      s_fs_warning[0] = '\0';
      s_fs_loaded_retained = 0;
      s_fs_loaded_sessions = 0;
    }
    clear_last_error();
  }

  void TearDown() override {
    clear_state();
    s_fs_usable.store(0);
    s_fs_dir[0] = '\0';
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  static void clear_state() {
    lock_guard lock(s_mutex);
    retained_clear_all();
    session_clear_all();
    s_fs_dirty_ret.store(0);
    s_fs_dirty_sess.store(0);
  }

  std::string path(const char* name) const { return dir_ + "/" + name; }

  static std::string warning() {
    lock_guard lock(s_fs_qmutex);
    return s_fs_warning;
  }
  static int64_t write_errors() {
    lock_guard lock(s_fs_qmutex);
    return s_fs_write_errors;
  }
  static int64_t snapshots() {
    lock_guard lock(s_fs_qmutex);
    return s_fs_snapshots;
  }
  static int64_t last_snapshot_ms() {
    lock_guard lock(s_fs_qmutex);
    return s_fs_last_snapshot_ms;
  }
  static int32_t loaded_retained() {
    lock_guard lock(s_fs_qmutex);
    return s_fs_loaded_retained;
  }
  static int32_t loaded_sessions() {
    lock_guard lock(s_fs_qmutex);
    return s_fs_loaded_sessions;
  }

  // One pass as the writer thread or a flush runs it.
  static void pass(bool force) {
    lock_guard io(s_fs_iomutex);
    fs_snapshot(force);
  }

  static void load_both() {
    lock_guard lock(s_mutex);
    fs_load_retained();
    fs_load_sessions();
  }

  std::string dir_;
};

}  // namespace bvm::snaptest
