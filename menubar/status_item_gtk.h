// The status item as an AppIndicator (StatusNotifierItem) with a GtkMenu,
// exported over D-Bus to the desktop's tray. Main thread.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "common/scoped_handle.h"
#include "menubar/platform.h"

typedef struct _AppIndicator AppIndicator;
typedef struct _GtkWidget GtkWidget;

namespace velto {

// Holders for the item's two GObjects, given back in status_item_gtk.cc.
struct IndicatorTraits {
  using Handle = AppIndicator*;
  static Handle empty() { return nullptr; }
  static void free(Handle indicator);
};
struct MenuTraits {
  using Handle = GtkWidget*;
  static Handle empty() { return nullptr; }
  static void free(Handle menu);  // destroys the menu, then drops the item's reference
};

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
  void setDescription(std::string_view text) override;
  // Follows the owner of the StatusNotifierWatcher name on the session bus.
  void watchHost(std::function<void(bool present)> changed) override;

 private:
  GtkWidget* widget(MenuItemId item) const;
  void showIcon();

  ScopedHandle<IndicatorTraits> indicator_;
  ScopedHandle<MenuTraits> menu_;
  std::string icon_;         // what the indicator shows, by name or path
  std::string themePath_;    // the item's icon theme path as last set
  std::string description_;  // the icon's accessible description
  std::function<void(bool present)> hostChanged_;
  unsigned hostWatch_ = 0;                     // 0: not watching
  std::vector<GtkWidget*> items_;              // indexed by MenuItemId
  std::deque<std::function<void()>> actions_;  // stable addresses for the signal handlers
};

}  // namespace velto
