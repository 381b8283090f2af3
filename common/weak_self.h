// What a block queued for later holds instead of `this`: once its owner is gone,
// the block finds nothing and does nothing. The owner creates and resets it on
// its own thread; guarded blocks may be copied to any thread and must run on the
// thread that may call the owner.
#pragma once

#include <memory>
#include <utility>

namespace velto {

template <typename T>
class WeakSelf {
 public:
  explicit WeakSelf(T* owner) : self_(std::make_shared<T*>(owner)) {}
  WeakSelf(const WeakSelf&) = delete;
  WeakSelf& operator=(const WeakSelf&) = delete;

  // `f`, called with the owner first, wrapped so that it runs only while the
  // owner lives.
  template <typename F>
  auto guard(F f) const {
    return [weak = std::weak_ptr<T*>(self_), f = std::move(f)](auto&&... args) {
      if (std::shared_ptr<T*> self = weak.lock()) f(**self, std::forward<decltype(args)>(args)...);
    };
  }

  // For the owner's destructor: blocks that run from now on do nothing.
  void reset() { self_.reset(); }

 private:
  std::shared_ptr<T*> self_;
};

}  // namespace velto
