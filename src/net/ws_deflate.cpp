// zlib raw deflate and inflate for permessage-deflate.
#include "net/ws_deflate.h"

#include <cstring>

#include "base/alloc.h"
#include "broker/sync.h"

// zlib then takes its input through pointers to const.
#define ZLIB_CONST
#include <zlib.h>

namespace bvm {

struct ws_inflate_stream {
  ws_inflate_stream() = default;
  ~ws_inflate_stream() {
    if (ready) inflateEnd(&z);
  }
  ws_inflate_stream(const ws_inflate_stream&) = delete;
  ws_inflate_stream& operator=(const ws_inflate_stream&) = delete;

  z_stream z{};
  bool ready = false;  // inflateInit2 succeeded: inflateEnd is owed
};

// The one outbound deflate stream, shared by all clients: it is reset after
// each packet and never carries context from one packet to the next. It has
// a lock of its own rather than relying on s_mutex, which every broker send
// holds, so that a caller without the broker lock (a test peer compressing
// its own frames next to a running broker) cannot corrupt it; the lock is
// taken last and alone, and uncontended it costs next to nothing beside the
// compression. A plain pointer rather than an object with a destructor:
// nothing is torn down at exit or unload while the network thread may still
// be sending; a broker stop frees it.
struct shared_deflater {
  shared_deflater() = default;
  ~shared_deflater() {
    if (ready) deflateEnd(&z);
  }
  shared_deflater(const shared_deflater&) = delete;
  shared_deflater& operator=(const shared_deflater&) = delete;

