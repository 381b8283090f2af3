// Which directory the Linux search settles on, and what it says about the others.
#include "common/private_directory_linux.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/testing/temp_dir.h"

namespace velto {
namespace {

namespace fs = std::filesystem;

TEST(PrivateDirectoryTest, FirstSoundCandidateWins) {
  const test_support::TempDir temp("velto-private-test");
  const std::string root = temp.path();
  const uid_t me = ::geteuid();
  fs::create_directory(root + "/good");
  fs::create_directory(root + "/open");
  fs::permissions(root + "/good", fs::perms::owner_all);
  fs::permissions(root + "/open",
                  fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  fs::create_directory_symlink(root + "/good", root + "/link");
  fs::create_directory(root + "/good/inner");
  fs::permissions(root + "/good/inner", fs::perms::owner_all);
  std::ofstream(root + "/file") << "x";
  const std::string fallback = root + "/fallback";  // parent of veltovpn-<uid>
  fs::create_directory(fallback);
  const std::string made = fallback + "/veltovpn-" + std::to_string(me) + "/";
  // Another parent whose veltovpn-<uid> is open to everyone, as a stranger's would be.
  const std::string taken = root + "/taken";
  const std::string takenShared = taken + "/veltovpn-" + std::to_string(me);
  fs::create_directories(takenShared);
  fs::permissions(takenShared, fs::perms::all);
  const std::string takenLine = takenShared + ": open to group or others (mode 0777)";
  fs::create_directories(root + "/linked-cache");
  fs::create_directory_symlink(root + "/good", root + "/linked-cache/veltovpn");

  const std::string good = root + "/good", open = root + "/open", home = root + "/home";
  constexpr std::nullopt_t no = std::nullopt;
  struct Case {
    const char* name;
    PrivateDirectoryPlaces places;
    std::optional<std::string> chosen;
    std::vector<std::string> skipped;
    uid_t uidAboveMine = 0;  // 1: the search is made for another user
  } cases[] = {
      {"runtime dir first", {good + "/", open, fallback, no, no}, good + "/", {}},
      {"relative runtime dir, then TMPDIR",
       {"run/user", good, fallback, no, no},
       good + "/",
       {"XDG_RUNTIME_DIR=run/user: not an absolute path"}},
      {"open, symbolic link: the shared one is made",
       {open, root + "/link", fallback, no, no},
       made,
       {"XDG_RUNTIME_DIR=" + root + "/open: open to group or others (mode 0750)",
        "TMPDIR=" + root + "/link: a symbolic link"}},
      {"a link with a trailing slash, a link on the way",
       {root + "/link/", root + "/link/inner", fallback, no, no},
       made,
       {"XDG_RUNTIME_DIR=" + root + "/link/: a symbolic link",
        "TMPDIR=" + root + "/link/inner: passes through the symbolic link " + root + "/link"}},
      {"unset and empty count as absent", {no, "", fallback, no, no}, made, {}},
      {"missing, a file",
       {root + "/none", root + "/file", fallback, no, no},
       made,
       {"XDG_RUNTIME_DIR=" + root + "/none: No such file or directory",
        "TMPDIR=" + root + "/file: not a directory"}},
      {"shared one taken: the cache, made with its parents",
       {no, no, taken, "relative/cache", home},
       root + "/home/.cache/veltovpn/",
       {takenLine}},
      {"shared one taken: XDG_CACHE_HOME before HOME",
       {no, no, taken, root + "/xdg-cache", home},
       root + "/xdg-cache/veltovpn/",
       {takenLine}},
      {"cache candidate a link, HOME relative",
       {no, no, taken, root + "/linked-cache", "home"},
       no,
       {takenLine, root + "/linked-cache/veltovpn: a symbolic link"}},
      {"no cache place",
       {no, no, taken, no, "home"},
       no,
       {takenLine, "HOME=home: not an absolute path"}},
      {"someone else's: nothing at all",
       {good, no, fallback, no, no},
       no,
       {"XDG_RUNTIME_DIR=" + root + "/good: belongs to uid " + std::to_string(me) +
            ", not to this user",
        fallback + "/veltovpn-" + std::to_string(me + 1) + ": belongs to uid " +
            std::to_string(me) + ", not to this user"},
       1},
  };
  // The last case finds its shared one made by someone else.
  fs::create_directory(fallback + "/veltovpn-" + std::to_string(me + 1));
  const mode_t savedUmask = ::umask(0);
  for (const Case& c : cases) {
    PrivateDirectory found = findPrivateDirectory(c.places, me + c.uidAboveMine);
    EXPECT_EQ(found.path, c.chosen) << c.name;
    std::vector<std::string> expected;
    for (const std::string& line : c.skipped)
      expected.push_back("private directory: skipped " + line);
    EXPECT_EQ(found.skipped, expected) << c.name;
  }
  ::umask(savedUmask);
  for (const std::string& path :
       {made, root + "/home", root + "/home/.cache", root + "/home/.cache/veltovpn"}) {
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_all)
        << path << " made under umask 0";
  }
}

}  // namespace
}  // namespace velto
