// GLibApplication: event loop and main-thread queue on GLib's default main
// context. run/terminate on the main thread; postToMain from any thread.
#include "menubar/application_glib.h"

#include <glib.h>

namespace velto {

void MainLoopTraits::free(GMainLoop* loop) { g_main_loop_unref(loop); }

GLibApplication::GLibApplication() : loop_(g_main_loop_new(nullptr, FALSE)) {}

GLibApplication::~GLibApplication() {
  {
    MutexLock lock(mutex_);
    if (drainSource_ != 0) g_source_remove(drainSource_);
    drainSource_ = 0;
    blocks_.clear();
  }
}

void GLibApplication::run() { g_main_loop_run(loop_.get()); }

void GLibApplication::postToMain(std::function<void()> block) {
  MutexLock lock(mutex_);
  blocks_.push_back(std::move(block));
  // An idle source on the default context, never g_main_context_invoke: invoke
  // runs the function at once on the calling thread whenever that thread can
  // acquire the context, which the connection thread can before the loop runs.
  if (drainSource_ == 0) drainSource_ = g_idle_add_full(G_PRIORITY_DEFAULT, drain, this, nullptr);
}

int GLibApplication::drain(void* data) {
  auto* self = static_cast<GLibApplication*>(data);
  for (;;) {
    std::function<void()> block;
    {
      MutexLock lock(self->mutex_);
      if (self->blocks_.empty()) {
        self->drainSource_ = 0;
        return G_SOURCE_REMOVE;
      }
      block = std::move(self->blocks_.front());
      self->blocks_.pop_front();
    }
    block();
  }
}

void GLibApplication::terminate() { g_main_loop_quit(loop_.get()); }

}  // namespace velto
