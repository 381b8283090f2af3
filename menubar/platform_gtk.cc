// The Linux platform with a GTK tray, or without one when no display can be
// opened. Main thread, once.
#include <gtk/gtk.h>
#include <stdlib.h>

#include "menubar/application_glib.h"
#include "menubar/headless_services.h"
#include "menubar/images_gtk.h"
#include "menubar/running_applications_linux.h"
#include "menubar/status_item_gtk.h"

namespace velto {

MenubarPlatform createMenubarPlatform() {
  // With GL on, GTK maps Mesa and LLVM at start (tens of megabytes resident)
  // for a process that only draws a menu.
  ::setenv("GDK_GL", "disable", /*overwrite=*/0);

  MenubarPlatform platform;
  platform.application = std::make_unique<GLibApplication>();
  platform.runningApplications = std::make_unique<LinuxRunningApplications>();
  if (gtk_init_check(nullptr, nullptr)) {
    platform.statusItem = std::make_unique<GtkStatusItem>();
    platform.images = std::make_unique<GtkImages>(systemProcessInfo().temporaryDirectory());
  } else {
    platform.statusItem = std::make_unique<HeadlessStatusItem>();
    platform.images = std::make_unique<HeadlessImages>();
    platform.notice = "no display \u2014 running without a tray icon";
  }
  return platform;
}

}  // namespace velto
