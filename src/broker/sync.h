// An annotated mutex and its scoped lock.
//
// The wrapper exists so that clang's -Wthread-safety can check GUARDED_BY and
// REQUIRES; under gcc the annotations expand to nothing. std::mutex is
// constexpr-constructible and trivially destructible in libstdc++, so every
// broker lock is ready before the first call and is never destroyed.
#pragma once

#include <mutex>

#if defined(__clang__)
#define BV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define BV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) BV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY BV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) BV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) BV_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) BV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) BV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) BV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) BV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS BV_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace bvm {

class CAPABILITY("mutex") mutex {
 public:
  constexpr mutex() noexcept = default;
  mutex(const mutex&) = delete;
  mutex& operator=(const mutex&) = delete;
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  std::mutex& native() { return m_; }

 private:
  std::mutex m_;
};

class SCOPED_CAPABILITY lock_guard {
 public:
  explicit lock_guard(mutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~lock_guard() RELEASE() { m_.unlock(); }
  lock_guard(const lock_guard&) = delete;
  lock_guard& operator=(const lock_guard&) = delete;

 private:
  mutex& m_;
};

}  // namespace bvm
