// Images on macOS: PNG files through NSImage, the system symbol, and a letter
// drawn into an image of its own. Main thread.
#include "menubar/services_mac.h"

#import <AppKit/AppKit.h>

#include "common/strings_mac.h"
#include "menubar/image_mac.h"

namespace velto {

namespace {

class MacImages final : public Images {
 public:
  ImagePtr loadTemplate(const std::string& path, int points) override {
    NSImage* image = [[NSImage alloc] initWithContentsOfFile:toNSString(path)];
    if (image == nil) return nullptr;
    image.size = NSMakeSize(points, points);
    [image setTemplate:YES];
    return std::make_shared<MacImage>(image);
  }

  ImagePtr fallbackSymbol() override {
    NSImage* image = [NSImage imageWithSystemSymbolName:@"shield.lefthalf.filled"
                               accessibilityDescription:@"veltoVpn"];
    if (image == nil) return nullptr;
    [image setTemplate:YES];  // the platform's own size is kept
    return std::make_shared<MacImage>(image);
  }

  ImagePtr drawnLetter(std::string_view letter) override {
    NSImage* image = [[NSImage alloc] initWithSize:NSMakeSize(16, 16)];
    [image lockFocus];
    // The image's own coordinates are unflipped: (2, 0) is 2 points from the
    // left edge, on the bottom edge.
    [toNSString(letter) drawAtPoint:NSMakePoint(2, 0)
                     withAttributes:@{
                       NSFontAttributeName : [NSFont systemFontOfSize:13
                                                               weight:NSFontWeightSemibold],
                       NSForegroundColorAttributeName : [NSColor blackColor],
                     }];
    [image unlockFocus];
    [image setTemplate:YES];
    return std::make_shared<MacImage>(image);
  }
};

}  // namespace

std::unique_ptr<Images> makeMacImages() { return std::make_unique<MacImages>(); }

}  // namespace velto
