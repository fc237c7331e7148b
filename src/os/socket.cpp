#include "os/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bvm::os {

void unique_fd::reset(int fd) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

listen_result tcp_listen(uint16_t port, int backlog) noexcept {
  listen_result r;
  r.fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!r.fd) {
    r.error = listen_error::socket_failed;
    return r;
  }
  int one = 1;
  ::setsockopt(r.fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  if (::bind(r.fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    r.fd.reset();
    r.error = listen_error::bind_failed;
    return r;
  }
  if (::listen(r.fd.get(), backlog) != 0) {
    r.fd.reset();
    r.error = listen_error::listen_failed;
  }
  return r;
}

unique_fd tcp_accept(int listen_fd) noexcept {
  for (;;) {
    int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0 || errno != EINTR) return unique_fd(fd);
  }
}

void set_nodelay(int fd) noexcept {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void shutdown_both(int fd) noexcept {
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

long recv_some(int fd, uint8_t* buf, size_t n) noexcept {
  for (;;) {
    ssize_t r = ::recv(fd, buf, n, 0);
    if (r >= 0) return static_cast<long>(r);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return IO_WOULD_BLOCK;
    return IO_ERROR;
  }
}

long send_some(int fd, const uint8_t* bytes, size_t n) noexcept {
  for (;;) {
    ssize_t r = ::send(fd, bytes, n, MSG_NOSIGNAL);
    if (r >= 0) return static_cast<long>(r);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return IO_ERROR;
  }
}

int local_port(int fd) noexcept {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
  return ntohs(addr.sin_port);
}

std::string error_text(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = ::strerror_r(err, buf, sizeof buf);
  return text;
}

}  // namespace bvm::os
