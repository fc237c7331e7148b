// The daily log's line format and file names, byte for byte.
#include <gtest/gtest.h>

#include <string>

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
  const char* expected;
};

void fill(log_record* r, const line_case& c) {
  r->ts_ms = c.ts_ms;
  bvm::copy_text(r->topic, c.topic.c_str());
  bvm::copy_text(r->client, c.client.c_str());
  r->qos = c.qos;
  r->retain = static_cast<uint8_t>(c.retain);
  r->payload_len = c.payload.size();
  if (!c.payload.empty()) {
    ASSERT_TRUE(r->payload.reserve_exact(c.payload.size()));
    r->payload.append_within_capacity(reinterpret_cast<const uint8_t*>(c.payload.data()),
                                      c.payload.size());
  }
}

TEST(LogLine, ExactBytesForEachTextAndBase64Rule) {
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
  };
  for (const line_case& c : cases) {
    log_record r;
    fill(&r, c);
    std::string line;
    ASSERT_TRUE(bvm::fs_log_line(r, &line)) << c.what;
    EXPECT_EQ(line, c.expected) << c.what;
  }
}

TEST(LogLine, TopicCutInsideACharacterGoesToBase64) {
  // The record keeps 255 bytes of the topic; a two-byte character cut there
  // is no longer UTF-8, so the topic is written as topic_b64.
  log_record r;
  std::string topic(254, 'a');
  topic += "\xc3\xa9";
  bvm::copy_text(r.topic, topic.c_str());
  ASSERT_EQ(std::string(r.topic).size(), 255u);
  std::string line;
  ASSERT_TRUE(bvm::fs_log_line(r, &line));
  EXPECT_NE(line.find("\"topic_b64\":\""), std::string::npos) << line;
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
