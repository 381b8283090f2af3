// One owner for a handle that must be given back exactly once: a file
// descriptor, a Core Foundation reference. Not thread-safe by itself: one owner
// at a time, moved between threads by value.
#pragma once

#include <utility>

namespace velto {

// Traits name the handle type, its empty value and how to give one back:
//   struct Traits { using Handle = ...; static Handle empty(); static void free(Handle); };
template <typename Traits>
class ScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  ScopedHandle() = default;
  explicit ScopedHandle(Handle handle) : handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~ScopedHandle() { reset(); }

  Handle get() const { return handle_; }
  bool valid() const { return handle_ != Traits::empty(); }
  explicit operator bool() const { return valid(); }

  // Gives up ownership without freeing.
  Handle release() { return std::exchange(handle_, Traits::empty()); }

  // Frees the held handle (if any) and takes `handle`.
  void reset(Handle handle = Traits::empty()) {
    if (valid()) Traits::free(handle_);
    handle_ = handle;
  }

  // For creation functions that hand their result back through a pointer: frees
  // the held handle and lends the slot.
  Handle* out() {
    reset();
    return &handle_;
  }

 private:
  Handle handle_ = Traits::empty();
};

}  // namespace velto
