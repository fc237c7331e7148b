// Sockets: the only code that makes socket system calls.
//
// All sockets are non-blocking and close-on-exec. Sends never raise SIGPIPE
// (the library leaves the host's signal handling alone).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bvm::os {

// Owns one file descriptor.
class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) noexcept : fd_(fd) {}
  ~unique_fd() { reset(); }
  unique_fd(unique_fd&& o) noexcept : fd_(o.release()) {}
  unique_fd& operator=(unique_fd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

enum class listen_error { none, socket_failed, bind_failed, listen_failed };

struct listen_result {
  unique_fd fd;
  listen_error error = listen_error::none;
};

// An IPv4 stream listener on 0.0.0.0:port with SO_REUSEADDR.
listen_result tcp_listen(uint16_t port, int backlog) noexcept;

// Accepts one pending connection as a non-blocking socket; invalid when
// there is none or accept failed.
unique_fd tcp_accept(int listen_fd) noexcept;

// TCP_NODELAY on an accepted socket; failures are ignored.
void set_nodelay(int fd) noexcept;

// Shuts the socket down for both directions (the peer sees the close at
// once, even if another descriptor still refers to the socket).
void shutdown_both(int fd) noexcept;

// Result of one receive: bytes > 0; 0 = orderly close by the peer;
// IO_WOULD_BLOCK = nothing to read now; IO_ERROR = the connection broke.
inline constexpr long IO_WOULD_BLOCK = -2;
inline constexpr long IO_ERROR = -1;
long recv_some(int fd, uint8_t* buf, size_t n) noexcept;

// Writes what the socket takes now: the count written (0 when it would
// block), or IO_ERROR when the connection broke.
long send_some(int fd, const uint8_t* bytes, size_t n) noexcept;

// The local port a socket is bound to, or -1.
int local_port(int fd) noexcept;

// Text of an errno value, thread-safe.
std::string error_text(int err);

}  // namespace bvm::os
