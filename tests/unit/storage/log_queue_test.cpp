// The log queue's producer side, without a writer: what is queued, what is
// refused, and the two limits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/alloc.h"
#include "storage/fs_state.h"

namespace {

using namespace bvm;

// Storage switched on for enqueueing only: no directory, no writer.
class LogQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_log_free_list(fs_log_take_all());
    s_fs_active.store(1);
    s_fs_log_on.store(1);
    dropped_before_ = dropped();
  }
  void TearDown() override {
    s_fs_active.store(0);
    s_fs_log_on.store(0);
    test_fail_nth_alloc(0);
    fs_log_free_list(fs_log_take_all());
  }
  static int64_t dropped() {
    lock_guard lock(s_fs_qmutex);
    return s_fs_log_dropped;
  }
  static int64_t items() {
    lock_guard lock(s_fs_qmutex);
    return s_fs_q_items;
  }
  static int64_t bytes() {
    lock_guard lock(s_fs_qmutex);
    return s_fs_q_bytes;
  }
  static void put(const std::vector<uint8_t>& payload, const char* topic = "t") {
    fs_log_enqueue(topic, payload.data(), payload.size(), 1, 0, "c");
  }
  int64_t new_drops() const { return dropped() - dropped_before_; }
  int64_t dropped_before_ = 0;
};

TEST_F(LogQueue, NothingQueuedOrCountedWhileInactiveOrLoggingOff) {
  for (int active : {0, 1}) {
    s_fs_active.store(active);
    s_fs_log_on.store(1 - active);
    put({'x'});
  }
  EXPECT_EQ(items(), 0);
  EXPECT_EQ(new_drops(), 0);
}

TEST_F(LogQueue, RecordCopiesTheMessageAndCutsItsTexts) {
  std::string topic(300, 'a');
  std::string client(200, 'c');
  const uint8_t payload[] = {1, 2, 3};
  fs_log_enqueue(topic.c_str(), payload, 3, 1, 1, client.c_str());
  fs_log_enqueue(nullptr, nullptr, 0, 0, 0, nullptr);  // empty payload, no texts
  EXPECT_EQ(items(), 2);
  EXPECT_EQ(bytes(), 3);

  log_record* list = fs_log_take_all();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(items(), 0);
  EXPECT_EQ(bytes(), 0);
  EXPECT_EQ(std::string(list->topic), topic.substr(0, 255));
  EXPECT_EQ(std::string(list->client), client.substr(0, 127));
  EXPECT_EQ(list->payload_len, 3u);
  EXPECT_EQ(std::vector<uint8_t>(list->payload.data(), list->payload.data() + 3),
            std::vector<uint8_t>({1, 2, 3}));
  EXPECT_EQ(list->retain, 1);
  int64_t now = fs_now_ms();
  EXPECT_LE(list->ts_ms, now);
  EXPECT_GT(list->ts_ms, now - 10000);

  log_record* empty = list->next;
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->payload_len, 0u);
  EXPECT_EQ(empty->payload.capacity(), 0u);  // no payload buffer at all
  EXPECT_STREQ(empty->topic, "");
  EXPECT_STREQ(empty->client, "");
  EXPECT_EQ(empty->next, nullptr);
  fs_log_free_list(list);
}

TEST_F(LogQueue, FiftyThousandRecordsThenRefused) {
  for (int i = 0; i < FS_QUEUE_MAX_ITEMS; ++i) put({'x'});
  EXPECT_EQ(items(), 50000);
  EXPECT_EQ(new_drops(), 0);
  put({});  // refused even without payload bytes
  EXPECT_EQ(items(), 50000);
  EXPECT_EQ(new_drops(), 1);

  // The waiting records stay, oldest first.
  log_record* list = fs_log_take_all();
  int n = 0;
  for (log_record* r = list; r != nullptr; r = r->next) ++n;
  EXPECT_EQ(n, 50000);
  fs_log_free_list(list);
}

TEST_F(LogQueue, PayloadBytesUpToExactly64MiB) {
  const size_t limit = static_cast<size_t>(FS_QUEUE_MAX_BYTES);
  struct {
    const char* what;
    size_t first;
    size_t second;
    int64_t expect_items;
    int64_t expect_drops;
  } cases[] = {
      {"one record of exactly 64 MiB", limit, 0, 2, 0},
      {"one record one byte over, alone", limit + 1, 1, 1, 1},
      {"the byte that tips a full queue", limit - 10, 11, 1, 1},
  };
  const std::vector<uint8_t> big(limit + 1, 'a');  // payloads are prefixes of it
  for (const auto& c : cases) {
    fs_log_free_list(fs_log_take_all());
    int64_t before = dropped();
    fs_log_enqueue("t", big.data(), c.first, 0, 0, "c");
    fs_log_enqueue("t", big.data(), c.second, 0, 0, "c");
    EXPECT_EQ(items(), c.expect_items) << c.what;
    EXPECT_EQ(dropped() - before, c.expect_drops) << c.what;
    EXPECT_LE(bytes(), FS_QUEUE_MAX_BYTES) << c.what;
  }
}

TEST_F(LogQueue, FailedAllocationIsCountedAsDropped) {
  for (int nth : {1, 2}) {  // the record, then its payload copy
    test_fail_nth_alloc(nth);
    put({'x', 'y'});
  }
  EXPECT_EQ(items(), 0);
  EXPECT_EQ(new_drops(), 2);
}

}  // namespace
