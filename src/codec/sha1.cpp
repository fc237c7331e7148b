// SHA-1 of FIPS 180-4, written for exactness rather than speed: its only
// input is a short handshake key.
#include "codec/sha1.h"

#include <bit>
#include <cstddef>
#include <cstring>

namespace bvm {
namespace {

// The compression function: 80 rounds over one block, message words read
// big-endian, result added into state. Only bv_sha1_update calls it.
void bv_sha1_transform(bv_sha1_ctx* ctx, const uint8_t block[64]) noexcept {
  uint32_t w[80];
  for (size_t i = 0; i < 16; ++i) {
    w[i] = uint32_t{block[4 * i]} << 24 | uint32_t{block[4 * i + 1]} << 16 |
           uint32_t{block[4 * i + 2]} << 8 | uint32_t{block[4 * i + 3]};
  }
  for (size_t i = 16; i < 80; ++i) w[i] = std::rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

  uint32_t a = ctx->state[0];
  uint32_t b = ctx->state[1];
  uint32_t c = ctx->state[2];
  uint32_t d = ctx->state[3];
  uint32_t e = ctx->state[4];
  for (size_t i = 0; i < 80; ++i) {
    uint32_t f;
    uint32_t k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999u;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1u;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6u;
    }
    uint32_t temp = std::rotl(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = std::rotl(b, 30);
    b = a;
    a = temp;
  }
  ctx->state[0] += a;
  ctx->state[1] += b;
  ctx->state[2] += c;
  ctx->state[3] += d;
  ctx->state[4] += e;
}

}  // namespace

void bv_sha1_init(bv_sha1_ctx* ctx) noexcept {
  ctx->state[0] = 0x67452301u;
  ctx->state[1] = 0xEFCDAB89u;
  ctx->state[2] = 0x98BADCFEu;
  ctx->state[3] = 0x10325476u;
  ctx->state[4] = 0xC3D2E1F0u;
  ctx->count[0] = 0;
  ctx->count[1] = 0;
}

void bv_sha1_update(bv_sha1_ctx* ctx, const uint8_t* data, uint64_t len) noexcept {
  if (len == 0) return;  // data may be null then
  // The free position in buffer follows from the count before it is raised.
  size_t index = (ctx->count[0] >> 3) & 63u;
  // One 64-bit addition, so a carry out of the low word always reaches the
  // high word (messages past 512 MiB).
  uint64_t bits = (uint64_t{ctx->count[1]} << 32 | ctx->count[0]) + (len << 3);
  ctx->count[0] = static_cast<uint32_t>(bits);
  ctx->count[1] = static_cast<uint32_t>(bits >> 32);

  size_t room = 64 - index;
  if (len < room) {
    std::memcpy(ctx->buffer + index, data, len);
    return;
  }
  std::memcpy(ctx->buffer + index, data, room);
  bv_sha1_transform(ctx, ctx->buffer);
  uint64_t done = room;
  // Whole blocks are compressed straight from the caller's bytes.
  for (; len - done >= 64; done += 64) bv_sha1_transform(ctx, data + done);
  if (len > done) std::memcpy(ctx->buffer, data + done, len - done);
}

void bv_sha1_final(bv_sha1_ctx* ctx, uint8_t digest[20]) noexcept {
  // The length goes in as it was before the padding was absorbed.
  uint8_t length_be[8];
  for (size_t i = 0; i < 8; ++i) {
    uint32_t word = ctx->count[i < 4 ? 1 : 0];
    length_be[i] = static_cast<uint8_t>(word >> ((3 - (i & 3)) * 8));
  }
  static constexpr uint8_t PAD_FIRST = 0x80;
  static constexpr uint8_t PAD_ZERO = 0x00;
  bv_sha1_update(ctx, &PAD_FIRST, 1);
  // Pad until the bit count is 448 mod 512; the count is whole bytes, so its
  // three low bits are always clear.
  while ((ctx->count[0] & 0x1F8u) != 0x1C0u) bv_sha1_update(ctx, &PAD_ZERO, 1);
  bv_sha1_update(ctx, length_be, 8);
  for (size_t i = 0; i < 20; ++i) {
    digest[i] = static_cast<uint8_t>(ctx->state[i >> 2] >> ((3 - (i & 3)) * 8));
  }
}

}  // namespace bvm
