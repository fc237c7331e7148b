// The daily message log through the C API: line format, files by day and
// part, torn lines, the listing rules, retention, write failures and the
// stop order.
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "brelvane_mqtt.h"
#include "integration/support/test_client.h"
#include "os/file.h"

using namespace bvt;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t MIB = 1048576;

std::vector<std::string> lines_of(const fs::path& p) {
  std::vector<std::string> lines;
  std::string text = read_file(p);
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    EXPECT_NE(nl, std::string::npos) << p << ": last line without line feed";
    if (nl == std::string::npos) break;
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

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

// The number after "key": in the status report.
long long status_value(const char* key) {
  std::string s = mqtt_get_storage_status_json();
  std::string k = std::string("\"") + key + "\":";
  size_t at = s.find(k);
  if (at == std::string::npos) return -1;
  return std::atoll(s.c_str() + at + k.size());
}

std::string status_warning() {
  std::string s = mqtt_get_storage_status_json();
  size_t at = s.find("\"warning\":\"");
  return at == std::string::npos ? "?" : s.substr(at + 11, s.size() - at - 13);
}

// The expected line of a message whose ts_ms the line itself tells.
std::string expected_line(const std::string& actual, const std::string& rest) {
  long long ts = std::atoll(actual.c_str() + std::strlen("{\"ts_ms\":"));
  time_t secs = static_cast<time_t>(ts / 1000);
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  char time_text[96];
  (void)std::snprintf(time_text, sizeof time_text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d",
                      tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                      tm.tm_sec, static_cast<int>(ts % 1000));
  return "{\"ts_ms\":" + std::to_string(ts) + ",\"time\":\"" + time_text + "Z\"," + rest;
}

// Storage with logging on and snapshots off, in a fresh directory, with the
// storage clock at noon of 1 May 2024 local time.
class StorageLog : public broker_test {
 protected:
  StorageLog() { auto_start_ = false; }
  void SetUp() override {
    char tmpl[] = "/tmp/bvlog-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(mqtt_set_storage_dir(dir_.c_str()), 0);
    ASSERT_EQ(mqtt_set_persistence_enabled(0), 0);
    mqtt_set_log_enabled(1);
    at_local(2024, 5, 1, 12, 0);
    broker_test::SetUp();
  }
  void TearDown() override {
    broker_test::TearDown();
    bvm::os::test_fail_file_writes(0);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  static void at_local(int y, int mo, int d, int h, int mi) {
    mqtt_debug_set_clock_offset(offset_to_local(y, mo, d, h, mi));
  }
  fs::path file(const char* name) const { return dir_ / name; }
  fs::path dir_;
};

TEST_F(StorageLog, LinesOfHostAndClientPublishesAreExact) {
  ASSERT_EQ(start(), 0);
  test_client c(port_);
  connect_opts o;
  o.client_id = "dev\xff";  // not UTF-8: written as client_b64
  c.handshake(o);
  c.send(publish_packet("s/1", std::string("\x00\xff", 2), 1, 7, true));
  c.expect_hex("40 02 00 07");
  ASSERT_EQ(mqtt_publish("h/é", "two\nlines \"q\"", 1, 0), 0);
  ASSERT_EQ(mqtt_publish("h/empty", nullptr, 0, 0), 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);

  auto lines = lines_of(file("2024-05-01.jsonl"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], expected_line(lines[0],
                                    "\"topic\":\"s/1\",\"enc\":\"base64\",\"payload\":"
                                    "\"AP8=\",\"qos\":1,\"retain\":true,"
                                    "\"client_b64\":\"ZGV2/w==\"}"));
  EXPECT_EQ(lines[1], expected_line(lines[1],
                                    "\"topic\":\"h/é\",\"enc\":\"utf8\",\"payload\":"
                                    "\"two\\nlines \\\"q\\\"\",\"qos\":1,"
                                    "\"retain\":false,\"client\":\"broker\"}"));
  EXPECT_EQ(lines[2], expected_line(lines[2],
                                    "\"topic\":\"h/empty\",\"enc\":\"utf8\",\"payload\":"
                                    "\"\",\"qos\":0,\"retain\":false,"
                                    "\"client\":\"broker\"}"));
}

TEST_F(StorageLog, AwkwardRecordsAcrossDayChangesInOneDrainAreExact) {
  ASSERT_EQ(start(), 0);
  test_client c(port_);
  connect_opts o;
  o.client_id = "q\"\\\x01";
  c.handshake(o);
  std::string controls;
  for (int b = 1; b < 0x20; ++b) controls += static_cast<char>(b);
  controls += "\x7F\"\\/";
  std::string escaped_controls =
      R"(\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000B\f\r\u000E\u000F\u0010)"
      R"(\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001A\u001B\u001C\u001D)"
      R"(\u001E\u001F)"
      "\x7F\\\"\\\\/";
  // Larger than a pooled chunk of the queue, with escapes throughout.
  std::string big;
  for (int i = 0; i < 20000; ++i) big += "ab\"\\\n\xC3\xA9";
  std::string big_escaped;
  for (int i = 0; i < 20000; ++i) big_escaped += "ab\\\"\\\\\\n\xC3\xA9";
  const std::string client = R"("client":"q\"\\\u0001"})";
  struct {
    int day;  // 1 or 2 May, local time: 23:59 on the first, 00:00 on the second
    std::string topic;
    std::string payload;
    std::string rest;  // the expected line after "time"
  } cases[] = {
      {1, "t/\"q\"\\", controls,
       R"("topic":"t/\"q\"\\","enc":"utf8","payload":")" + escaped_controls +
           R"(","qos":1,"retain":false,)" + client},
      {2, "t/é", std::string("\x00\x01\xFF", 3),
       R"("topic":"t/é","enc":"base64","payload":"AAH/","qos":1,"retain":false,)" + client},
      {1, "t", "ab\xE2\x82",  // a character cut by the end of the payload
       R"("topic":"t","enc":"base64","payload":"YWLigg==","qos":1,"retain":false,)" + client},
      {2, "t", "\xF0\x9F\x98\x80",
       "\"topic\":\"t\",\"enc\":\"utf8\",\"payload\":\"\xF0\x9F\x98\x80\",\"qos\":1,"
       "\"retain\":false," +
           client},
      {2, "big", big,
       R"("topic":"big","enc":"utf8","payload":")" + big_escaped + R"(","qos":1,"retain":false,)" +
           client},
      {1, "t", "", R"("topic":"t","enc":"utf8","payload":"","qos":1,"retain":false,)" + client},
  };
  uint16_t id = 1;
  for (const auto& k : cases) {
    if (k.day == 1) {
      at_local(2024, 5, 1, 23, 59);
    } else {
      at_local(2024, 5, 2, 0, 0);
    }
    c.send(publish_packet(k.topic, k.payload, 1, id));
    char ack[16];
    (void)std::snprintf(ack, sizeof ack, "40 02 00 %02X", id);
    c.expect_hex(ack);
    ++id;
  }
  ASSERT_EQ(mqtt_storage_flush(), 0);
  std::vector<std::string> expected[3];
  for (const auto& k : cases) expected[k.day].push_back(k.rest);
  for (int day : {1, 2}) {
    auto lines = lines_of(file(day == 1 ? "2024-05-01.jsonl" : "2024-05-02.jsonl"));
    ASSERT_EQ(lines.size(), expected[day].size()) << "day " << day;
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i], expected_line(lines[i], expected[day][i])) << "day " << day << " #" << i;
    }
  }
  EXPECT_EQ(status_value("log_written"), 6);
  EXPECT_EQ(status_value("log_dropped"), 0);
}

