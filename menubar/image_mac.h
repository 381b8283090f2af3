// The NSImage behind the agent's opaque Image, shared by images_mac.mm, which
// makes them, and status_item_mac.mm, which shows them. Objective-C++ only.
#pragma once

#import <AppKit/AppKit.h>

#include "menubar/platform.h"

namespace velto {

class MacImage final : public Image {
 public:
  explicit MacImage(NSImage* image) : image_(image) {}
  NSImage* nsImage() const { return image_; }

 private:
  NSImage* image_;
};

}  // namespace velto
