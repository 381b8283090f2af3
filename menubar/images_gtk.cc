// GtkImages: icon files checked with gdk-pixbuf, the theme's VPN symbol, and a
// letter drawn with cairo. Main thread.
#include "menubar/images_gtk.h"

#include <cairo.h>
#include <gtk/gtk.h>
#include <stdlib.h>
#include <unistd.h>

#include "menubar/paths.h"

namespace velto {

namespace {

constexpr char kFallbackIconName[] = "network-vpn-symbolic";
constexpr double kLetterPoints = 16;
constexpr int kLetterScale = 2;  // pixels per point, for sharp rendering on dense panels

}  // namespace

GtkIconImage::~GtkIconImage() {
  if (!ownedFile_.empty()) ::unlink(ownedFile_.c_str());
}

namespace {

bool decodes(const std::string& path, int points) {
  GError* error = nullptr;
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file_at_size(path.c_str(), points, points, &error);
  if (!pixbuf) {
    g_clear_error(&error);
    return false;
  }
  g_object_unref(pixbuf);
  return true;
}

// The indicator and the panel want absolute paths; a relative one (or none)
// is taken from the working directory, as the loads here do.
std::string absolutePath(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  char* cwd = g_get_current_dir();
  std::string absolute = path.empty() ? std::string(cwd) : joinPath(cwd, path);
  g_free(cwd);
  return absolute;
}

}  // namespace

ImagePtr GtkImages::loadTemplate(const std::string& path, int points) {
  if (!decodes(path, points)) return nullptr;
  return std::make_shared<GtkIconImage>(absolutePath(path));
}

ImagePtr GtkImages::loadSymbolic(const std::string& directory, const std::string& name) {
  constexpr int kCheckPixels = 16;
  if (decodes(joinPath(directory, name + ".svg"), kCheckPixels)) {
    return GtkIconImage::named(name, absolutePath(directory));
  }
  GtkIconTheme* theme = gtk_icon_theme_get_default();
  if (theme && gtk_icon_theme_has_icon(theme, name.c_str())) return GtkIconImage::named(name, "");
  return nullptr;
}

ImagePtr GtkImages::fallbackSymbol() {
  GtkIconTheme* theme = gtk_icon_theme_get_default();
  if (!theme || !gtk_icon_theme_has_icon(theme, kFallbackIconName)) return nullptr;
  return std::make_shared<GtkIconImage>(kFallbackIconName);
}

ImagePtr GtkImages::drawnLetter(std::string_view letter) {
  const int pixels = static_cast<int>(kLetterPoints) * kLetterScale;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pixels, pixels);
  cairo_t* cr = cairo_create(surface);
  cairo_scale(cr, kLetterScale, kLetterScale);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr, 13);
  cairo_set_source_rgb(cr, 0, 0, 0);
  // The letter's box sits on the bottom edge, 2 points from the left: its
  // baseline is one descent above the bottom.
  cairo_font_extents_t extents;
  cairo_font_extents(cr, &extents);
  cairo_move_to(cr, 2, kLetterPoints - extents.descent);
  std::string text(letter);
  cairo_show_text(cr, text.c_str());
  cairo_destroy(cr);

  std::string path = temporaryDirectory_ + "veltovpn-menubar-icon-XXXXXX.png";
  int fd = ::mkstemps(path.data(), 4);
  std::shared_ptr<GtkIconImage> image;
  if (fd >= 0) {
    ::close(fd);
    if (cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS) {
      image = std::make_shared<GtkIconImage>(path, path);
    } else {
      ::unlink(path.c_str());
    }
  }
  cairo_surface_destroy(surface);
  // Without a file there is nothing the indicator could show; the theme's
  // generic icon name keeps the item visible.
  if (!image) image = std::make_shared<GtkIconImage>("image-missing");
  return image;
}

}  // namespace velto
