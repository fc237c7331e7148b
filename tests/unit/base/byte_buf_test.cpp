// byte_buf's copy-with-NUL: the NUL is counted in the allocation only, a
// length whose + 1 would wrap is refused instead of allocating nothing, and
// a block is reused only when it fits the new contents closely.
#include "base/byte_buf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

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

// A block of about the right size is reused; a much larger one is given back
// rather than pinned under a small payload.
TEST(ByteBuf, AssignWithNulReusesABlockOfSimilarSizeOnly) {
  byte_buf b;
  std::vector<uint8_t> big(4096, 'x');
  ASSERT_TRUE(b.assign_with_nul(big.data(), big.size()));
  const uint8_t* block = b.data();
  ASSERT_TRUE(b.assign_with_nul(big.data(), 3000));
  EXPECT_EQ(b.data(), block);
  EXPECT_EQ(b.size(), 3000u);
  EXPECT_EQ(b.data()[3000], 0);
  const uint8_t small[] = {'h', 'i'};
  ASSERT_TRUE(b.assign_with_nul(small, sizeof small));
  EXPECT_EQ(b.capacity(), 3u);
  EXPECT_EQ(std::memcmp(b.data(), "hi", 3), 0);
  ASSERT_TRUE(b.assign_with_nul(nullptr, 0));
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(b.data()[0], 0);
}

}  // namespace
}  // namespace bvm
