#include "launcher/handoff.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/paths.h"
#include "common/testing/temp_dir.h"
#include "launcher/file_system.h"

namespace velto::launcher {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

TEST(HandoffTest, ForwardedArguments) {
  const std::string main = "/B/Contents/MacOS/veltoVpn-bin";
  const std::string dir = "/B/Contents/MacOS";
  const std::string path = "--path=" + dir;
  const std::string res = "--res-mode=bundle";
  struct Case {
    const char* name;
    Args args;
    Args expected;
  } cases[] = {
      {"empty argument list", {}, {main, path, res}},
      {"extra arguments keep their order before the added ones",
       {"L", "/Users/u/doc.velto", "--unknown", "--unknown"},
       {main, "/Users/u/doc.velto", "--unknown", "--unknown", path, res}},
      {"own --path wins, even empty", {"L", "--path="}, {main, "--path=", res}},
      {"own --res-mode wins", {"L", "--res-mode=dev"}, {main, "--res-mode=dev", path}},
      {"both given, in any place, nothing added",
       {"L", "--res-mode=dev", "--path=/x"},
       {main, "--res-mode=dev", "--path=/x"}},
      {"prefix needs the equals sign",
       {"L", "--path", "--res-mode"},
       {main, "--path", "--res-mode", path, res}},
      {"prefix is case-sensitive", {"L", "--PATH=/x"}, {main, "--PATH=/x", path, res}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(forwardedArguments(main, dir, c.args), c.expected) << c.name;
  }
}

// The switch after other arguments is the update-mode process test's case; here it
// comes first and is not the last.
TEST(HandoffTest, UpdateModeNeedsTheExactSwitchAnywhere) {
  EXPECT_TRUE(isUpdateMode({"--sparkle-check-for-updates", "x"}));
  for (const char* near : {"--sparkle-check-for-updates=yes", "--Sparkle-Check-For-Updates",
                           " --sparkle-check-for-updates"}) {
    EXPECT_FALSE(isUpdateMode({"L", near})) << near;
  }
}

TEST(HandoffTest, PathComputations) {
  EXPECT_EQ(launcherName({}), "veltoVpn");
  EXPECT_EQ(launcherName({""}), "veltoVpn");
  EXPECT_EQ(launcherName({"./VeltoVpnLauncher", "x"}), "./VeltoVpnLauncher");

  EXPECT_EQ(absoluteAgainst("/start", "/abs/L"), "/abs/L");
  EXPECT_EQ(absoluteAgainst("/start/", "rel/L"), "/start/rel/L");
  EXPECT_EQ(absoluteAgainst("/", "L"), "/L");
  EXPECT_EQ(absoluteAgainst("/start", "dir/"), "/start/dir");

  EXPECT_EQ(parentPath("/L"), "/");
  EXPECT_EQ(parentPath("/"), "/");

  for (const char* home : {"/Users/u", "/Users/u/"}) {
    EXPECT_EQ(macRuntimeDirectoryFor(home),
              "/Users/u/Library/Application Support/veltoVpn/runtime");
  }
  EXPECT_EQ(macRuntimeDirectoryFor("/"), "/Library/Application Support/veltoVpn/runtime");
}

TEST(HandoffTest, LinuxRuntimeDirectoryFollowsXdgDataHome) {
  struct Case {
    std::optional<std::string_view> xdgDataHome;
    std::string_view home;
    std::string_view expected;
  } cases[] = {
      {"", "/home/u/", "/home/u/.local/share/veltovpn/runtime"},
      {"/data/u/", "/home/u", "/data/u/veltovpn/runtime"},
      {"relative/share", "/home/u", "/home/u/.local/share/veltovpn/runtime"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(linuxRuntimeDirectoryFor(c.xdgDataHome, c.home), c.expected)
        << c.xdgDataHome.value_or("(unset)");
  }
}

// The launcher finds the main binary beside its real file, however it was started.
TEST(FileSystemTest, LauncherPathResolvesSymlinksAgainstTheStartDirectory) {
  test_support::TempDir temp("velto-launcher-test");
  const std::string dir_ = temp.path();
  const std::string macos = dir_ + "/Velto (2).app/Contents/MacOS";
  fs::create_directories(macos);
  std::ofstream(macos + "/VeltoVpnLauncher") << "x";
  fs::create_directories(dir_ + "/bin");
  fs::create_symlink(macos + "/VeltoVpnLauncher", dir_ + "/bin/velto");
  fs::create_directory_symlink(dir_ + "/Velto (2).app/Contents", dir_ + "/contents-link");

  struct Case {
    std::string start;
    std::string argv0;
    std::string expected;
  } cases[] = {
      {dir_ + "/bin", "velto", macos + "/VeltoVpnLauncher"},
      {dir_, "bin/../bin/velto", macos + "/VeltoVpnLauncher"},
      {dir_, "contents-link/MacOS/VeltoVpnLauncher", macos + "/VeltoVpnLauncher"},
      // A name that does not exist keeps its last component beside its resolved parent.
      {dir_ + "/contents-link/MacOS", "veltoVpn", macos + "/veltoVpn"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(resolveSymlinks(absoluteAgainst(c.start, c.argv0)), c.expected)
        << c.start << " + " << c.argv0;
  }
}

// $HOME first: the process tests. Empty or unset, it gives way to the password database.
TEST(HomeDirectoryTest, PasswordDatabaseWithoutHome) {
  const char* saved = getenv("HOME");
  std::string savedHome = saved ? saved : "";
  const std::string fromDatabase = getpwuid(getuid())->pw_dir;
  setenv("HOME", "", 1);
  EXPECT_EQ(homeDirectory(), fromDatabase);
  unsetenv("HOME");
  EXPECT_EQ(homeDirectory(), fromDatabase);
  if (saved) setenv("HOME", savedHome.c_str(), 1);
}

}  // namespace
}  // namespace velto::launcher
