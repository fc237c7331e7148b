// The daily log's line format and file names, byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/text.h"
#include "storage/fs_state.h"

namespace {

using bvm::log_record;

struct line_case {
  const char* what;
  int64_t ts_ms;
  std::string topic;
  std::string payload;
  int qos;
  int retain;
  std::string client;
  std::string expected;
};

log_record record_of(const line_case& c) {
  log_record r;
  r.ts_ms = c.ts_ms;
  r.topic = c.topic.data();
  r.topic_len = c.topic.size();
  r.client = c.client.data();
  r.client_len = c.client.size();
  r.qos = c.qos;
  r.retain = static_cast<uint8_t>(c.retain);
  r.payload_len = c.payload.size();
  r.payload = c.payload.empty() ? nullptr : reinterpret_cast<const uint8_t*>(c.payload.data());
  return r;
}

// The line of a plain message at 2024-05-01T12:51:30.123Z around a payload part.
std::string plain_line(const std::string& enc_and_payload) {
  return R"({"ts_ms":1714567890123,"time":"2024-05-01T12:51:30.123Z","topic":"t",)" +
         enc_and_payload + R"(,"qos":0,"retain":false,"client":"c"})";
}

TEST(LogLine, ExactBytesForEachTextAndBase64Rule) {
  std::string all_controls;
  for (int b = 1; b < 0x20; ++b) all_controls += static_cast<char>(b);
  all_controls += '\x7F';
  const line_case cases[] = {
      {"plain text", 1714567890123, "a/b", "hello", 1, 1, "c1",
       R"({"ts_ms":1714567890123,"time":"2024-05-01T12:51:30.123Z","topic":"a/b","enc":"utf8",)"
       R"("payload":"hello","qos":1,"retain":true,"client":"c1"})"},
      {"empty payload is utf8 and empty", 1714567890005, "t", "", 0, 0, "broker",
       R"({"ts_ms":1714567890005,"time":"2024-05-01T12:51:30.005Z","topic":"t","enc":"utf8",)"
       R"("payload":"","qos":0,"retain":false,"client":"broker"})"},
      {"line break and quotes escaped, slash and UTF-8 as they are", 1714567890123, "x/é",
       "l1\nl2\t\"q\"\\/€", 0, 0, "c",
       R"({"ts_ms":1714567890123,"time":"2024-05-01T12:51:30.123Z","topic":"x/é","enc":"utf8",)"
       R"("payload":"l1\nl2\t\"q\"\\/€","qos":0,"retain":false,"client":"c"})"},
      {"zero byte makes the payload base64", 1714567890123, "t", std::string("\x00\x01\xff", 3), 1,
       0, "c",
       R"({"ts_ms":1714567890123,"time":"2024-05-01T12:51:30.123Z","topic":"t","enc":"base64",)"
       R"("payload":"AAH/","qos":1,"retain":false,"client":"c"})"},
      {"overlong form is not UTF-8", 1714567890123, "t", "\xc0\xaf", 0, 0, "c",
       R"({"ts_ms":1714567890123,"time":"2024-05-01T12:51:30.123Z","topic":"t","enc":"base64",)"
       R"("payload":"wK8=","qos":0,"retain":false,"client":"c"})"},
      {"topic and client that are not UTF-8 go under _b64", 1714567890123, "\xff/a", "p", 0, 0,
       "id\xc3",
       R"({"ts_ms":1714567890123,"time":"2024-05-01T12:51:30.123Z","topic_b64":"/y9h",)"
       R"("enc":"utf8","payload":"p","qos":0,"retain":false,"client_b64":"aWTD"})"},
      {"negative milliseconds show as 0", -1500, "t", "p", 0, 0, "c",
       R"({"ts_ms":-1500,"time":"1969-12-31T23:59:59.000Z","topic":"t","enc":"utf8",)"
       R"("payload":"p","qos":0,"retain":false,"client":"c"})"},
      {"every control character escaped, DEL as it is", 1714567890123, "t", all_controls, 0, 0, "c",
       plain_line(R"("enc":"utf8","payload":"\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n)"
                  R"(\u000B\f\r\u000E\u000F\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017)"
                  R"(\u0018\u0019\u001A\u001B\u001C\u001D\u001E\u001F)"
                  "\x7F\"")},
      {"quotes, backslashes and controls in topic and client", 1714567890123, "a\"b\\c\x1b", "p", 2,
       1, "\"\\\x01",
       R"({"ts_ms":1714567890123,"time":"2024-05-01T12:51:30.123Z","topic":"a\"b\\c\u001B",)"
       R"("enc":"utf8","payload":"p","qos":2,"retain":true,"client":"\"\\\u0001"})"},
      {"four-byte characters up to U+10FFFF", 1714567890123, "t",
       "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", 0, 0, "c",
       plain_line("\"enc\":\"utf8\",\"payload\":\"\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\"")},
      {"surrogate", 1714567890123, "t", "\xED\xA0\x80", 0, 0, "c",
       plain_line(R"("enc":"base64","payload":"7aCA")")},
      {"above U+10FFFF", 1714567890123, "t", "\xF4\x90\x80\x80", 0, 0, "c",
       plain_line(R"("enc":"base64","payload":"9JCAgA==")")},
      {"sequence cut by the end of the payload", 1714567890123, "t", "ab\xE2\x82", 0, 0, "c",
       plain_line(R"("enc":"base64","payload":"YWLigg==")")},
      {"lone continuation byte", 1714567890123, "t", "\x80", 0, 0, "c",
       plain_line(R"("enc":"base64","payload":"gA==")")},
      {"zero byte between text", 1714567890123, "t", std::string("a\0b", 3), 0, 0, "c",
       plain_line(R"("enc":"base64","payload":"YQBi")")},
      {"escapes before an invalid byte leave nothing behind", 1714567890123, "t", "\"\n\\\xFF", 0,
       0, "c", plain_line(R"("enc":"base64","payload":"Igpc/w==")")},
      {"empty topic and client", 1714567890123, "", "p", 0, 0, "",
       R"({"ts_ms":1714567890123,"time":"2024-05-01T12:51:30.123Z","topic":"","enc":"utf8",)"
       R"("payload":"p","qos":0,"retain":false,"client":""})"},
      {"year 1, milliseconds cut towards zero", -62135596799999, "t", "p", 0, 0, "c",
       R"({"ts_ms":-62135596799999,"time":"0001-01-01T00:00:01.000Z","topic":"t","enc":"utf8",)"
       R"("payload":"p","qos":0,"retain":false,"client":"c"})"},
      {"five-digit year", 253402300800999, "t", "p", 0, 0, "c",
       R"({"ts_ms":253402300800999,"time":"10000-01-01T00:00:00.999Z","topic":"t","enc":"utf8",)"
       R"("payload":"p","qos":0,"retain":false,"client":"c"})"},
      {"largest time", INT64_MAX, "t", "p", 0, 0, "c",
       R"({"ts_ms":9223372036854775807,"time":"292278994-08-17T07:12:55.807Z","topic":"t",)"
       R"("enc":"utf8","payload":"p","qos":0,"retain":false,"client":"c"})"},
      {"smallest time", INT64_MIN, "t", "p", 0, 0, "c",
       R"({"ts_ms":-9223372036854775808,"time":"-292275055-05-16T16:47:05.000Z","topic":"t",)"
       R"("enc":"utf8","payload":"p","qos":0,"retain":false,"client":"c"})"},
      {"one mebibyte of text", 1714567890123, "t", std::string(1048576, 'x'), 0, 0, "c",
       plain_line("\"enc\":\"utf8\",\"payload\":\"" + std::string(1048576, 'x') + "\"")},
  };
  for (const line_case& c : cases) {
    std::string line = "prefix kept|";
    ASSERT_TRUE(bvm::fs_log_line(record_of(c), &line)) << c.what;
    EXPECT_EQ(line, "prefix kept|" + c.expected) << c.what;
  }
}

