// The status item and images used when there is nowhere to show them (no
// display, or a build without a tray). The protocol runs as usual; nothing is
// drawn. Main thread.
#pragma once

#include "menubar/platform.h"

namespace velto {

class HeadlessStatusItem final : public StatusItem {
 public:
  MenuItemId addItem(std::string_view, std::function<void()>, std::string_view) override {
    return next_++;
  }
  void addSeparator() override {}
  void setTitle(MenuItemId, std::string_view) override {}
  void setHidden(MenuItemId, bool) override {}
  void setEnabled(MenuItemId, bool) override {}
  void attachMenu() override {}
  void setImage(const ImagePtr&) override {}

 private:
  MenuItemId next_ = 0;
};

// Checks that an icon file is a readable PNG (signature and header chunk), so
// that a missing or broken file is reported as it would be with a display.
class HeadlessImages final : public Images {
 public:
  ImagePtr loadTemplate(const std::string& path, int points) override;
  ImagePtr fallbackSymbol() override { return nullptr; }
  ImagePtr drawnLetter(std::string_view letter) override;
};

}  // namespace velto
