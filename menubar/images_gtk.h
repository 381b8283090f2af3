// Images for the GTK tray. The indicator shows icons by theme name or file
// path, so an image here is such a name or path; a drawn image is written to a
// private file that lives as long as the image. Main thread.
#pragma once

#include <string>

#include "menubar/platform.h"

namespace velto {

class GtkIconImage final : public Image {
 public:
  // `ownedFile`, when not empty, is removed with the image.
  explicit GtkIconImage(std::string icon, std::string ownedFile = {})
      : icon_(std::move(icon)), ownedFile_(std::move(ownedFile)) {}
  // A theme name whose file lies in `themePath`, a folder outside the
  // installed icon themes; the panel looks there for it.
  static std::shared_ptr<GtkIconImage> named(std::string name, std::string themePath) {
    auto image = std::make_shared<GtkIconImage>(std::move(name));
    image->themePath_ = std::move(themePath);
    return image;
  }
  ~GtkIconImage() override;
  // An icon theme name or an absolute file path, as the indicator takes it.
  const std::string& icon() const { return icon_; }
  // Empty when the icon is found in the icon themes or is a path.
  const std::string& themePath() const { return themePath_; }

 private:
  std::string icon_;
  std::string themePath_;
  std::string ownedFile_;
};

class GtkImages final : public Images {
 public:
  // Drawn images are written below `temporaryDirectory` (ending in "/").
  explicit GtkImages(std::string temporaryDirectory)
      : temporaryDirectory_(std::move(temporaryDirectory)) {}
  // Checks that the file decodes as an image; the panel scales it to its own
  // icon size and draws it as given, since trays have no template images.
  ImagePtr loadTemplate(const std::string& path, int points) override;
  // "network-vpn-symbolic" from the icon theme, when the theme has it.
  ImagePtr fallbackSymbol() override;
  ImagePtr drawnLetter(std::string_view letter) override;
  // By theme name, with the folder as the item's theme path when the file is
  // there (a bundle or build tree), else when the icon theme has it (installed).
  ImagePtr loadSymbolic(const std::string& directory, const std::string& name) override;

 private:
  std::string temporaryDirectory_;
};

}  // namespace velto
