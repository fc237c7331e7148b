// Storage settings, start-up checks and the status report, through the C API.
#include <stdlib.h>
#include <time.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "brelvane_mqtt.h"
#include "integration/support/test_client.h"
#include "os/thread.h"

using namespace bvt;
namespace fs = std::filesystem;

namespace {

// Seconds to add to the wall clock so that the storage clock shows this
// local time.
int64_t offset_to_local(int year, int month, int day, int hour, int minute) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(::mktime(&tm)) - static_cast<int64_t>(::time(nullptr));
}

std::string status_json(const std::string& dir, bool active, bool persistence, bool log,
                        const std::string& log_file, const std::string& counters,
                        const std::string& warning) {
  return "{\"dir\":\"" + dir + "\",\"active\":" + (active ? "true" : "false") +
         ",\"persistence\":" + (persistence ? "true" : "false") +
         ",\"log\":" + (log ? "true" : "false") + ",\"log_file\":\"" + log_file + "\"," + counters +
         ",\"retention_days\":30,\"max_total_mb\":1024,\"max_file_mb\":64,\"warning\":\"" +
         warning + "\"}";
}

const char* const ZERO_COUNTERS =
    "\"log_written\":0,\"log_dropped\":0,\"log_queue\":0,\"snapshots\":0,"
    "\"last_snapshot_ms\":0,\"write_errors\":0,\"loaded_retained\":0,\"loaded_sessions\":0,"
    "\"log_files\":0,\"log_bytes\":0,\"log_deleted\":0";

