// StatusItem on macOS: an NSStatusItem of square length whose NSMenu items send
// their action to a small target object that runs the controller's function.
// Main thread.
#include "menubar/services_mac.h"

#import <AppKit/AppKit.h>

#include <utility>
#include <vector>

#include "common/strings_mac.h"
#include "menubar/image_mac.h"

// Target of one menu item: AppKit sends it perform: on the main thread when the
// user chooses the item.
@interface VeltoMenuAction : NSObject
- (instancetype)initWithAction:(std::function<void()>)action;
- (void)perform:(id)sender;
@end

@implementation VeltoMenuAction {
  std::function<void()> _action;
}

- (instancetype)initWithAction:(std::function<void()>)action {
  if ((self = [super init])) _action = std::move(action);
  return self;
}

- (void)perform:(id)sender {
  (void)sender;
  _action();
}

@end

namespace velto {

namespace {

class MacStatusItem final : public StatusItem {
 public:
  MacStatusItem() {
    menu_ = [[NSMenu alloc] init];
    // Items are enabled and disabled by setEnabled alone, not by AppKit's
    // validation of their actions.
    menu_.autoenablesItems = NO;
  }

  MenuItemId addItem(std::string_view title, std::function<void()> action,
                     std::string_view keyEquivalent) override {
    NSMenuItem* item = [[NSMenuItem alloc]
        initWithTitle:toNSString(title)
               action:(action ? @selector(perform:) : nil)keyEquivalent:toNSString(keyEquivalent)];
    if (action) {
      VeltoMenuAction* target = [[VeltoMenuAction alloc] initWithAction:std::move(action)];
      item.target = target;
      targets_.push_back(target);  // a menu item does not keep its target alive
    }
    [menu_ addItem:item];
    items_.push_back(item);
    return static_cast<MenuItemId>(items_.size() - 1);
  }

  void addSeparator() override { [menu_ addItem:[NSMenuItem separatorItem]]; }

  void setTitle(MenuItemId id, std::string_view title) override {
    if (NSMenuItem* item = find(id)) item.title = toNSString(title);
  }

  void setHidden(MenuItemId id, bool hidden) override {
    if (NSMenuItem* item = find(id)) item.hidden = hidden;
  }

  void setEnabled(MenuItemId id, bool enabled) override {
    if (NSMenuItem* item = find(id)) item.enabled = enabled;
  }

  void attachMenu() override { statusItem().menu = menu_; }

  void setImage(const ImagePtr& image) override {
    NSStatusBarButton* button = statusItem().button;
    if (button == nil) return;
    const auto* macImage = dynamic_cast<const MacImage*>(image.get());
    button.image = macImage ? macImage->nsImage() : nil;
  }

  void setDescription(std::string_view text) override {
    NSStatusBarButton* button = statusItem().button;
    if (button == nil) return;
    // The button shows only a template image: VoiceOver reads this label, and
    // the pointer resting on the icon shows the same words.
    NSString* description = toNSString(text);
    button.accessibilityLabel = description;
    button.toolTip = description;
  }

 private:
  // Made on first use, so that it appears only once the application has its
  // activation policy.
  NSStatusItem* statusItem() {
    if (statusItem_ == nil) {
      statusItem_ = [[NSStatusBar systemStatusBar] statusItemWithLength:NSSquareStatusItemLength];
    }
    return statusItem_;
  }

  NSMenuItem* find(MenuItemId id) const {
    if (id < 0 || static_cast<size_t>(id) >= items_.size()) return nil;
    return items_[static_cast<size_t>(id)];
  }

  NSStatusItem* statusItem_ = nil;
  NSMenu* menu_ = nil;
  std::vector<NSMenuItem*> items_;
  std::vector<VeltoMenuAction*> targets_;
};

}  // namespace

std::unique_ptr<StatusItem> makeMacStatusItem() { return std::make_unique<MacStatusItem>(); }

}  // namespace velto
