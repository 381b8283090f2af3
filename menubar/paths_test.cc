// Icon paths from the process environment. The socket and log paths, the
// process test reads off the real agent.
#include "menubar/paths.h"

#include <gtest/gtest.h>

#include "menubar/fake_platform.h"

namespace velto {
namespace {

TEST(Paths, IconDirectory) {
  struct Case {
    const char* name;
    std::optional<std::string> envValue;
    std::optional<std::string> executable;
    std::string expected;
  };
  const Case cases[] = {
      {"bundle layout", {}, "/A/v.app/Contents/MacOS/agent", "/A/v.app/Contents/Resources/menubar"},
      {"override, kept unchanged", "rel//dir/", "/A/b/c", "rel//dir/"},
      {"empty override counts as unset", "", "/A/b/c", "/A/Resources/menubar"},
      {"no executable", {}, {}, ""},
      {"executable at the top", {}, "/agent", "/Resources/menubar"},
  };
  for (const Case& c : cases) {
    FakeProcessInfo process;
    if (c.envValue) process.environment["VELTOVPN_MENUBAR_ICON_DIR"] = *c.envValue;
    process.executable = c.executable;
    EXPECT_EQ(iconDirFor(process), c.expected) << c.name;
  }
}

// The plain cases show in the icon paths of the controller's and process tests.
TEST(Paths, JoinUsesExactlyOneSeparator) {
  EXPECT_EQ(joinPath("/icons//", "a.png"), "/icons/a.png");
  EXPECT_EQ(joinPath("/", "a.png"), "/a.png");
  EXPECT_EQ(joinPath("", "a.png"), "a.png");
}

}  // namespace
}  // namespace velto
