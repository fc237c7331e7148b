#include "base/byte_buf.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"

namespace bvm {

byte_buf::~byte_buf() { std::free(data_); }

byte_buf::byte_buf(byte_buf&& other) noexcept
    : data_(other.data_), len_(other.len_), cap_(other.cap_) {
  other.data_ = nullptr;
  other.len_ = other.cap_ = 0;
}

byte_buf& byte_buf::operator=(byte_buf&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = other.data_;
    len_ = other.len_;
    cap_ = other.cap_;
    other.data_ = nullptr;
    other.len_ = other.cap_ = 0;
  }
  return *this;
}

bool byte_buf::reserve_exact(size_t cap) noexcept {
  if (cap < len_) cap = len_;
  if (cap == cap_) return true;
  if (alloc_should_fail()) return false;
  void* p = std::realloc(data_, cap == 0 ? 1 : cap);
  if (p == nullptr) return false;
  data_ = static_cast<uint8_t*>(p);
  cap_ = cap;
  return true;
}

void byte_buf::append_within_capacity(const uint8_t* bytes, size_t n) noexcept {
  assert(len_ + n <= cap_);
  if (n > 0) std::memcpy(data_ + len_, bytes, n);
  len_ += n;
}

bool byte_buf::append(const uint8_t* bytes, size_t n) noexcept {
  if (len_ + n > cap_) {
    size_t want = cap_ * 2;
    if (want < len_ + n) want = len_ + n;
    if (!reserve_exact(want)) return false;
  }
  append_within_capacity(bytes, n);
  return true;
}

bool byte_buf::assign_with_nul(const uint8_t* bytes, size_t n) noexcept {
  if (n == SIZE_MAX) return false;  // no room for the NUL: n + 1 would wrap to 0
  // Reuse the block when it fits without wasting much: the history ring
  // copies every routed payload into a slot that held a similar one.
  if (cap_ >= n + 1 && cap_ / 2 <= n + 64) {
    if (n != 0) std::memmove(data_, bytes, n);
    data_[n] = 0;
    len_ = n;
    return true;
  }
  byte_buf fresh;
  if (!fresh.reserve_exact(n + 1)) return false;
  fresh.append_within_capacity(bytes, n);
  fresh.data_[n] = 0;
  *this = std::move(fresh);
  return true;
}

void byte_buf::consume_front(size_t n) noexcept {
  assert(n <= len_);
  if (n >= len_) {
    len_ = 0;
    return;
  }
  std::memmove(data_, data_ + n, len_ - n);
  len_ -= n;
}

void byte_buf::reset() noexcept {
  std::free(data_);
  data_ = nullptr;
  len_ = cap_ = 0;
}

}  // namespace bvm
