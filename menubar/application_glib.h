// Application on a GLib main loop (the default main context), as GTK uses it
// and as the agent runs without a display. Threads as in platform.h.
#pragma once

#include <deque>

#include "common/mutex.h"
#include "common/scoped_handle.h"
#include "common/thread_annotations.h"
#include "menubar/platform.h"

typedef struct _GMainLoop GMainLoop;

namespace velto {

struct MainLoopTraits {
  using Handle = GMainLoop*;
  static Handle empty() { return nullptr; }
  static void free(Handle loop);  // in application_glib.cc, which sees GLib
};

class GLibApplication final : public Application {
 public:
  GLibApplication();
  ~GLibApplication() override;

  void setAccessoryPolicy() override {}  // no Dock on Linux: the tray item is all there is
  void run() override;
  void postToMain(std::function<void()> block) override;
  void terminate() override;

 private:
  static int drain(void* self);

  ScopedHandle<MainLoopTraits> loop_;
  // Blocks hand over through this queue and its mutex rather than through
  // GLib's own locking, so that the hand-over is plain C++ (and visible to
  // ThreadSanitizer); one idle source at a time runs them on the main thread.
  Mutex mutex_;
  std::deque<std::function<void()>> blocks_ VELTO_GUARDED_BY(mutex_);
  unsigned drainSource_ VELTO_GUARDED_BY(mutex_) = 0;  // GLib source id, 0 when none is attached
};

}  // namespace velto
