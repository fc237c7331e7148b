// Fixed-size text fields.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace bvm {

// Fills dst (n bytes) exactly as snprintf(dst, n, "%s", src) would: the copy
// stops at the first NUL of src and is cut at n - 1 bytes. A null src gives
// the empty text.
void copy_text(char* dst, size_t n, const char* src) noexcept;

// The same for bytes that are not NUL-terminated: at most len bytes are
// considered, and a NUL among them still ends the text.
void copy_text(char* dst, size_t n, const void* src, size_t len) noexcept;

template <size_t N>
void copy_text(char (&dst)[N], const char* src) noexcept {
  copy_text(dst, N, src);
}
template <size_t N>
void copy_text(char (&dst)[N], const void* src, size_t len) noexcept {
  copy_text(dst, N, src, len);
}

}  // namespace bvm
