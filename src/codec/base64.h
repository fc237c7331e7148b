// Base64 of RFC 4648 section 4: standard alphabet, "=" padding, no line
// breaks. The WebSocket handshake encodes its digest with it; storage writes
// payloads that are not UTF-8 text with it and reads them back at start-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bvm {

// Encodes len bytes into out (out_size bytes), always NUL-terminated when
// out_size is at least 1. Groups of four characters are written only while a
// byte stays free for the NUL, so a short buffer cuts the text at a group
// boundary, silently; 4 * ceil(len / 3) + 1 bytes always suffice. With
// out_size 4 or less the result is the empty text.
void bv_base64_encode(const uint8_t* data, size_t len, char* out, size_t out_size) noexcept;

// The whole encoding of len bytes. Throws std::bad_alloc when memory is short.
std::string bv_base64_string(const uint8_t* data, size_t len);

// Decodes the NUL-terminated text. The first "=" ends it, whatever follows;
// pad characters are optional and leftover bits (fewer than 8) are dropped.
// On success *out holds exactly the decoded bytes (empty text: no bytes).
// Fails, leaving *out untouched, on any byte outside the alphabet before the
// first "=" (spaces, line breaks, "-" and "_" included), on a null argument
// and when memory is short.
[[nodiscard]] bool fs_b64_decode(const char* text, std::vector<uint8_t>* out) noexcept;

}  // namespace bvm
