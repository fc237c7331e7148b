// Bounded reads from a packet's variable header and payload.
//
// Every read of untrusted packet bytes goes through a reader, which returns
// false at the end of the Remaining Length instead of reading past it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bvm {

struct packet_reader {
  const uint8_t* data;  // the Remaining Length bytes
  size_t len;
  size_t pos = 0;

  size_t remaining() const noexcept { return pos < len ? len - pos : 0; }
  bool at_end() const noexcept { return pos >= len; }

  bool read_u8(uint8_t* v) noexcept {
    if (remaining() < 1) return false;
    *v = data[pos++];
    return true;
  }
  bool read_u16(uint16_t* v) noexcept {
    if (remaining() < 2) return false;
    *v = static_cast<uint16_t>((data[pos] << 8) | data[pos + 1]);
    pos += 2;
    return true;
  }
  // An MQTT string: two length bytes, then that many bytes. False (and pos
  // unchanged) when the length field is missing; when only the bytes are
  // missing, the length field is consumed and *fits is false.
  bool read_str(const uint8_t** bytes, size_t* n, bool* fits) noexcept {
    uint16_t l;
    if (!read_u16(&l)) return false;
    if (remaining() < l) {
      *fits = false;
      return true;
    }
    *fits = true;
    *bytes = data + pos;
    *n = l;
    pos += l;
    return true;
  }
  // Skips an MQTT 5 property section when it can be measured; when its
  // length runs past the bytes present, it is taken as absent.
  void skip_properties() noexcept;
};

}  // namespace bvm
