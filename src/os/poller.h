// Readiness waiting: epoll, level-triggered, plus a wake-up descriptor that
// other threads use to cut a wait short. Works for descriptors of any value.
#pragma once

#include <cstdint>

#include "os/socket.h"

namespace bvm::os {

inline constexpr uint32_t POLL_IN = 1;
inline constexpr uint32_t POLL_OUT = 2;
// Hang-up or error: reported as readable too, so the receive finds it.
inline constexpr uint32_t POLL_ERR = 4;

struct poll_event {
  void* tag;
  uint32_t events;
};

class poller {
 public:
  poller() = default;
  poller(const poller&) = delete;
  poller& operator=(const poller&) = delete;

  // Creates the epoll instance and the wake-up descriptor.
  [[nodiscard]] bool open() noexcept;
  void close() noexcept;

  // Registers fd with the events of interest (POLL_IN, POLL_OUT) and a tag
  // that the wait reports back.
  [[nodiscard]] bool add(int fd, uint32_t events, void* tag) noexcept;
  void modify(int fd, uint32_t events, void* tag) noexcept;
  void remove(int fd) noexcept;

  // Waits at most timeout_ms; fills up to max events and returns their
  // number (0 on time-out, -1 on failure). Wake-ups are consumed here and
  // not reported.
  int wait(poll_event* out, int max, int timeout_ms) noexcept;

  // Makes a concurrent or the next wait return at once. Any thread.
  void wake() noexcept;

 private:
  unique_fd epoll_;
  unique_fd wake_fd_;
};

}  // namespace bvm::os