TEST_F(StorageLog, PartsFollowTheSizeLimitAndABigRecordGetsAFreshPart) {
  mqtt_set_log_limits(-1, -1, 1);
  ASSERT_EQ(start(), 0);
  std::string chunk(100000, 'x');
  for (int i = 0; i < 12; ++i) ASSERT_EQ(mqtt_publish("big", chunk.c_str(), 0, 0), 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);
  auto part1 = lines_of(file("2024-05-01.jsonl"));
  auto part2 = lines_of(file("2024-05-01.2.jsonl"));
  ASSERT_EQ(part1.size() + part2.size(), 12u);
  uint64_t size1 = fs::file_size(file("2024-05-01.jsonl"));
  EXPECT_LE(size1, MIB);
  EXPECT_GT(size1 + part2[0].size() + 1, MIB) << "part 2 began while its first line still fitted";

  // One record above the limit: alone in a fresh part, and the next record
  // starts a further one.
  std::string huge(MIB + 1000, 'y');
  ASSERT_EQ(mqtt_publish("huge", huge.c_str(), 0, 0), 0);
  ASSERT_EQ(mqtt_publish("after", "z", 0, 0), 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);
  EXPECT_EQ(lines_of(file("2024-05-01.2.jsonl")).size(), part2.size());
  auto part3 = lines_of(file("2024-05-01.3.jsonl"));
  ASSERT_EQ(part3.size(), 1u);
  EXPECT_NE(part3[0].find("\"topic\":\"huge\""), std::string::npos);
  auto part4 = lines_of(file("2024-05-01.4.jsonl"));
  ASSERT_EQ(part4.size(), 1u);
  EXPECT_NE(part4[0].find("\"topic\":\"after\""), std::string::npos);
}

