// Helpers shared by the fuzz targets: an invariant check that crashes the
// run (so libFuzzer saves the input), a cursor over the input, and a
// connected socket pair for client records whose sends must succeed.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Aborts with the failed condition; libFuzzer reports it as a crash.
#define FUZZ_CHECK(cond)                                                                \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

namespace fuzz {

// Reads the input front to back. Past the end every read gives 0.
struct cursor {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;

  size_t left() const { return size - pos; }
  bool done() const { return pos >= size; }
  uint8_t byte() { return pos < size ? data[pos++] : 0; }
  uint16_t u16() {
    uint16_t hi = byte();
    return static_cast<uint16_t>(hi << 8 | byte());
  }
  // The next chunk: a length byte b, then b + 1 bytes (b = 255: all that is
  // left), cut short by the end of the input.
  const uint8_t* chunk(size_t* n) {
    size_t want = byte();
    want = want == 255 ? left() : want + 1;
    if (want > left()) want = left();
    const uint8_t* p = data + pos;
    pos += want;
    *n = want;
    return p;
  }
};

// A connected non-blocking Unix stream pair: `ours` goes into a client
// record (which closes it), `peer` is read and discarded by drain().
struct socket_pair {
  int ours = -1;
  int peer = -1;
  int given = -1;  // the end handed to a record

  socket_pair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
      std::perror("socketpair");
      std::abort();
    }
    ours = fds[0];
    peer = fds[1];
  }
  ~socket_pair() {
    if (ours >= 0) ::close(ours);
    if (peer >= 0) ::close(peer);
  }
  socket_pair(const socket_pair&) = delete;
  socket_pair& operator=(const socket_pair&) = delete;

  // Hands the broker's end over to a unique_fd; the record closes it.
  int release_ours() {
    given = ours;
    ours = -1;
    return given;
  }

  // True when the end handed over has been closed (no descriptor leaked);
  // valid as long as no descriptor was opened since.
  bool given_closed() const {
    return given < 0 || (::fcntl(given, F_GETFD) == -1 && errno == EBADF);
  }

  // Reads and drops whatever the broker wrote; returns the byte count.
  size_t drain() const {
    size_t total = 0;
    uint8_t buf[65536];
    for (;;) {
      ssize_t n = ::recv(peer, buf, sizeof buf, 0);
      if (n <= 0) return total;
      total += static_cast<size_t>(n);
    }
  }
};

}  // namespace fuzz
