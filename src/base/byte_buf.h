// A growable byte buffer that reports allocation failure instead of throwing.
//
// Used for every buffer whose growth the protocol bounds and whose failure
// has a defined result: client input and output, WebSocket reassembly and
// inflated data, payload copies. The caller decides the growth policy
// (the caps differ per use); this class only performs it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace bvm {

class byte_buf {
 public:
  byte_buf() = default;
  ~byte_buf();
  byte_buf(const byte_buf&) = delete;
  byte_buf& operator=(const byte_buf&) = delete;
  byte_buf(byte_buf&& other) noexcept;
  byte_buf& operator=(byte_buf&& other) noexcept;

  uint8_t* data() noexcept { return data_; }
  const uint8_t* data() const noexcept { return data_; }
  size_t size() const noexcept { return len_; }
  size_t capacity() const noexcept { return cap_; }
  bool empty() const noexcept { return len_ == 0; }
  std::span<const uint8_t> view() const noexcept { return {data_, len_}; }

  // Sets the allocated size to exactly cap bytes (never below size()).
  // Returns false, leaving the buffer unchanged, when memory is short.
  [[nodiscard]] bool reserve_exact(size_t cap) noexcept;

  // Appends n bytes; the capacity must already suffice.
  void append_within_capacity(const uint8_t* bytes, size_t n) noexcept;

  // Appends n bytes, growing to max(2 x capacity, needed) when required.
  [[nodiscard]] bool append(const uint8_t* bytes, size_t n) noexcept;

  // Replaces the contents with a copy of the bytes followed by one NUL byte
  // that is not counted in size(), so the copy also reads as a C text.
  [[nodiscard]] bool assign_with_nul(const uint8_t* bytes, size_t n) noexcept;

  // Removes the first n bytes, moving the rest to the front.
  void consume_front(size_t n) noexcept;

  void set_size(size_t n) noexcept { len_ = n; }
  void clear() noexcept { len_ = 0; }
  // Frees the memory; size and capacity become 0.
  void reset() noexcept;

 private:
  uint8_t* data_ = nullptr;
  size_t len_ = 0;
  size_t cap_ = 0;
};

}  // namespace bvm
