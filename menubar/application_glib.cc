// GLibApplication: event loop and main-thread queue on GLib's default main
// context. run/terminate on the main thread; postToMain from any thread.
#include "menubar/application_glib.h"

#include <glib.h>

namespace velto {

namespace {

gboolean runBlock(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}

void deleteBlock(gpointer data) { delete static_cast<std::function<void()>*>(data); }

}  // namespace

GLibApplication::GLibApplication() : loop_(g_main_loop_new(nullptr, FALSE)) {}

GLibApplication::~GLibApplication() { g_main_loop_unref(loop_); }

void GLibApplication::run() { g_main_loop_run(loop_); }

void GLibApplication::postToMain(std::function<void()> block) {
  // Always through a queued source, never g_main_context_invoke: invoke runs the
  // block at once on the calling thread when that thread can acquire the
  // context, which the connection thread can before the loop has started.
  // Sources of one priority are dispatched in the order they were attached.
  g_idle_add_full(G_PRIORITY_DEFAULT, runBlock, new std::function<void()>(std::move(block)), deleteBlock);
}

void GLibApplication::terminate() { g_main_loop_quit(loop_); }

}  // namespace velto
