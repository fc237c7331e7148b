// Snapshot writing: the exact documents, which files a pass writes, and
// what a failed write or build leaves behind.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/alloc.h"
#include "mqtt/subscription.h"
#include "net/client.h"
#include "os/file.h"
#include "unit/storage/snapshot_fixture.h"

namespace bvm {
namespace {

using snaptest::data_path;
using snaptest::exists;
using snaptest::make_sub;
using snaptest::normalise_saved_ms;
using snaptest::read_file;
using snaptest::write_file;

using SnapshotWrite = snaptest::snapshot_test;

void put_retained(const char* topic, std::string_view payload, int qos, int64_t updated)
    REQUIRES(s_mutex) {
  set_retained_message(topic, reinterpret_cast<const uint8_t*>(payload.data()), payload.size(),
                       qos);
  retained_find(topic)->updated = updated;
}

// The state that tests/data/snapshots/expected_*.json hold: plain, escaped
// and binary topics; a detached session with an empty queued payload; one
// whose client identifier is not UTF-8; one bound to a live client.
void build_golden_state(mqtt_client* live) REQUIRES(s_mutex) {
  put_retained("plain/topic", "hello", 0, 1700000000);
  put_retained("bin/\xff\xfe", std::string_view("\x00\x01\xfe\xff", 4), 1, 1700000001);
  put_retained("caf\xc3\xa9/\"q\"\\\t/x\x7f", "{\"json\":true}", 1, 1700000002);

  mqtt_session* a = session_create("detached-A");
  a->subs = make_sub("a/#", 1, make_sub("b/+", 0, nullptr));
  session_enqueue(a, "a/1", reinterpret_cast<const uint8_t*>("one"), 3, 0, 0);
  session_enqueue(a, "a/\xc0", nullptr, 0, 1, 7);

  session_create("id-\xff");

  mqtt_session* c = session_create("bound-C");
  // While bound the client has the list; an entry left in the session's own
  // list must not be what gets written.
  c->subs = make_sub("stale/own", 1, nullptr);
  live->subs = make_sub("live/x", 1, make_sub("\xfe/filter", 0, nullptr));
  c->owner = live;
  live->session = c;
  session_enqueue(c, "live/x", reinterpret_cast<const uint8_t*>("p"), 1, 0, 12);

  s_out_pkt_id = 4242;
}

TEST_F(SnapshotWrite, ForcedPassWritesTheExactDocuments) {
  mqtt_client live;
  {
    lock_guard lock(s_mutex);
    build_golden_state(&live);
  }
  const int64_t snapshots_before = snapshots();
  const int64_t before = fs_now_ms();
  pass(true);
  const int64_t after = fs_now_ms();

  EXPECT_EQ(normalise_saved_ms(read_file(path("retained.json")), before, after),
            read_file(data_path("expected_retained.json")));
  EXPECT_EQ(normalise_saved_ms(read_file(path("sessions.json")), before, after),
            read_file(data_path("expected_sessions.json")));
  EXPECT_FALSE(exists(path("retained.json.tmp")));
  EXPECT_FALSE(exists(path("sessions.json.tmp")));
  EXPECT_EQ(snapshots(), snapshots_before + 1);
  EXPECT_GE(last_snapshot_ms(), before);
  EXPECT_LE(last_snapshot_ms(), after);
  EXPECT_EQ(s_fs_dirty_ret.load(), 0);
  EXPECT_EQ(s_fs_dirty_sess.load(), 0);
  EXPECT_EQ(warning(), "");
  clear_state();  // unbinds the session before `live` goes
}

TEST_F(SnapshotWrite, EmptyStateWritesEmptyArraysAndTheNextIdentifier) {
  const int64_t before = fs_now_ms();
  pass(true);
  const int64_t after = fs_now_ms();
  EXPECT_EQ(normalise_saved_ms(read_file(path("retained.json")), before, after),
            read_file(data_path("expected_empty_retained.json")));
  EXPECT_EQ(normalise_saved_ms(read_file(path("sessions.json")), before, after),
            read_file(data_path("expected_empty_sessions.json")));
}

TEST_F(SnapshotWrite, UnforcedPassWritesOnlyDirtyFiles) {
  const int64_t snapshots_before = snapshots();
  pass(false);
  EXPECT_FALSE(exists(path("retained.json")));
  EXPECT_FALSE(exists(path("sessions.json")));
  EXPECT_EQ(snapshots(), snapshots_before) << "a pass with nothing dirty is no pass";

  {
    lock_guard lock(s_mutex);
    put_retained("r", "1", 0, 5);
  }
  pass(false);
  EXPECT_TRUE(exists(path("retained.json")));
  EXPECT_FALSE(exists(path("sessions.json")));
  EXPECT_EQ(s_fs_dirty_ret.load(), 0);
  EXPECT_EQ(snapshots(), snapshots_before + 1);

  std::filesystem::remove(path("retained.json"));
  {
    lock_guard lock(s_mutex);
    session_create("s");
  }
  pass(false);
  EXPECT_FALSE(exists(path("retained.json")));
  EXPECT_TRUE(exists(path("sessions.json")));
  EXPECT_EQ(s_fs_dirty_sess.load(), 0);
  EXPECT_EQ(snapshots(), snapshots_before + 2);
}

TEST_F(SnapshotWrite, NothingHappensWithPersistenceOffOrStorageUnusable) {
  for (int which = 0; which < 2; ++which) {
    SCOPED_TRACE(which == 0 ? "persistence off" : "storage unusable");
    (which == 0 ? s_fs_cfg_persist : s_fs_usable).store(0);
    s_fs_dirty_ret.store(1);
    pass(true);
    EXPECT_FALSE(exists(path("retained.json")));
    EXPECT_FALSE(exists(path("sessions.json")));
    EXPECT_EQ(s_fs_dirty_ret.load(), 1) << "the change is still owed";
    s_fs_cfg_persist.store(1);
    s_fs_usable.store(1);
  }
}

// A retained store of one message, written once ("old"), then changed
// ("new") so that the next unforced pass writes retained.json only.
class SnapshotWriteFailure : public snaptest::snapshot_test {
 protected:
  void SetUp() override {
    snapshot_test::SetUp();
    {
      lock_guard lock(s_mutex);
      put_retained("t", "old", 0, 5);
    }
    pass(true);
    old_retained_ = read_file(path("retained.json"));
    ASSERT_NE(old_retained_.find("\"b2xk\""), std::string::npos);
    {
      lock_guard lock(s_mutex);
      put_retained("t", "new", 0, 6);
    }
    errors_before_ = write_errors();
    snapshots_before_ = snapshots();
    last_ms_before_ = last_snapshot_ms();
  }
  void TearDown() override {
    os::test_fail_file_writes(0);
    test_fail_nth_alloc(0);
    snapshot_test::TearDown();
  }

