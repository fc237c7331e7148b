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
  fs_log_enqueue("t\0hidden", payload, 1, 2, 7, "c\0hidden");
  EXPECT_EQ(items(), 3);
  EXPECT_EQ(bytes(), 4);

  log_chunk* list = fs_log_take_all();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(items(), 0);
  EXPECT_EQ(bytes(), 0);
  log_cursor cursor(list);
  log_record r;
  ASSERT_TRUE(cursor.next(&r));
  EXPECT_EQ(std::string(r.topic, r.topic_len), topic.substr(0, 255));
  EXPECT_EQ(std::string(r.client, r.client_len), client.substr(0, 127));
  ASSERT_EQ(r.payload_len, 3u);
  EXPECT_EQ(std::vector<uint8_t>(r.payload, r.payload + 3), std::vector<uint8_t>({1, 2, 3}));
  EXPECT_EQ(r.qos, 1);
  EXPECT_EQ(r.retain, 1);
  int64_t now = fs_now_ms();
  EXPECT_LE(r.ts_ms, now);
  EXPECT_GT(r.ts_ms, now - 10000);

  ASSERT_TRUE(cursor.next(&r));
  EXPECT_EQ(r.payload_len, 0u);
  EXPECT_EQ(r.payload, nullptr);
  EXPECT_EQ(r.topic_len, 0u);
  EXPECT_EQ(r.client_len, 0u);

  ASSERT_TRUE(cursor.next(&r));  // texts end at their first zero byte
  EXPECT_EQ(std::string(r.topic, r.topic_len), "t");
  EXPECT_EQ(std::string(r.client, r.client_len), "c");
  EXPECT_EQ(r.qos, 2);
  EXPECT_EQ(r.retain, 1);
  EXPECT_FALSE(cursor.next(&r));
  fs_log_free_list(list);
}

TEST_F(LogQueue, FiftyThousandRecordsThenRefused) {
  for (int i = 0; i < FS_QUEUE_MAX_ITEMS; ++i) {
    const std::vector<uint8_t> p = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
    put(p);
  }
  EXPECT_EQ(items(), 50000);
  EXPECT_EQ(new_drops(), 0);
  put({});  // refused even without payload bytes
  EXPECT_EQ(items(), 50000);
  EXPECT_EQ(new_drops(), 1);

  // The waiting records stay, oldest first, across chunk boundaries.
  log_chunk* list = fs_log_take_all();
  log_cursor cursor(list);
  log_record r;
  int n = 0;
  bool in_order = true;
  while (cursor.next(&r)) {
    in_order = in_order && r.payload_len == 2 && r.payload[0] == static_cast<uint8_t>(n) &&
               r.payload[1] == static_cast<uint8_t>(n >> 8);
    ++n;
  }
  EXPECT_EQ(n, 50000);
  EXPECT_TRUE(in_order);
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
  // A fresh chunk is a record and its buffer; a record too big for a pooled
  // chunk allocates the same two for itself.
  const std::vector<uint8_t> big(100000, 'b');
  for (int nth : {1, 2}) {
    fs_log_release_memory();
    test_fail_nth_alloc(nth);
    put({'x', 'y'});
    test_fail_nth_alloc(nth);
    put(big);
  }
  EXPECT_EQ(items(), 0);
  EXPECT_EQ(bytes(), 0);
  EXPECT_EQ(new_drops(), 4);
  put({'x', 'y'});
  EXPECT_EQ(items(), 1);
}

TEST_F(LogQueue, DrainedChunksAreReusedWithoutAllocating) {
  fs_log_release_memory();
  for (int i = 0; i < 5000; ++i) put({'x'});  // several chunks
  fs_log_free_list(fs_log_take_all());
  test_fail_nth_alloc(1);  // any allocation from here on would drop a record
  for (int i = 0; i < 5000; ++i) put({'y'});
  EXPECT_EQ(new_drops(), 0);
  EXPECT_EQ(items(), 5000);
}

}  // namespace
