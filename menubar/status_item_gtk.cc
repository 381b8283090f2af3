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

}  // namespace

GtkStatusItem::GtkStatusItem()
    : indicator_(app_indicator_new(kIndicatorId, "network-vpn-symbolic",
                                   APP_INDICATOR_CATEGORY_APPLICATION_STATUS)),
      menu_(gtk_menu_new()) {
  g_object_ref_sink(menu_);
  app_indicator_set_title(indicator_, kTitle);
  app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);
}

GtkStatusItem::~GtkStatusItem() {
  if (hostWatch_ != 0) g_bus_unwatch_name(hostWatch_);
  g_object_unref(indicator_);
  gtk_widget_destroy(menu_);
  g_object_unref(menu_);
  // The agent usually ends right after a menu choice (Quit closes the bridge):
  // send what is still queued on the session bus, the reply to that click and
  // the item's removal among it, before the process goes.
  if (GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
    g_dbus_connection_flush_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
  }
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
  gtk_menu_shell_append(GTK_MENU_SHELL(menu_), item);
  items_.push_back(item);
  return static_cast<MenuItemId>(items_.size() - 1);
}

void GtkStatusItem::addSeparator() {
  GtkWidget* separator = gtk_separator_menu_item_new();
  gtk_widget_show(separator);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu_), separator);
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

void GtkStatusItem::attachMenu() { app_indicator_set_menu(indicator_, GTK_MENU(menu_)); }

void GtkStatusItem::setImage(const ImagePtr& image) {
  const auto* icon = dynamic_cast<const GtkIconImage*>(image.get());
  if (!icon) return;
  // Set only on change: each change makes the panel reload its icon theme.
  if (!icon->themePath().empty() && icon->themePath() != themePath_) {
    themePath_ = icon->themePath();
    app_indicator_set_icon_theme_path(indicator_, themePath_.c_str());
  }
  icon_ = icon->icon();
  showIcon();
}

void GtkStatusItem::setDescription(std::string_view text) {
  description_ = text;
  if (!icon_.empty()) showIcon();
}

void GtkStatusItem::showIcon() {
  app_indicator_set_icon_full(indicator_, icon_.c_str(),
                              description_.empty() ? kTitle : description_.c_str());
}

void GtkStatusItem::watchHost(std::function<void(bool present)> changed) {
  if (hostWatch_ != 0) g_bus_unwatch_name(hostWatch_);
  hostChanged_ = std::move(changed);
  hostWatch_ = g_bus_watch_name(G_BUS_TYPE_SESSION, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                onWatcherAppeared, onWatcherVanished, &hostChanged_, nullptr);
}

}  // namespace velto
