// SHA-1 (FIPS 180-4). The WebSocket handshake hashes the client's key with
// it to form the accept value; nothing else in the library uses it.
#pragma once

#include <cstdint>

namespace bvm {

// Digest context, kept in the caller's storage; nothing in it is allocated.
struct bv_sha1_ctx {
  uint32_t state[5];   // H0..H4
  uint32_t count[2];   // message bits absorbed so far, one 64-bit number, low word first
  uint8_t buffer[64];  // bytes of the current, incomplete block
};

void bv_sha1_init(bv_sha1_ctx* ctx) noexcept;

// Absorbs len bytes. A call whose bytes end exactly on a block boundary
// compresses that block at once.
void bv_sha1_update(bv_sha1_ctx* ctx, const uint8_t* data, uint64_t len) noexcept;

// Appends the message trailer and writes the 20-byte digest. The context is
// spent afterwards; start again with bv_sha1_init.
void bv_sha1_final(bv_sha1_ctx* ctx, uint8_t digest[20]) noexcept;

}  // namespace bvm
