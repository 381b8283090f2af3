#include "launcher/host_processes.h"

#include <gtest/gtest.h>
#include <regex.h>

namespace velto::launcher {
namespace {

bool matchesExtended(const std::string& pattern, const std::string& text) {
  regex_t regex;
  EXPECT_EQ(regcomp(&regex, pattern.c_str(), REG_EXTENDED | REG_NOSUB), 0) << pattern;
  bool matched = regexec(&regex, text.c_str(), 0, nullptr, 0) == 0;
  regfree(&regex);
  return matched;
}

TEST(HostProcessesTest, PathsInSignalOrder) {
  EXPECT_EQ(
      hostProcessPaths("/Applications/veltoVpn.app"),
      (std::vector<std::string>{
          "/Applications/veltoVpn.app/Contents/MacOS/veltoVpn-bin",
          "/Applications/veltoVpn.app/Contents/MacOS/extensions/veltoExtension/bin/index-darwin",
          "/Applications/veltoVpn.app/Contents/MacOS/veltovpn-menubar",
      }));
}

TEST(HostProcessesTest, BundlePathForExecutable) {
  EXPECT_EQ(bundlePathForExecutable("/Applications/Velto (2).app/Contents/MacOS/VeltoVpnLauncher"),
            "/Applications/Velto (2).app");
  EXPECT_EQ(bundlePathForExecutable("/opt/velto/bin/VeltoVpnLauncher"), "/opt/velto/bin");
}

// The escaped pattern matches the literal path, anchored at both ends, and none of
// the near misses that the unescaped text would also match.
TEST(HostProcessesTest, EscapedPatternMatchesExactlyThePath) {
  struct Case {
    std::string path;
    std::vector<std::string> nearMisses;
  } cases[] = {
      {"/Applications/Velto (2).app/Contents/MacOS/veltoVpn-bin",
       {"/Applications/Velto 2.app/Contents/MacOS/veltoVpn-bin",
        "/Applications/Velto (2)Xapp/Contents/MacOS/veltoVpn-bin"}},
      {"/Apps/a+b.app", {"/Apps/aab.app", "/Apps/a+bXapp"}},
      {"/x/[y]/{2}/a*b?c|d^e$f\\g", {"/x/y/{2}/a*b?c|d^e$f\\g", "/x/[y]/yy/aab?c"}},
  };
  for (const Case& c : cases) {
    std::string pattern = escapeExtendedRegex(c.path);
    EXPECT_TRUE(matchesExtended("^" + pattern + "$", c.path)) << pattern;
    EXPECT_TRUE(matchesExtended(pattern, "/bin/bash " + c.path + " --path=/x")) << pattern;
    for (const std::string& other : c.nearMisses) {
      EXPECT_FALSE(matchesExtended(pattern, other)) << pattern << " vs " << other;
    }
  }
}

}  // namespace
}  // namespace velto::launcher
