// The status item as an AppIndicator (StatusNotifierItem) with a GtkMenu,
// exported over D-Bus to the desktop's tray. Main thread.
#pragma once

#include <deque>
#include <vector>

#include "menubar/platform.h"

typedef struct _AppIndicator AppIndicator;
typedef struct _GtkWidget GtkWidget;

namespace velto {

class GtkStatusItem final : public StatusItem {
 public:
  // REQUIRES: GTK is initialised.
  GtkStatusItem();
  ~GtkStatusItem() override;

  MenuItemId addItem(std::string_view title, std::function<void()> action,
                     std::string_view keyEquivalent) override;
  void addSeparator() override;
  void setTitle(MenuItemId item, std::string_view title) override;
  void setHidden(MenuItemId item, bool hidden) override;
  void setEnabled(MenuItemId item, bool enabled) override;
  void attachMenu() override;
  void setImage(const ImagePtr& image) override;

 private:
  GtkWidget* widget(MenuItemId item) const;

  AppIndicator* indicator_;
  GtkWidget* menu_;
  std::vector<GtkWidget*> items_;               // indexed by MenuItemId
  std::deque<std::function<void()>> actions_;   // stable addresses for the signal handlers
};

}  // namespace velto
