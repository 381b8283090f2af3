// A holder whose object is built in place and never destroyed. For process-wide
// objects that other threads may still use while the process exits: exit() runs
// static destructors on the exiting thread while a queue's worker may still be
// logging to a path. Construction of a function-local static is thread-safe;
// using the object afterwards is as safe as the object itself.
#pragma once

#include <new>
#include <utility>

namespace velto {

template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;
  // Trivial: the held object is left as it is when the process ends.
  ~NoDestructor() = default;

  T& operator*() { return *get(); }
  const T& operator*() const { return *get(); }
  T* operator->() { return get(); }
  const T* operator->() const { return get(); }
  T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }
  const T* get() const { return std::launder(reinterpret_cast<const T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace velto
