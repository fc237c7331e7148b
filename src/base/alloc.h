// Allocation helpers with defined results on failure.
//
// Records and buffers whose allocation may fail under memory pressure (client
// records, input buffers, WebSocket buffers, subscriptions, retained
// messages, queued messages) are created here, so that failure is a null
// result the caller handles, never an exception, and so that tests can make
// the Nth allocation fail on purpose.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace bvm {

// Test seam: makes the nth following checked allocation fail (1 = the next
// one); 0 switches failure injection off.
void test_fail_nth_alloc(int n) noexcept;

// True when failure injection wants the current allocation to fail.
bool alloc_should_fail() noexcept;

// Creates a T, or returns null when memory is short. The caller owns the
// result and releases it with destroy().
template <class T, class... Args>
[[nodiscard]] T* try_new(Args&&... args) noexcept {
  if (alloc_should_fail()) return nullptr;
  try {
    return new (std::nothrow) T(std::forward<Args>(args)...);
  } catch (...) {
    return nullptr;
  }
}

template <class T>
void destroy(T* p) noexcept {
  delete p;
}

}  // namespace bvm