  std::string failure_warning() const {
    return "storage: state snapshot write failed (" + dir_ + "); will retry";
  }

  // After one failed pass: the old file intact, no temporary file, the
  // change still owed, one error counted, the warning also the last error.
  void expect_failed_pass() {
    EXPECT_EQ(read_file(path("retained.json")), old_retained_);
    EXPECT_FALSE(exists(path("retained.json.tmp")));
    EXPECT_EQ(s_fs_dirty_ret.load(), 1);
    EXPECT_EQ(write_errors(), errors_before_ + 1);
    EXPECT_EQ(snapshots(), snapshots_before_);
    EXPECT_EQ(last_snapshot_ms(), last_ms_before_);
    EXPECT_EQ(warning(), failure_warning());
    EXPECT_EQ(std::string(last_error_buffer()), failure_warning());
  }

  // The retry once the fault is gone writes the change.
  void expect_retry_succeeds() {
    pass(false);
    EXPECT_NE(read_file(path("retained.json")).find("\"bmV3\""), std::string::npos);
    EXPECT_EQ(s_fs_dirty_ret.load(), 0);
    EXPECT_EQ(snapshots(), snapshots_before_ + 1);
    EXPECT_EQ(write_errors(), errors_before_ + 1);
  }

  std::string old_retained_;
  int64_t errors_before_ = 0;
  int64_t snapshots_before_ = 0;
  int64_t last_ms_before_ = 0;
};

TEST_F(SnapshotWriteFailure, WriteFailsWhileWriting) {
  os::test_fail_file_writes(1);
  pass(false);
  expect_failed_pass();
  expect_retry_succeeds();
}

TEST_F(SnapshotWriteFailure, WriteFailsWhileCommitting) {
  os::test_fail_file_writes(2);
  pass(false);
  expect_failed_pass();
  expect_retry_succeeds();
}

TEST_F(SnapshotWriteFailure, WriteFailsWhileClosing) {
  os::test_fail_file_writes(3);
  pass(false);
  expect_failed_pass();
  expect_retry_succeeds();
}

TEST_F(SnapshotWriteFailure, DirectoryReplacedByAFile) {
  const std::string away = dir_ + ".away";
  std::filesystem::rename(dir_, away);
  write_file(dir_, "not a directory");
  pass(false);
  std::filesystem::remove(dir_);
  std::filesystem::rename(away, dir_);
  expect_failed_pass();
  expect_retry_succeeds();
}

TEST_F(SnapshotWriteFailure, TargetThatCannotBeReplaced) {
  // A non-empty directory under the target's name: the rename fails.
  std::filesystem::rename(path("retained.json"), path("saved"));
  std::filesystem::create_directory(path("retained.json"));
  write_file(path("retained.json/x"), "x");
  pass(false);
  std::filesystem::remove_all(path("retained.json"));
  std::filesystem::rename(path("saved"), path("retained.json"));
  expect_failed_pass();
  expect_retry_succeeds();
}

TEST_F(SnapshotWriteFailure, DocumentThatCannotBeBuiltIsNeverWritten) {
  // Memory runs out for the retained document: no partial text replaces the
  // complete file, and the change stays owed.
  test_fail_nth_alloc(1);
  pass(false);
  test_fail_nth_alloc(0);
  expect_failed_pass();
  expect_retry_succeeds();
}

TEST_F(SnapshotWriteFailure, OneErrorPerPassAndTheSecondFileStillTried) {
  {
    lock_guard lock(s_mutex);
    session_create("s");
  }
  os::test_fail_file_writes(1);  // only the first write: retained.json
  pass(false);
  expect_failed_pass();
  EXPECT_NE(read_file(path("sessions.json")).find("\"client_id\":\"s\""), std::string::npos);
  EXPECT_EQ(s_fs_dirty_sess.load(), 0);

  {
    lock_guard lock(s_mutex);
    session_create("s2");
  }
  os::test_fail_file_writes(1, 1000);  // both files fail
  pass(false);
  os::test_fail_file_writes(0);
  EXPECT_EQ(write_errors(), errors_before_ + 2) << "one error per failed pass";
  EXPECT_EQ(s_fs_dirty_ret.load(), 1);
  EXPECT_EQ(s_fs_dirty_sess.load(), 1);
  EXPECT_EQ(read_file(path("sessions.json")).find("\"s2\""), std::string::npos);
  EXPECT_FALSE(exists(path("sessions.json.tmp")));

  // A forced pass re-marks a file it failed to write even when it was clean.
  s_fs_dirty_ret.store(0);
  s_fs_dirty_sess.store(0);
  os::test_fail_file_writes(1, 1000);
  pass(true);
  os::test_fail_file_writes(0);
  EXPECT_EQ(s_fs_dirty_ret.load(), 1);
  EXPECT_EQ(s_fs_dirty_sess.load(), 1);
}

}  // namespace
}  // namespace bvm
