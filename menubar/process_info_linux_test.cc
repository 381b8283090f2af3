// The Linux process facts.
#include <gtest/gtest.h>

#include "menubar/platform.h"

namespace velto {
namespace {

TEST(LinuxProcessInfo, ExecutablePathIsThisProgram) {
  Result<std::string> path = systemProcessInfo().executablePath();
  ASSERT_TRUE(path.ok()) << path.error().message();
  EXPECT_NE(path->find("menubar_tests"), std::string::npos) << *path;
}

}  // namespace
}  // namespace velto
