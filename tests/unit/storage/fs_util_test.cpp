// Path joining, the storage warning and the storage clock.
#include <gtest/gtest.h>

#include <string>

#include "brelvane_mqtt.h"
#include "os/clock.h"
#include "storage/fs_state.h"
#include "storage/json.h"

namespace {

using namespace bvm;

std::string warning() {
  lock_guard lock(s_fs_qmutex);
  return s_fs_warning;
}

TEST(FsJoin, AddsOneSeparatorUnlessTheDirectoryEndsInOne) {
  struct {
    const char* dir;
    size_t size;
    const char* expected;
  } cases[] = {
      {"/data", 1100, "/data/retained.json"},
      {"/data/", 1100, "/data/retained.json"},
      {"/data//", 1100, "/data//retained.json"},  // the configured text, unchanged
      {"", 1100, "/retained.json"},
      {"rel", 1100, "rel/retained.json"},
      {"/data", 8, "/data/r"},  // bounded like snprintf
  };
  for (const auto& c : cases) {
    ASSERT_EQ(mqtt_set_storage_dir(c.dir), 0);
    char out[1100];
    fs_join(out, c.size, "retained.json");
    EXPECT_STREQ(out, c.expected) << c.dir;
  }
  ASSERT_EQ(mqtt_set_storage_dir(nullptr), 0);
}

TEST(FsWarning, FormatsStoresAndBecomesTheLastError) {
  fs_set_warning("storage: %s malformed, 100%% (%s)", "7");
  EXPECT_EQ(warning(), "storage: 7 malformed, 100% (%s)");
  EXPECT_STREQ(mqtt_last_error(), "storage: 7 malformed, 100% (%s)");
}

TEST(FsWarning, LongTextIsCutAtACharacterBoundary) {
  // 511 bytes hold "w '" plus 254 two-byte characters and one byte of the
  // next: that byte must go, or the status report could not show the text.
  std::string dir;
  for (int i = 0; i < 400; ++i) dir += "\xc3\xa9";
  fs_set_warning("w '%s'", dir.c_str());
  std::string w = warning();
  EXPECT_EQ(w.size(), 3u + 2 * 254);
  EXPECT_TRUE(fs_valid_utf8(reinterpret_cast<const uint8_t*>(w.data()), w.size()));
  EXPECT_EQ(std::string(mqtt_last_error()), w);
  std::string status = mqtt_get_storage_status_json();
  EXPECT_NE(status.find("\"warning\":\"" + w + "\"}"), std::string::npos) << status;

  std::string ascii(600, 'a');
  fs_set_warning("%s", ascii.c_str());
  EXPECT_EQ(warning(), ascii.substr(0, 511));
}

TEST(FsClock, OffsetShiftsTheStorageClockOnly) {
  mqtt_debug_set_clock_offset(86400);
  int64_t wall = os::wall_millis();
  int64_t storage = fs_now_ms();
  EXPECT_GE(storage - wall, 86400000);
  EXPECT_LT(storage - wall, 86400000 + 5000);
  // Any offset is accepted; the clock wraps instead of overflowing.
  mqtt_debug_set_clock_offset(INT64_MAX);
  (void)fs_now_ms();
  char day[11];
  fs_local_day(fs_now_ms(), day);
  EXPECT_EQ(std::string(day).size(), 10u);
  mqtt_debug_set_clock_offset(0);
}

}  // namespace
