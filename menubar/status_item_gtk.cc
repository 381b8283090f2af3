// GtkStatusItem: AppIndicator + GtkMenu. Main thread.
#include "menubar/status_item_gtk.h"

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include <string>

#include "menubar/images_gtk.h"

namespace velto {

namespace {

constexpr char kIndicatorId[] = "veltovpn-menubar";
constexpr char kTitle[] = "veltoVpn";
constexpr char kWatcherName[] = "org.kde.StatusNotifierWatcher";

void onActivate(GtkMenuItem*, gpointer data) { (*static_cast<std::function<void()>*>(data))(); }

void onWatcherAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer data) {
  (*static_cast<std::function<void(bool)>*>(data))(true);
}

// Also called, with no connection, when there is no session bus at all.
void onWatcherVanished(GDBusConnection*, const gchar*, gpointer data) {
  (*static_cast<std::function<void(bool)>*>(data))(false);
}

// libayatana-appindicator3 0.5.94 (Debian 13) marks its whole API deprecated in
// favour of libayatana-appindicator-glib, a GLib-only successor that takes a
// GMenuModel instead of a GtkMenu; Debian does not ship it yet, and 0.5.92
// (Debian 12) has no such marks. Every call goes through these wrappers, so the
// warning is silenced here and nowhere else. Once the successor is packaged:
// AppIndicator from it, the menu as a GMenu with actions, and these go.
G_GNUC_BEGIN_IGNORE_DEPRECATIONS

AppIndicator* newIndicator() {
  AppIndicator* indicator = app_indicator_new(kIndicatorId, "network-vpn-symbolic",
                                              APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
  app_indicator_set_title(indicator, kTitle);
  app_indicator_set_status(indicator, APP_INDICATOR_STATUS_ACTIVE);
  return indicator;
}

void setIndicatorMenu(AppIndicator* indicator, GtkWidget* menu) {
  app_indicator_set_menu(indicator, GTK_MENU(menu));
}

void setIndicatorThemePath(AppIndicator* indicator, const char* path) {
  app_indicator_set_icon_theme_path(indicator, path);
}

void setIndicatorIcon(AppIndicator* indicator, const char* icon, const char* description) {
  app_indicator_set_icon_full(indicator, icon, description);
}

G_GNUC_END_IGNORE_DEPRECATIONS

}  // namespace

void IndicatorTraits::free(AppIndicator* indicator) { g_object_unref(indicator); }

void MenuTraits::free(GtkWidget* menu) {
  gtk_widget_destroy(menu);
  g_object_unref(menu);
}

GtkStatusItem::GtkStatusItem() : indicator_(newIndicator()), menu_(gtk_menu_new()) {
  g_object_ref_sink(menu_.get());
}

GtkStatusItem::~GtkStatusItem() {
  if (hostWatch_ != 0) g_bus_unwatch_name(hostWatch_);
  indicator_.reset();
  menu_.reset();
  // The agent usually ends right after a menu choice (Quit closes the bridge):
  // send what is still queued on the session bus, the reply to that click and
  // the item's removal among it, before the process goes.
  g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus) g_dbus_connection_flush_sync(bus, nullptr, nullptr);
}

MenuItemId GtkStatusItem::addItem(std::string_view title, std::function<void()> action,
                                  std::string_view) {
  GtkWidget* item = gtk_menu_item_new_with_label(std::string(title).c_str());
  if (action) {
    actions_.push_back(std::move(action));
    g_signal_connect(item, "activate", G_CALLBACK(onActivate), &actions_.back());
  }
  // Shown now, before any item is hidden: the exported menu then knows every
  // item, and hiding one later only flips its visibility.
  gtk_widget_show(item);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu_.get()), item);
  items_.push_back(item);
  return static_cast<MenuItemId>(items_.size() - 1);
}

void GtkStatusItem::addSeparator() {
  GtkWidget* separator = gtk_separator_menu_item_new();
  gtk_widget_show(separator);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu_.get()), separator);
}

GtkWidget* GtkStatusItem::widget(MenuItemId item) const {
  if (item < 0 || static_cast<size_t>(item) >= items_.size()) return nullptr;
  return items_[static_cast<size_t>(item)];
}

void GtkStatusItem::setTitle(MenuItemId item, std::string_view title) {
  if (GtkWidget* w = widget(item))
    gtk_menu_item_set_label(GTK_MENU_ITEM(w), std::string(title).c_str());
}

void GtkStatusItem::setHidden(MenuItemId item, bool hidden) {
  if (GtkWidget* w = widget(item)) gtk_widget_set_visible(w, !hidden);
}

void GtkStatusItem::setEnabled(MenuItemId item, bool enabled) {
  if (GtkWidget* w = widget(item)) gtk_widget_set_sensitive(w, enabled);
}

void GtkStatusItem::attachMenu() { setIndicatorMenu(indicator_.get(), menu_.get()); }

void GtkStatusItem::setImage(const ImagePtr& image) {
  const auto* icon = dynamic_cast<const GtkIconImage*>(image.get());
  if (!icon) return;
  // Set only on change: each change makes the panel reload its icon theme.
  if (!icon->themePath().empty() && icon->themePath() != themePath_) {
    themePath_ = icon->themePath();
    setIndicatorThemePath(indicator_.get(), themePath_.c_str());
  }
  icon_ = icon->icon();
  showIcon();
}

void GtkStatusItem::setDescription(std::string_view text) {
  description_ = text;
  if (!icon_.empty()) showIcon();
}

void GtkStatusItem::showIcon() {
  setIndicatorIcon(indicator_.get(), icon_.c_str(),
                   description_.empty() ? kTitle : description_.c_str());
}

void GtkStatusItem::watchHost(std::function<void(bool present)> changed) {
  if (hostWatch_ != 0) g_bus_unwatch_name(hostWatch_);
  hostChanged_ = std::move(changed);
  hostWatch_ = g_bus_watch_name(G_BUS_TYPE_SESSION, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                onWatcherAppeared, onWatcherVanished, &hostChanged_, nullptr);
}

}  // namespace velto
