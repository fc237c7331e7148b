// permessage-deflate (RFC 7692): raw inflate of client messages into the
// MQTT byte stream, and raw deflate of outgoing packets.
//
// This file and its .cpp are the only code that knows zlib. The inflate
// stream is per connection and keeps its window from message to message
// (the client may compress with context takeover). Every outgoing packet is
// compressed as if by a fresh stream, so the client never needs our context;
// one shared stream, reset after each packet, does that without allocating.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/byte_buf.h"

namespace bvm {

// Owns one raw-inflate z_stream; ends it when destroyed.
struct ws_inflate_stream;

// The bytes a sync flush ends with: appended to a message's final frame
// before inflating, stripped from outgoing payloads.
inline constexpr uint8_t WS_DEFLATE_TRAILER[4] = {0x00, 0x00, 0xFF, 0xFF};

// A raw-inflate stream (window bits 15); null when memory is short or zlib
// refuses to initialise.
ws_inflate_stream* ws_inflate_create() noexcept;

// Ends and frees an inflate stream (null is fine).
void ws_inflate_free(ws_inflate_stream* s) noexcept;

// Inflates one frame's data (with the trailer already appended when it is a
// message's final frame) and appends the output to *out. *out grows by
// doubling, keeping 4096 bytes free before each step, never past `limit`
// bytes. The end of a deflate stream resets the stream for the next
// message; input after it is ignored. False on corrupt data, on output that
// does not fit under the cap and when memory is short; *out then holds
// whatever was produced before the failure.
[[nodiscard]] bool ws_inflate_append(ws_inflate_stream* s, const uint8_t* in, size_t in_len,
                                     byte_buf* out, size_t limit) noexcept;

// Compresses one packet with a sync flush, without the final 00 00 FF FF,
// byte for byte as a freshly initialised raw-deflate stream would. The
// result is written to *out after `headroom` leading bytes (left for a frame
// header), so out->size() is headroom + compressed length; *out keeps its
// capacity, so a reused buffer stops allocating. False when zlib or memory
// fails (*out may then hold partial output); the caller sends the packet
// uncompressed. Any thread may call it: the shared stream has its own lock.
[[nodiscard]] bool ws_deflate_packet(const uint8_t* bytes, size_t len, size_t headroom,
                                     byte_buf* out) noexcept;

// Frees the shared deflate stream (about 256 KiB); the next packet creates
// it again. Called at broker stop.
void ws_deflate_release() noexcept;

}  // namespace bvm
