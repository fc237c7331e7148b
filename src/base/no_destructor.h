// Holds a T that is constructed on first use and never destroyed, for
// module-wide objects that are not trivially destructible (threads): their
// destructors must not run at exit or unload while a thread may use them.
#pragma once

#include <new>
#include <utility>

namespace bvm {

template <class T>
class no_destructor {
 public:
  template <class... Args>
  explicit no_destructor(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  no_destructor(const no_destructor&) = delete;
  no_destructor& operator=(const no_destructor&) = delete;

  T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }
  T& operator*() { return *get(); }
  T* operator->() { return get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace bvm
