// SHA-1: published vectors, the padding around block boundaries, and the
// property that any way of splitting the input gives the same digest.
#include "codec/sha1.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "codec/base64.h"

namespace bvm {
namespace {

std::string to_hex(const uint8_t digest[20]) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < 20; ++i) {
    hex += DIGITS[digest[i] >> 4];
    hex += DIGITS[digest[i] & 15];
  }
  return hex;
}

const uint8_t* bytes_of(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string sha1_hex(std::string_view message) {
  bv_sha1_ctx ctx;
  bv_sha1_init(&ctx);
  bv_sha1_update(&ctx, bytes_of(message), message.size());
  uint8_t digest[20];
  bv_sha1_final(&ctx, digest);
  return to_hex(digest);
}

// The message fed in pieces of chunk bytes.
std::string sha1_hex_chunked(std::string_view message, size_t chunk) {
  bv_sha1_ctx ctx;
  bv_sha1_init(&ctx);
  for (size_t pos = 0; pos < message.size(); pos += chunk) {
    size_t n = std::min(chunk, message.size() - pos);
    bv_sha1_update(&ctx, bytes_of(message.substr(pos, n)), n);
  }
  uint8_t digest[20];
  bv_sha1_final(&ctx, digest);
  return to_hex(digest);
}

TEST(Sha1, PublishedVectors) {
  struct vector_case {
    std::string_view piece;
    size_t repeat;
    std::string_view digest;
  };
  // FIPS 180-4 examples and RFC 3174 section 7.3.
  const vector_case cases[] = {
      {"", 1, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmn"
       "opqrsm"
       "nopqrstnopqrstu",
       1, "a49b2446a02c645bf419f995b67091253a04a259"},
      {"0123456701234567012345670123456701234567012345670123456701234567", 10,
       "dea356a2cddd90c7a7ecedc5ebb563934f460452"},
      {"a", 1000000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const auto& c : cases) {
    std::string message;
    for (size_t i = 0; i < c.repeat; ++i) message += c.piece;
    EXPECT_EQ(sha1_hex(message), c.digest) << c.piece << " x " << c.repeat;
    // The same message absorbed one piece per update.
    EXPECT_EQ(sha1_hex_chunked(message, c.piece.empty() ? 1 : c.piece.size()), c.digest)
        << c.piece << " x " << c.repeat << ", piecewise";
  }
}

// Lengths around 55/56 and 64 bytes decide whether the trailer fits into the
// last block or needs one more; digests from an independent implementation.
TEST(Sha1, TrailerAroundBlockBoundaries) {
  struct length_case {
    size_t n;
    std::string_view digest;
  };
  const length_case cases[] = {
      {55, "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
      {56, "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
      {63, "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
      {64, "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
      {65, "11655326c708d70319be2610e8a57d9a5b959d3b"},
      {119, "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"},
      {120, "f34c1488385346a55709ba056ddd08280dd4c6d6"},
      {128, "ad5b3fdbcb526778c2839d2f151ea753995e26a0"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(sha1_hex(std::string(c.n, 'a')), c.digest) << c.n << " bytes";
}

class Sha1Split : public ::testing::Test {
 protected:
  void SetUp() override {
    for (size_t i = 0; i < 200; ++i) message_ += static_cast<char>((i * 7 + 3) % 256);
  }
  std::string message_;
  // Digest of message_ from an independent implementation.
  static constexpr std::string_view DIGEST = "892b673ca3c696ab13ab8aab3cf3abfbc3aaeb3b";
};

TEST_F(Sha1Split, EveryTwoWaySplitGivesTheSameDigest) {
  ASSERT_EQ(sha1_hex(message_), DIGEST);
  for (size_t split = 0; split <= message_.size(); ++split) {
    bv_sha1_ctx ctx;
    bv_sha1_init(&ctx);
    bv_sha1_update(&ctx, bytes_of(message_), split);
    bv_sha1_update(&ctx, bytes_of(message_) + split, message_.size() - split);
    uint8_t digest[20];
    bv_sha1_final(&ctx, digest);
    EXPECT_EQ(to_hex(digest), DIGEST) << "split at " << split;
  }
}

TEST_F(Sha1Split, EveryChunkSizeGivesTheSameDigest) {
  for (size_t chunk = 1; chunk <= 130; ++chunk) {
    EXPECT_EQ(sha1_hex_chunked(message_, chunk), DIGEST) << "chunk " << chunk;
  }
}

TEST(Sha1, UpdateEndingOnABlockBoundaryCompressesAtOnce) {
  const std::string block(64, 'x');
  bv_sha1_ctx initial;
  bv_sha1_init(&initial);

  bv_sha1_ctx partial = initial;
  bv_sha1_update(&partial, bytes_of(block), 63);
  EXPECT_EQ(std::memcmp(partial.state, initial.state, sizeof initial.state), 0);

  bv_sha1_ctx whole = initial;
  bv_sha1_update(&whole, bytes_of(block), 64);
  EXPECT_NE(std::memcmp(whole.state, initial.state, sizeof initial.state), 0);

  bv_sha1_update(&partial, bytes_of(block), 1);
  EXPECT_EQ(std::memcmp(partial.state, whole.state, sizeof whole.state), 0);
  EXPECT_EQ(partial.count[0], 512u);
  EXPECT_EQ(partial.count[1], 0u);
}

// The bit count is one 64-bit number split over two words; a carry out of
// the low word must reach the high word.
TEST(Sha1, BitCountCarriesIntoTheHighWord) {
  bv_sha1_ctx ctx;
  bv_sha1_init(&ctx);
  ctx.count[0] = 0xFFFFFE00u;  // block-aligned, 512 bits short of the carry
  const std::string data(128, 'y');
  bv_sha1_update(&ctx, bytes_of(data), data.size());
  EXPECT_EQ(ctx.count[0], 0x200u);
  EXPECT_EQ(ctx.count[1], 1u);
}

// RFC 6455 section 1.3: the handshake's accept value.
TEST(Sha1, WebSocketAcceptExample) {
  const std::string key_and_guid =
      std::string("dGhlIHNhbXBsZSBub25jZQ==") + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  bv_sha1_ctx ctx;
  bv_sha1_init(&ctx);
  bv_sha1_update(&ctx, bytes_of(key_and_guid), key_and_guid.size());
  uint8_t digest[20];
  bv_sha1_final(&ctx, digest);
  char accept[64];
  bv_base64_encode(digest, sizeof digest, accept, sizeof accept);
  EXPECT_STREQ(accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

}  // namespace
}  // namespace bvm
