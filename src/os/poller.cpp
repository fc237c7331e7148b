#include "os/poller.h"

#include <errno.h>
#include <stdint.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace bvm::os {
namespace {

uint32_t to_epoll(uint32_t events) {
  uint32_t e = 0;
  if (events & POLL_IN) e |= EPOLLIN | EPOLLRDHUP;
  if (events & POLL_OUT) e |= EPOLLOUT;
  return e;
}

}  // namespace

bool poller::open() noexcept {
  epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
  wake_fd_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!epoll_ || !wake_fd_) {
    close();
    return false;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = this;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_fd_.get(), &ev) != 0) {
    close();
    return false;
  }
  return true;
}

void poller::close() noexcept {
  epoll_.reset();
  wake_fd_.reset();
}

bool poller::add(int fd, uint32_t events, void* tag) noexcept {
  epoll_event ev{};
  ev.events = to_epoll(events);
  ev.data.ptr = tag;
  return ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) == 0;
}

void poller::modify(int fd, uint32_t events, void* tag) noexcept {
  epoll_event ev{};
  ev.events = to_epoll(events);
  ev.data.ptr = tag;
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &ev);
}

void poller::remove(int fd) noexcept { ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr); }

int poller::wait(poll_event* out, int max, int timeout_ms) noexcept {
  constexpr int BATCH = 256;
  epoll_event evs[BATCH];
  int want = max < BATCH ? max : BATCH;
  int n = ::epoll_wait(epoll_.get(), evs, want, timeout_ms);
  if (n < 0) return errno == EINTR ? 0 : -1;
  int k = 0;
  for (int i = 0; i < n; ++i) {
    if (evs[i].data.ptr == this) {
      uint64_t drained;
      while (::read(wake_fd_.get(), &drained, sizeof drained) > 0) {
      }
      continue;
    }
    uint32_t e = 0;
    if (evs[i].events & (EPOLLIN | EPOLLRDHUP)) e |= POLL_IN;
    if (evs[i].events & EPOLLOUT) e |= POLL_OUT;
    if (evs[i].events & (EPOLLERR | EPOLLHUP)) e |= POLL_ERR | POLL_IN;
    out[k++] = poll_event{evs[i].data.ptr, e};
  }
  return k;
}

void poller::wake() noexcept {
  uint64_t one = 1;
  ssize_t r = ::write(wake_fd_.get(), &one, sizeof one);
  (void)r;  // a full counter already guarantees a wake-up
}

}  // namespace bvm::os
