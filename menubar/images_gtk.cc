// GtkImages: icon files checked with gdk-pixbuf, the theme's VPN symbol, and a
// letter drawn with cairo. Main thread.
#include "menubar/images_gtk.h"

#include <cairo.h>
#include <gtk/gtk.h>
#include <stdlib.h>
#include <unistd.h>

#include "common/scoped_handle.h"
#include "menubar/paths.h"

namespace velto {

namespace {

constexpr char kFallbackIconName[] = "network-vpn-symbolic";
constexpr double kLetterPoints = 16;
constexpr int kLetterScale = 2;  // pixels per point, for sharp rendering on dense panels

// cairo declares no g_autoptr cleanup on every release we build on, so its
// objects get holders of their own.
struct CairoSurfaceTraits {
  using Handle = cairo_surface_t*;
  static Handle empty() { return nullptr; }
  static void free(Handle surface) { cairo_surface_destroy(surface); }
};
struct CairoTraits {
  using Handle = cairo_t*;
  static Handle empty() { return nullptr; }
  static void free(Handle cr) { cairo_destroy(cr); }
};
using CairoSurface = ScopedHandle<CairoSurfaceTraits>;
using Cairo = ScopedHandle<CairoTraits>;

}  // namespace

GtkIconImage::~GtkIconImage() {
  if (!ownedFile_.empty()) ::unlink(ownedFile_.c_str());
}

namespace {

bool decodes(const std::string& path, int points) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GdkPixbuf) pixbuf =
      gdk_pixbuf_new_from_file_at_size(path.c_str(), points, points, &error);
  return pixbuf != nullptr;
}

// The indicator and the panel want absolute paths; a relative one (or none)
// is taken from the working directory, as the loads here do.
std::string absolutePath(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  g_autofree char* cwd = g_get_current_dir();
  return path.empty() ? std::string(cwd) : joinPath(cwd, path);
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
  CairoSurface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pixels, pixels));
  {
    Cairo cr(cairo_create(surface.get()));
    cairo_scale(cr.get(), kLetterScale, kLetterScale);
    cairo_select_font_face(cr.get(), "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr.get(), 13);
    cairo_set_source_rgb(cr.get(), 0, 0, 0);
    // The letter's box sits on the bottom edge, 2 points from the left: its
    // baseline is one descent above the bottom.
    cairo_font_extents_t extents;
    cairo_font_extents(cr.get(), &extents);
    cairo_move_to(cr.get(), 2, kLetterPoints - extents.descent);
    std::string text(letter);
    cairo_show_text(cr.get(), text.c_str());
  }

  std::string path = temporaryDirectory_ + "veltovpn-menubar-icon-XXXXXX.png";
  int fd = ::mkstemps(path.data(), 4);
  std::shared_ptr<GtkIconImage> image;
  if (fd >= 0) {
    ::close(fd);
    if (cairo_surface_write_to_png(surface.get(), path.c_str()) == CAIRO_STATUS_SUCCESS) {
      image = std::make_shared<GtkIconImage>(path, path);
    } else {
      ::unlink(path.c_str());
    }
  }
  // Without a file there is nothing the indicator could show; the theme's
  // generic icon name keeps the item visible.
  if (!image) image = std::make_shared<GtkIconImage>("image-missing");
  return image;
}

}  // namespace velto
