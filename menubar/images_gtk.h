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
  ~GtkIconImage() override;
  // An icon theme name or an absolute file path, as the indicator takes it.
  const std::string& icon() const { return icon_; }

 private:
  std::string icon_;
  std::string ownedFile_;
};

class GtkImages final : public Images {
 public:
  // Drawn images are written below `temporaryDirectory` (ending in "/").
  explicit GtkImages(std::string temporaryDirectory) : temporaryDirectory_(std::move(temporaryDirectory)) {}
  // Checks that the file decodes as an image; the panel scales it to its own
  // icon size and draws it as given, since trays have no template images.
  ImagePtr loadTemplate(const std::string& path, int points) override;
  // "network-vpn-symbolic" from the icon theme, when the theme has it.
  ImagePtr fallbackSymbol() override;
  ImagePtr drawnLetter(std::string_view letter) override;

 private:
  std::string temporaryDirectory_;
};

}  // namespace velto