// Queued records come back with the texts cut as the record format
// requires, and their lines are exact.
class LogLineFromQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    bvm::fs_log_free_list(bvm::fs_log_take_all());
    bvm::s_fs_active.store(1);
    bvm::s_fs_log_on.store(1);
  }
  void TearDown() override {
    bvm::s_fs_active.store(0);
    bvm::s_fs_log_on.store(0);
    bvm::fs_log_free_list(bvm::fs_log_take_all());
  }
  static std::vector<std::string> drained_lines() {
    std::vector<std::string> lines;
    bvm::log_chunk* list = bvm::fs_log_take_all();
    bvm::log_cursor cursor(list);
    log_record r;
    while (cursor.next(&r)) {
      std::string line;
      EXPECT_TRUE(bvm::fs_log_line(r, &line));
      // The time is the storage clock's; only the rest is compared.
      size_t at = line.find(",\"topic");
      lines.push_back(at == std::string::npos ? line : line.substr(at));
    }
    bvm::fs_log_free_list(list);
    return lines;
  }
};

TEST_F(LogLineFromQueue, TextsAreCutAndBinaryPayloadsSurvive) {
  std::string topic_cut_in_char = std::string(254, 'a') + "\xc3\xa9";
  std::string long_client(200, 'c');
  const uint8_t binary[] = {0, 1, 2, 0xFF, '"', '\\', 0};
  bvm::fs_log_enqueue(topic_cut_in_char.c_str(), binary, sizeof binary, 1, 1, long_client.c_str());
  bvm::fs_log_enqueue(nullptr, nullptr, 0, 0, 0, nullptr);
  std::string big(70000, 'b');  // a chunk of its own
  bvm::fs_log_enqueue("big", reinterpret_cast<const uint8_t*>(big.data()), big.size(), 0, 0, "c");
  bvm::fs_log_enqueue("after", reinterpret_cast<const uint8_t*>("z"), 1, 2, 0, "c");

  auto lines = drained_lines();
  ASSERT_EQ(lines.size(), 4u);
  // 254 'a' and a lone C3 lead byte, in Base64.
  std::string topic_b64;
  for (int i = 0; i < 84; ++i) topic_b64 += "YWFh";
  topic_b64 += "YWHD";
  EXPECT_EQ(lines[0], ",\"topic_b64\":\"" + topic_b64 +
                          R"(","enc":"base64","payload":"AAEC/yJcAA==","qos":1,"retain":true,)"
                          R"("client":")" +
                          std::string(127, 'c') + "\"}");
  EXPECT_EQ(lines[1],
            R"(,"topic":"","enc":"utf8","payload":"","qos":0,"retain":false,"client":""})");
  EXPECT_EQ(lines[2], R"(,"topic":"big","enc":"utf8","payload":")" + big +
                          R"(","qos":0,"retain":false,"client":"c"})");
  EXPECT_EQ(lines[3],
            R"(,"topic":"after","enc":"utf8","payload":"z","qos":2,"retain":false,"client":"c"})");
}