// A fresh directory per test; the broker is started by the test itself.
class StorageConfig : public broker_test {
 protected:
  StorageConfig() { auto_start_ = false; }
  void SetUp() override {
    char tmpl[] = "/tmp/bvstorage-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    broker_test::SetUp();
  }
  void TearDown() override {
    broker_test::TearDown();
    mqtt_set_storage_dir(nullptr);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  fs::path root_;
};

TEST(StorageStatus, BeforeAnyStartShowsTheDefaults) {
  EXPECT_EQ(std::string(mqtt_get_storage_status_json()),
            status_json("", false, true, false, "", ZERO_COUNTERS, ""));
  EXPECT_EQ(mqtt_storage_flush(), -1);
  EXPECT_STREQ(mqtt_last_error(), "mqtt_storage_flush: storage is not active");
}

TEST_F(StorageConfig, SettersRefuseARunningBrokerAndKeepTheirSetting) {
  const std::string first = (root_ / "first").string();
  ASSERT_EQ(mqtt_set_storage_dir(first.c_str()), 0);
  ASSERT_EQ(start(), 0);
  struct {
    int (*call)();
    const char* message;
  } cases[] = {
      {[] { return mqtt_set_storage_dir("/elsewhere"); },
       "mqtt_set_storage_dir: stop the broker first"},
      {[] { return mqtt_set_persistence_enabled(0); },
       "mqtt_set_persistence_enabled: stop the broker first"},
      {[] { return mqtt_reset_state(); }, "mqtt_reset_state: stop the broker first"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.call(), -1) << c.message;
    EXPECT_STREQ(mqtt_last_error(), c.message);
  }
  // The run-time settings are allowed.
  EXPECT_EQ(mqtt_set_log_enabled(1), 0);
  EXPECT_EQ(mqtt_set_log_limits(-1, -1, 0), 0);
  std::string status = mqtt_get_storage_status_json();
  EXPECT_EQ(status.find("{\"dir\":\"" + first +
                        "\",\"active\":true,\"persistence\":true,"
                        "\"log\":true,"),
            0u)
      << status;
  EXPECT_NE(status.find("\"retention_days\":30,\"max_total_mb\":1024,\"max_file_mb\":0,"),
            std::string::npos)
      << status;
  mqtt_set_log_limits(-1, -1, 64);
}

TEST_F(StorageConfig, DirectoryOf959BytesIsAcceptedAnd960Refused) {
  std::string longest = "/" + std::string(958, 'd');
  ASSERT_EQ(longest.size(), 959u);
  EXPECT_EQ(mqtt_set_storage_dir(longest.c_str()), 0);
  std::string too_long = longest + "e";
  EXPECT_EQ(mqtt_set_storage_dir(too_long.c_str()), -1);
  EXPECT_STREQ(mqtt_last_error(), "mqtt_set_storage_dir: path too long");
  std::string status = mqtt_get_storage_status_json();
  EXPECT_EQ(status.find("{\"dir\":\"" + longest + "\","), 0u) << status.substr(0, 40);
}

// Escaping can make the report several times longer than its texts; it must
// still come back whole.
TEST_F(StorageConfig, StatusOfALongDirectoryNeedingEscapesIsWholeJson) {
  std::string dir;
  while (dir.size() + 101 <= 959) dir += "/" + std::string(100, '\x01');
  ASSERT_EQ(mqtt_set_storage_dir(dir.c_str()), 0);
  std::string status = mqtt_get_storage_status_json();
  std::string escaped;
  for (char ch : dir) escaped += ch == '/' ? std::string("/") : std::string("\\u0001");
  EXPECT_EQ(status.find("{\"dir\":\"" + escaped + "\","), 0u) << status.substr(0, 40);
  EXPECT_GT(status.size(), 4096u);
  EXPECT_EQ(status.back(), '}');
}

TEST_F(StorageConfig, NestedDirectoryWithTrailingSeparatorsIsCreatedAndJoinedAsConfigured) {
  std::string dir = (root_ / "a" / "b" / "c").string() + "//";
  ASSERT_EQ(mqtt_set_storage_dir(dir.c_str()), 0);
  ASSERT_EQ(mqtt_set_persistence_enabled(0), 0);
  mqtt_set_log_enabled(1);
  mqtt_debug_set_clock_offset(offset_to_local(2024, 5, 1, 12, 0));
  ASSERT_EQ(start(), 0);
  EXPECT_STREQ(mqtt_last_error(), "");
  EXPECT_TRUE(fs::is_directory(root_ / "a" / "b" / "c"));
  EXPECT_FALSE(fs::exists(root_ / "a" / "b" / "c" / ".bvmqtt-write-test"));

  ASSERT_EQ(mqtt_publish("t", "p", 0, 0), 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);
  fs::path file = root_ / "a" / "b" / "c" / "2024-05-01.jsonl";
  auto size = static_cast<long long>(fs::file_size(file));
  std::string counters =
      "\"log_written\":1,\"log_dropped\":0,\"log_queue\":0,\"snapshots\":0,"
      "\"last_snapshot_ms\":0,\"write_errors\":0,\"loaded_retained\":0,\"loaded_sessions\":0,"
      "\"log_files\":1,\"log_bytes\":" +
      std::to_string(size) + ",\"log_deleted\":0";
  // No separator is added to a directory text that already ends in one.
  EXPECT_EQ(std::string(mqtt_get_storage_status_json()),
            status_json(dir, true, false, true, dir + "2024-05-01.jsonl", counters, ""));

  EXPECT_EQ(mqtt_broker_stop(), 0);
  std::string after = mqtt_get_storage_status_json();
  EXPECT_NE(after.find("\"active\":false,"), std::string::npos);
  EXPECT_NE(after.find("\"log_file\":\"\","), std::string::npos) << after;
  mqtt_set_persistence_enabled(1);
  mqtt_set_log_enabled(0);
  mqtt_debug_set_clock_offset(0);
}

TEST_F(StorageConfig, StartupProblemsSwitchStorageOffWithAWarning) {
  write_file(root_ / "plain-file", "x");
  fs::create_directories(root_ / "blocked" / ".bvmqtt-write-test");
  struct {
    std::string dir;
    std::string expected;
  } cases[] = {
      {(root_ / "plain-file").string(), "storage disabled: cannot create directory '%'"},
      {(root_ / "plain-file" / "sub").string(), "storage disabled: cannot create directory '%'"},
      {(root_ / "blocked").string(), "storage disabled: directory '%' is not writable"},
  };
  for (auto& c : cases) {
    ASSERT_EQ(mqtt_set_storage_dir(c.dir.c_str()), 0);
    ASSERT_EQ(start(), 0) << c.dir;
    const std::string expected = c.expected.replace(c.expected.find('%'), 1, c.dir);
    EXPECT_EQ(std::string(mqtt_last_error()), expected);
    EXPECT_EQ(std::string(mqtt_get_storage_status_json()),
              status_json(c.dir, false, true, false, "", ZERO_COUNTERS, expected));
    EXPECT_EQ(mqtt_storage_flush(), -1);
    EXPECT_STREQ(mqtt_last_error(), "mqtt_storage_flush: storage is not active");
    ASSERT_EQ(mqtt_broker_stop(), 0);
    // The warning stays after the stop, until the next start.
    EXPECT_NE(std::string(mqtt_get_storage_status_json()).find(expected), std::string::npos);
  }
}

TEST_F(StorageConfig, NothingIsCheckedWithoutADirectoryOrWithBothFeaturesOff) {
  fs::path dir = root_ / "never-made";
  ASSERT_EQ(mqtt_set_storage_dir(dir.c_str()), 0);
  ASSERT_EQ(mqtt_set_persistence_enabled(0), 0);
  ASSERT_EQ(mqtt_set_log_enabled(0), 0);
  ASSERT_EQ(start(), 0);
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_STREQ(mqtt_last_error(), "");
  EXPECT_EQ(mqtt_storage_flush(), -1);
  ASSERT_EQ(mqtt_broker_stop(), 0);

  ASSERT_EQ(mqtt_set_persistence_enabled(1), 0);
  ASSERT_EQ(mqtt_set_storage_dir(""), 0);
  ASSERT_EQ(start(), 0);
  EXPECT_EQ(mqtt_storage_flush(), -1);
  EXPECT_EQ(std::string(mqtt_get_storage_status_json()),
            status_json("", false, true, false, "", ZERO_COUNTERS, ""));
}

TEST_F(StorageConfig, StaleSnapshotTempFilesAreDeletedAtStart) {
  write_file(root_ / "retained.json.tmp", "{");
  write_file(root_ / "sessions.json.tmp", "{");
  write_file(root_ / "other.tmp", "kept");
  ASSERT_EQ(mqtt_set_storage_dir(root_.c_str()), 0);
  ASSERT_EQ(start(), 0);
  EXPECT_FALSE(fs::exists(root_ / "retained.json.tmp"));
  EXPECT_FALSE(fs::exists(root_ / "sessions.json.tmp"));
  EXPECT_EQ(read_file(root_ / "other.tmp"), "kept");
  // Persistence on, log off: active, and no log file.
  std::string status = mqtt_get_storage_status_json();
  EXPECT_NE(status.find("\"active\":true,\"persistence\":true,\"log\":false,\"log_file\":\"\","),
            std::string::npos)
      << status;
  EXPECT_EQ(mqtt_storage_flush(), 0);
}

TEST_F(StorageConfig, ResetStateEmptiesMemoryOnlyWhileStopped) {
  ASSERT_EQ(mqtt_publish("keep/me", "v", 0, 1), 0);
  ASSERT_NE(std::string(mqtt_get_topics_json()), "[]");
  ASSERT_NE(std::string(mqtt_poll_messages_json(0)), "[]");
  EXPECT_EQ(mqtt_reset_state(), 0);
  EXPECT_EQ(std::string(mqtt_get_topics_json()), "[]");
  EXPECT_EQ(std::string(mqtt_poll_messages_json(0)), "[]");
}

}  // namespace

// The writer thread cannot be created: the broker runs, storage is off for
// this run with its warning, and the next start tries the directory again.
TEST_F(StorageConfig, WriterThreadFailureDisablesStorageForThisRunOnly) {
  fs::path dir = root_ / "data";
  ASSERT_EQ(mqtt_set_storage_dir(dir.c_str()), 0);
  bvm::os::test_fail_nth_thread_start(2);  // the network thread starts, the writer does not
  ASSERT_EQ(start(), 0);
  const std::string expected =
      "storage disabled: cannot start writer thread (" + dir.string() + ")";
  EXPECT_EQ(std::string(mqtt_last_error()), expected);
  EXPECT_EQ(mqtt_storage_flush(), -1);
  EXPECT_NE(std::string(mqtt_get_storage_status_json()).find("\"active\":false"),
            std::string::npos);
  test_client c(port_);
  c.handshake({});
  ASSERT_EQ(mqtt_broker_stop(), 0);
  ASSERT_EQ(start(), 0);
  EXPECT_STREQ(mqtt_last_error(), "");
  EXPECT_EQ(mqtt_storage_flush(), 0);
}
