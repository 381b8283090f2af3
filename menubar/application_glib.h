// Application on a GLib main loop (the default main context), as GTK uses it
// and as the agent runs without a display. Threads as in platform.h.
#pragma once

#include "menubar/platform.h"

typedef struct _GMainLoop GMainLoop;

namespace velto {

class GLibApplication final : public Application {
 public:
  GLibApplication();
  ~GLibApplication() override;

  void setAccessoryPolicy() override {}  // no Dock on Linux: the tray item is all there is
  void run() override;
  void postToMain(std::function<void()> block) override;
  void terminate() override;

 private:
  GMainLoop* loop_;
};

}  // namespace velto