TEST_F(StorageLog, TornLastLineKeepsALineOfItsOwn) {
  write_file(file("2024-05-01.jsonl"), "{\"ts_ms\":1,\"cut");
  ASSERT_EQ(start(), 0);
  ASSERT_EQ(mqtt_publish("t", "p", 0, 0), 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);
  auto lines = lines_of(file("2024-05-01.jsonl"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "{\"ts_ms\":1,\"cut");
  EXPECT_EQ(lines[1].rfind("{\"ts_ms\":", 0), 0u);
  // An intact file gets no extra line feed.
  ASSERT_EQ(mqtt_broker_stop(), 0);
  ASSERT_EQ(start(), 0);
  ASSERT_EQ(mqtt_publish("t", "q", 0, 0), 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);
  EXPECT_EQ(lines_of(file("2024-05-01.jsonl")).size(), 3u);
}

TEST_F(StorageLog, RestartContinuesTheHighestPartOrTheNextAtTheLimit) {
  mqtt_set_log_limits(-1, -1, 1);
  write_file(file("2024-05-01.jsonl"), "{}\n");
  write_file(file("2024-05-01.2.jsonl"), "{}\n");
  write_file(file("2024-05-01.1.jsonl"), "foreign\n");  // not a part: ignored
  ASSERT_EQ(start(), 0);
  ASSERT_EQ(mqtt_publish("t", "one", 0, 0), 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);
  EXPECT_EQ(lines_of(file("2024-05-01.2.jsonl")).size(), 2u);
  EXPECT_EQ(read_file(file("2024-05-01.jsonl")), "{}\n");
  ASSERT_EQ(mqtt_broker_stop(), 0);

  // Part 2 at the limit: the next start opens part 3.
  fs::resize_file(file("2024-05-01.2.jsonl"), MIB);
  ASSERT_EQ(start(), 0);
  ASSERT_EQ(mqtt_publish("t", "two", 0, 0), 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);
  auto part3 = lines_of(file("2024-05-01.3.jsonl"));
  ASSERT_EQ(part3.size(), 1u);
  EXPECT_NE(part3[0].find("\"payload\":\"two\""), std::string::npos);
  EXPECT_EQ(read_file(file("2024-05-01.1.jsonl")), "foreign\n");
}

TEST_F(StorageLog, ClockOffsetMovesRecordsToTheNextDaysFile) {
  ASSERT_EQ(start(), 0);
  ASSERT_EQ(mqtt_publish("t", "first", 0, 0), 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);
  at_local(2024, 5, 2, 0, 1);
  ASSERT_EQ(mqtt_publish("t", "second", 0, 0), 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);
  auto day1 = lines_of(file("2024-05-01.jsonl"));
  auto day2 = lines_of(file("2024-05-02.jsonl"));
  ASSERT_EQ(day1.size(), 1u);
  ASSERT_EQ(day2.size(), 1u);
  EXPECT_NE(day2[0].find("\"payload\":\"second\""), std::string::npos);
  std::string status = mqtt_get_storage_status_json();
  EXPECT_NE(status.find("\"log_file\":\"" + file("2024-05-02.jsonl").string() + "\""),
            std::string::npos)
      << status;
  EXPECT_EQ(status_value("log_files"), 2);
}

TEST_F(StorageLog, DayIsLocalWhileTheTimeTextIsUtc) {
  ::setenv("TZ", "EAST-2", 1);  // two hours east of UTC, no daylight saving
  ::tzset();
  at_local(2024, 5, 2, 0, 30);
  ASSERT_EQ(start(), 0);
  ASSERT_EQ(mqtt_publish("t", "p", 0, 0), 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);
  auto lines = lines_of(file("2024-05-02.jsonl"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"time\":\"2024-05-01T22:30:"), std::string::npos) << lines[0];
}

TEST_F(StorageLog, RetentionByAgeIgnoresForeignNames) {
  const char* const kept[] = {"2024-05-01.jsonl", "2024-05-01.2.jsonl"};
  const char* const foreign[] = {"notes.jsonl", "2024-04-01.1.jsonl", "2024-04-01.0.jsonl",
                                 "2024-04-01.jsonl.bak"};
  const char* const old[] = {"2024-04-29.jsonl", "2024-04-30.jsonl", "2024-04-30.3.jsonl"};
  for (const char* n : kept) write_file(file(n), "{}\n");
  for (const char* n : foreign) write_file(file(n), "foreign\n");
  for (const char* n : old) write_file(file(n), "{}\n");
  fs::create_directory(file("2024-04-02.jsonl"));  // a directory is no log file
  at_local(2024, 5, 31, 12, 0);                    // 30 days: 1 May is the oldest day kept
  ASSERT_EQ(start(), 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);
  std::set<std::string> names = names_in(dir_);
  for (const char* n : kept) EXPECT_TRUE(names.count(n)) << n;
  for (const char* n : foreign) EXPECT_TRUE(names.count(n)) << n;
  for (const char* n : old) EXPECT_FALSE(names.count(n)) << n;
  EXPECT_TRUE(fs::is_directory(file("2024-04-02.jsonl")));
  EXPECT_EQ(status_value("log_files"), 2);
  EXPECT_EQ(status_value("log_bytes"), 6);
  EXPECT_EQ(status_value("log_deleted"), 3);

  // Without limits a sweep only counts.
  mqtt_set_log_limits(0, 0, -1);
  at_local(2025, 1, 1, 12, 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);
  EXPECT_EQ(status_value("log_files"), 2);
  EXPECT_EQ(status_value("log_deleted"), 3);
}

TEST_F(StorageLog, RetentionBySizeRemovesOldestFirstButNeverTheOpenFile) {
  write_file(file("2024-04-28.jsonl"), std::string(600000, 'a') + "\n");
  write_file(file("2024-04-29.jsonl"), std::string(600000, 'b') + "\n");
  write_file(file("2024-05-01.jsonl"), std::string(3 * MIB / 2, 'c') + "\n");
  mqtt_set_log_limits(0, 1, -1);
  ASSERT_EQ(start(), 0);
  ASSERT_EQ(mqtt_publish("t", "p", 0, 0), 0);  // opens and continues 1 May
  ASSERT_EQ(mqtt_storage_flush(), 0);
  EXPECT_EQ(names_in(dir_), std::set<std::string>({"2024-05-01.jsonl"}));
  EXPECT_EQ(status_value("log_files"), 1);
  EXPECT_EQ(status_value("log_bytes"),
            static_cast<long long>(fs::file_size(file("2024-05-01.jsonl"))));
  EXPECT_EQ(status_value("log_deleted"), 2);
}

TEST_F(StorageLog, LoggingSwitchedOffAtRunTimeStopsNewRecordsAtOnce) {
  ASSERT_EQ(start(), 0);
  ASSERT_EQ(mqtt_publish("t", "before", 0, 0), 0);
  ASSERT_EQ(mqtt_set_log_enabled(0), 0);
  ASSERT_EQ(mqtt_publish("t", "after", 0, 0), 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);
  auto lines = lines_of(file("2024-05-01.jsonl"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"payload\":\"before\""), std::string::npos);
  EXPECT_EQ(status_value("log_dropped"), 0);
  ASSERT_EQ(mqtt_set_log_enabled(1), 0);
  ASSERT_EQ(mqtt_publish("t", "again", 0, 0), 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);
  EXPECT_EQ(lines_of(file("2024-05-01.jsonl")).size(), 2u);
}

TEST_F(StorageLog, FailedWritesAreCountedWarnedAndNotRetried) {
  const std::string warning =
      "storage: daily log write failed (" + dir_.string() + "); messages dropped";
  ASSERT_EQ(start(), 0);
  bvm::os::test_fail_file_writes(1, 1000000);
  ASSERT_EQ(mqtt_publish("t", "lost", 0, 0), 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);  // a failed write is no failed flush
  EXPECT_EQ(status_value("log_written"), 0);
  EXPECT_EQ(status_value("log_dropped"), 1);
  EXPECT_EQ(status_value("write_errors"), 1);
  EXPECT_EQ(status_warning(), warning);
  EXPECT_EQ(std::string(mqtt_last_error()), warning);

  bvm::os::test_fail_file_writes(0);
  ASSERT_EQ(mqtt_publish("t", "kept", 0, 0), 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);
  auto lines = lines_of(file("2024-05-01.jsonl"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"payload\":\"kept\""), std::string::npos);
  EXPECT_EQ(status_value("log_written"), 1);
  EXPECT_EQ(status_value("write_errors"), 1);
}

TEST_F(StorageLog, LinesLostAtTheFlushOnAFullDeviceAreNotCountedAsWritten) {
  // The line fits the stream's buffer; only the flush meets the full disk.
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this machine";
  fs::create_symlink("/dev/full", file("2024-05-01.jsonl"));
  ASSERT_EQ(start(), 0);
  ASSERT_EQ(mqtt_publish("t", "p", 0, 0), 0);
  ASSERT_EQ(mqtt_storage_flush(), 0);
  EXPECT_EQ(status_value("log_written"), 0);
  EXPECT_EQ(status_value("log_dropped"), 1);
  EXPECT_EQ(status_value("write_errors"), 1);
  EXPECT_EQ(status_warning(),
            "storage: daily log write failed (" + dir_.string() + "); messages dropped");
}

TEST_F(StorageLog, RecordsPublishedJustBeforeStopAreInTheFileAfterStop) {
  ASSERT_EQ(start(), 0);
  for (int i = 0; i < 500; ++i) {
    ASSERT_EQ(mqtt_publish("t", std::to_string(i).c_str(), 0, 0), 0);
  }
  ASSERT_EQ(mqtt_broker_stop(), 0);
  auto lines = lines_of(file("2024-05-01.jsonl"));
  ASSERT_EQ(lines.size(), 500u);
  EXPECT_NE(lines[499].find("\"payload\":\"499\""), std::string::npos);
  EXPECT_EQ(status_value("log_written"), 500);
  EXPECT_EQ(status_value("log_queue"), 0);
}

}  // namespace