  z_stream z{};
  bool ready = false;  // deflateInit2 succeeded: deflateEnd is owed
};

namespace {

constinit mutex g_deflater_mutex;
constinit shared_deflater* g_deflater GUARDED_BY(g_deflater_mutex) = nullptr;

void release_locked() noexcept REQUIRES(g_deflater_mutex) {
  destroy(g_deflater);
  g_deflater = nullptr;
}

// Raw deflate: no zlib header or checksum, 32 KiB window.
constexpr int RAW_WINDOW_BITS = -15;
constexpr int DEFAULT_MEM_LEVEL = 8;
// Free space kept in the inflate output before each step, and its first size.
constexpr size_t INFLATE_MIN_FREE = 4096;
constexpr size_t INFLATE_FIRST_SIZE = 8192;
// Output offered to deflate per step; the first buffer has room for a
// quarter of the input on top of it.
constexpr size_t DEFLATE_STEP = 16384;
constexpr size_t DEFLATE_FIRST_EXTRA = 16448;

// Grows *out so that at least INFLATE_MIN_FREE bytes are free, unless it
// already holds the cap. False when memory is short.
bool make_inflate_room(byte_buf* out, size_t limit) noexcept {
  size_t cap = out->capacity();
  if (cap - out->size() >= INFLATE_MIN_FREE || cap >= limit) return true;
  size_t want = cap == 0 ? INFLATE_FIRST_SIZE : cap * 2;
  if (want < out->size() + INFLATE_MIN_FREE) want = out->size() + INFLATE_MIN_FREE;
  if (want > limit) want = limit;
  return out->reserve_exact(want);
}

}  // namespace

ws_inflate_stream* ws_inflate_create() noexcept {
  ws_inflate_stream* s = try_new<ws_inflate_stream>();
  if (s == nullptr) return nullptr;
  if (inflateInit2(&s->z, RAW_WINDOW_BITS) != Z_OK) {
    destroy(s);
    return nullptr;
  }
  s->ready = true;
  return s;
}

void ws_inflate_free(ws_inflate_stream* s) noexcept { destroy(s); }

bool ws_inflate_append(ws_inflate_stream* s, const uint8_t* in, size_t in_len, byte_buf* out,
                       size_t limit) noexcept {
  z_stream& z = s->z;
  z.next_in = in;
  z.avail_in = static_cast<uInt>(in_len);  // a frame is at most about 1 MiB
  for (;;) {
    if (!make_inflate_room(out, limit)) return false;
    // Full at the cap: the message inflates past what a connection may hold.
    if (out->size() >= out->capacity()) return false;
    size_t space = out->capacity() - out->size();
    z.next_out = out->data() + out->size();
    z.avail_out = static_cast<uInt>(space);
    int r = inflate(&z, Z_SYNC_FLUSH);
    size_t produced = space - z.avail_out;
    out->set_size(out->size() + produced);
    if (r == Z_STREAM_END) {
      // The client ended its deflate stream: the next message starts afresh.
      inflateReset(&z);
      return true;
    }
    if (r == Z_OK) {
      if (z.avail_in > 0 || z.avail_out == 0) continue;
      return true;
    }
    if (r == Z_BUF_ERROR) {
      if (z.avail_in == 0) return true;
      if (produced == 0) return false;
      if (z.avail_out == 0) continue;
      return false;
    }
    return false;
  }
}

bool ws_deflate_packet(const uint8_t* bytes, size_t len, size_t headroom, byte_buf* out) noexcept {
  lock_guard lock(g_deflater_mutex);
  shared_deflater* d = g_deflater;
  if (d == nullptr) {
    d = try_new<shared_deflater>();
    if (d == nullptr) return false;
    if (deflateInit2(&d->z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, RAW_WINDOW_BITS, DEFAULT_MEM_LEVEL,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
      destroy(d);
      return false;
    }
    d->ready = true;
    g_deflater = d;
  }
  z_stream& z = d->z;
  out->clear();
  // The buffer only grows: a reused one keeps its capacity from packet to
  // packet, and the bytes produced never depend on it (see below).
  size_t first = headroom + len / 4 + DEFLATE_FIRST_EXTRA;
  bool ok = first <= out->capacity() || out->reserve_exact(first);
  if (ok) {
    out->set_size(headroom);
    z.next_in = bytes;
    z.avail_in = static_cast<uInt>(len);  // packets are at most about 1 MiB
    z.next_out = out->data() + headroom;
    z.avail_out = static_cast<uInt>(DEFLATE_STEP);
    for (;;) {
      if (z.avail_out == 0) {
        // The output steps stay 16 KiB whatever the buffer holds, so the
        // bytes produced do not depend on how the buffer happened to grow.
        size_t want = out->size() + DEFLATE_STEP;
        if (want > out->capacity() && !out->reserve_exact(want)) {
          ok = false;
          break;
        }
        z.next_out = out->data() + out->size();
        z.avail_out = static_cast<uInt>(DEFLATE_STEP);
      }
      uInt offered = z.avail_out;
      int r = deflate(&z, Z_SYNC_FLUSH);
      out->set_size(out->size() + (offered - z.avail_out));
      if (r == Z_STREAM_END && z.avail_in == 0) break;
      if (r != Z_OK) {
        ok = false;
        break;
      }
      if (z.avail_in == 0 && z.avail_out > 0) break;
    }
  }
  // Reset for the next packet whatever happened: after deflateReset the
  // stream compresses exactly like a freshly initialised one, without
  // allocating its 256 KiB again. Should the reset fail, the next packet
  // starts from a new stream.
  if (deflateReset(&z) != Z_OK) release_locked();
  if (!ok) return false;
  size_t produced = out->size() - headroom;
  if (produced >= sizeof WS_DEFLATE_TRAILER &&
      std::memcmp(out->data() + out->size() - sizeof WS_DEFLATE_TRAILER, WS_DEFLATE_TRAILER,
                  sizeof WS_DEFLATE_TRAILER) == 0) {
    out->set_size(out->size() - sizeof WS_DEFLATE_TRAILER);
  }
  return true;
}

void ws_deflate_release() noexcept {
  lock_guard lock(g_deflater_mutex);
  release_locked();
}

}  // namespace bvm
