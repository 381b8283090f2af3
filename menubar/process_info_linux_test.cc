// The Linux per-user temporary directory.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "menubar/platform.h"

namespace velto {
namespace {

TEST(LinuxProcessInfo, TemporaryDirectoryEndsInOneSlash) {
  const char* saved = ::getenv("TMPDIR");
  std::optional<std::string> restore = saved ? std::optional<std::string>(saved) : std::nullopt;
  struct Case {
    std::optional<std::string> tmpdir;
    std::string expected;
  };
  const Case cases[] = {
      {{}, "/tmp/"}, {"", "/tmp/"}, {"/var/tmp", "/var/tmp/"}, {"/var/tmp/", "/var/tmp/"},
      {"/var/tmp//", "/var/tmp/"}, {"/", "/"},
  };
  for (const Case& c : cases) {
    if (c.tmpdir) ::setenv("TMPDIR", c.tmpdir->c_str(), 1); else ::unsetenv("TMPDIR");
    EXPECT_EQ(systemProcessInfo().temporaryDirectory(), c.expected) << c.tmpdir.value_or("(unset)");
  }
  if (restore) ::setenv("TMPDIR", restore->c_str(), 1); else ::unsetenv("TMPDIR");
}

TEST(LinuxProcessInfo, ExecutablePathIsThisProgram) {
  std::optional<std::string> path = systemProcessInfo().executablePath();
  ASSERT_TRUE(path.has_value());
  EXPECT_NE(path->find("menubar_tests"), std::string::npos) << *path;
}

}  // namespace
}  // namespace velto
