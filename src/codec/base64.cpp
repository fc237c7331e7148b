// Base64 encoder and decoder sharing one alphabet. The decoder's reverse
// table is computed at compile time, so no thread ever builds it.
#include "codec/base64.h"

#include <array>
#include <cstring>
#include <new>
#include <utility>

#include "base/alloc.h"

namespace bvm {
namespace {

constexpr char B64_TABLE[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of each byte in B64_TABLE, -1 for every other byte.
constexpr std::array<int8_t, 256> build_decode_table() noexcept {
  std::array<int8_t, 256> table{};
  for (auto& entry : table) entry = -1;
  for (size_t i = 0; i < 64; ++i) {
    table[static_cast<unsigned char>(B64_TABLE[i])] = static_cast<int8_t>(i);
  }
  return table;
}

constexpr std::array<int8_t, 256> B64_DECODE = build_decode_table();

}  // namespace

void bv_base64_encode(const uint8_t* data, size_t len, char* out, size_t out_size) noexcept {
  if (out_size == 0) return;
  size_t pos = 0;
  if (len > 0 && out_size > 4) {
    for (size_t i = 0; i < len; i += 3) {
      if (pos + 4 >= out_size) break;  // keep a byte for the NUL
      size_t rest = len - i;
      uint32_t group = uint32_t{data[i]} << 16;
      if (rest > 1) group |= uint32_t{data[i + 1]} << 8;
      if (rest > 2) group |= uint32_t{data[i + 2]};
      out[pos] = B64_TABLE[group >> 18 & 63u];
      out[pos + 1] = B64_TABLE[group >> 12 & 63u];
      out[pos + 2] = rest > 1 ? B64_TABLE[group >> 6 & 63u] : '=';
      out[pos + 3] = rest > 2 ? B64_TABLE[group & 63u] : '=';
      pos += 4;
    }
  }
  out[pos] = '\0';
}

std::string bv_base64_string(const uint8_t* data, size_t len) {
  // Sized as the storage writers size their buffers.
  std::string text(((len + 2) / 3) * 4 + 8, '\0');
  bv_base64_encode(data, len, text.data(), text.size());
  text.resize(std::strlen(text.c_str()));
  return text;
}

bool fs_b64_decode(const char* text, std::vector<uint8_t>* out) noexcept {
  if (text == nullptr || out == nullptr) return false;
  size_t n = std::strlen(text);
  // n characters never give more than floor(3n / 4) bytes.
  std::vector<uint8_t> bytes;
  if (alloc_should_fail()) return false;
  try {
    bytes.resize(n / 4 * 3 + 4);
  } catch (const std::bad_alloc&) {
    return false;
  }

  size_t produced = 0;
  uint32_t pending = 0;  // the low `bits` bits are not yet emitted
  unsigned bits = 0;
  for (const char* p = text; *p != '\0' && *p != '='; ++p) {
    int8_t value = B64_DECODE[static_cast<unsigned char>(*p)];
    if (value < 0) return false;
    pending = pending << 6 | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes[produced++] = static_cast<uint8_t>(pending >> bits);
      pending &= (1u << bits) - 1;
    }
  }
  bytes.resize(produced);  // shrinking never allocates
  *out = std::move(bytes);
  return true;
}

}  // namespace bvm
