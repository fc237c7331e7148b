#include "base/text.h"

namespace bvm {

void copy_text(char* dst, size_t n, const char* src) noexcept {
  if (n == 0) return;
  size_t len = src == nullptr ? 0 : strnlen(src, n - 1);
  if (len > 0) std::memcpy(dst, src, len);
  dst[len] = '\0';
}

void copy_text(char* dst, size_t n, const void* src, size_t len) noexcept {
  if (n == 0) return;
  size_t limit = len < n - 1 ? len : n - 1;
  size_t k = src == nullptr ? 0 : strnlen(static_cast<const char*>(src), limit);
  if (k > 0) std::memcpy(dst, src, k);
  dst[k] = '\0';
}

}  // namespace bvm
