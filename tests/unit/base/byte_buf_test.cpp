// byte_buf's copy-with-NUL: the NUL is counted in the allocation only, and a
// length whose + 1 would wrap is refused instead of allocating nothing.
#include "base/byte_buf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace bvm {
namespace {

TEST(ByteBuf, AssignWithNulRefusesALengthThatWrapsAndKeepsTheOldBytes) {
  byte_buf b;
  const uint8_t text[] = {'a', 'b', 'c'};
  ASSERT_TRUE(b.assign_with_nul(text, sizeof text));
  EXPECT_EQ(b.size(), 3u);
  EXPECT_EQ(b.data()[3], 0);
  // SIZE_MAX + 1 is 0: before the check this "reserved" nothing and then
  // copied SIZE_MAX bytes into a null buffer.
  EXPECT_FALSE(b.assign_with_nul(text, SIZE_MAX));
  ASSERT_EQ(b.size(), 3u);
  EXPECT_EQ(std::memcmp(b.data(), "abc", 4), 0);
}

}  // namespace
}  // namespace bvm