TEST(LogFileName, AcceptsOnlyTheDayAndPartForms) {
  struct {
    const char* name;
    bool accepted;
    int part;
  } cases[] = {
      {"2024-05-01.jsonl", true, 1},
      {"2024-05-01.2.jsonl", true, 2},
      {"2024-05-01.000007.jsonl", true, 7},
      {"2024-05-01.999999.jsonl", true, 999999},
      {"2024-05-01.1.jsonl", false, 0},
      {"2024-05-01.0.jsonl", false, 0},
      {"2024-05-01.01.jsonl", false, 0},
      {"2024-05-01.1234567.jsonl", false, 0},
      {"2024-05-01..jsonl", false, 0},
      {"2024-05-01.x.jsonl", false, 0},
      {"2024-05-01.2.jsonl.jsonl", false, 0},
      {"2024-05-01jsonl.jsonl", false, 0},
      {"notes.jsonl", false, 0},
      {"2024_05_01.jsonl", false, 0},
      {"2024-5-01.jsonl", false, 0},
      {"2024-05-01.json", false, 0},
  };
  for (const auto& c : cases) {
    bvm::log_file_entry e;
    EXPECT_EQ(bvm::fs_parse_log_name(c.name, &e), c.accepted) << c.name;
    if (c.accepted) {
      EXPECT_EQ(e.part, c.part) << c.name;
      EXPECT_STREQ(e.day, "2024-05-01") << c.name;
      EXPECT_STREQ(e.name, c.name);
    }
  }
}

}  // namespace
