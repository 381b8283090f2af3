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
      {"own path only", {"/B/Contents/MacOS/VeltoVpnLauncher"}, {main, path, res}},
      {"empty argument list", {}, {main, path, res}},
      {"extra arguments keep their order before the added ones",
       {"L", "/Users/u/doc.velto", "--unknown", "--unknown"},
       {main, "/Users/u/doc.velto", "--unknown", "--unknown", path, res}},
      {"own --path wins", {"L", "--path=/elsewhere"}, {main, "--path=/elsewhere", res}},
      {"empty --path= still counts", {"L", "--path="}, {main, "--path=", res}},
      {"own --res-mode wins", {"L", "--res-mode=dev"}, {main, "--res-mode=dev", path}},
      {"both given, nothing added",
       {"L", "--res-mode=dev", "--path=/x"},
       {main, "--res-mode=dev", "--path=/x"}},
      {"prefix needs the equals sign",
       {"L", "--path", "--res-mode"},
       {main, "--path", "--res-mode", path, res}},
      {"prefix is case-sensitive", {"L", "--PATH=/x"}, {main, "--PATH=/x", path, res}},
      {"update switch with a value is forwarded",
       {"L", "--sparkle-check-for-updates=1"},
       {main, "--sparkle-check-for-updates=1", path, res}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(forwardedArguments(main, dir, c.args), c.expected) << c.name;
  }
}

TEST(HandoffTest, UpdateModeNeedsTheExactSwitchAnywhere) {
  struct Case {
    Args args;
    bool update;
  } cases[] = {
      {{"L", "--sparkle-check-for-updates"}, true},
      {{"--sparkle-check-for-updates"}, true},
      {{"L", "a", "--sparkle-check-for-updates", "b"}, true},
      {{"L", "--sparkle-check-for-updates=yes"}, false},
      {{"L", "--Sparkle-Check-For-Updates"}, false},
      {{"L", "--sparkle-check-for-updates-now"}, false},
      {{"L", " --sparkle-check-for-updates"}, false},
      {{}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isUpdateMode(c.args), c.update) << ::testing::PrintToString(c.args);
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

  EXPECT_EQ(parentPath("/B/Contents/MacOS/L"), "/B/Contents/MacOS");
  EXPECT_EQ(parentPath("/L"), "/");
  EXPECT_EQ(parentPath("/"), "/");

  EXPECT_EQ(macRuntimeDirectoryFor("/Users/u"),
            "/Users/u/Library/Application Support/veltoVpn/runtime");
  EXPECT_EQ(macRuntimeDirectoryFor("/Users/u/"),
            "/Users/u/Library/Application Support/veltoVpn/runtime");
  EXPECT_EQ(macRuntimeDirectoryFor("/"), "/Library/Application Support/veltoVpn/runtime");
}

TEST(HandoffTest, LinuxRuntimeDirectoryFollowsXdgDataHome) {
  struct Case {
    std::optional<std::string_view> xdgDataHome;
    std::string_view home;
    std::string_view expected;
  } cases[] = {
      {std::nullopt, "/home/u", "/home/u/.local/share/veltovpn/runtime"},
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
      {"/", macos + "/VeltoVpnLauncher", macos + "/VeltoVpnLauncher"},
      {macos, "./VeltoVpnLauncher", macos + "/VeltoVpnLauncher"},
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

TEST(HomeDirectoryTest, EnvironmentFirstThenPasswordDatabase) {
  const char* saved = getenv("HOME");
  std::string savedHome = saved ? saved : "";

  setenv("HOME", "/somewhere/else", 1);
  EXPECT_EQ(homeDirectory(), "/somewhere/else");
  for (bool empty : {true, false}) {
    if (empty) {
      setenv("HOME", "", 1);
    } else {
      unsetenv("HOME");
    }
    EXPECT_EQ(homeDirectory(), std::string(getpwuid(getuid())->pw_dir)) << "empty: " << empty;
  }

  if (saved) setenv("HOME", savedHome.c_str(), 1);
}

}  // namespace
}  // namespace velto::launcher
