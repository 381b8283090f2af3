// Child processes for tests: a program started with its own arguments and
// environment, its output captured or sent to a file, waited for with a
// deadline; and a piece of the test run as another user. Test thread only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/testing/sockets.h"
#include "common/unique_fd.h"

namespace velto::test_support {

// This process's environment without the variables `drop` names (a name ending
// in '*' drops every variable starting with the rest), plus `add`.
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& add,
                                         const std::vector<std::string>& drop = {});

// Where a child's standard output or error goes.
struct Output {
  enum class Kind { kCapture, kFile, kReaderGone };
  Kind kind = Kind::kCapture;
  std::string path;  // for kFile: created or truncated, mode 0600

  static Output capture() { return {}; }
  static Output file(std::string path) { return {Kind::kFile, std::move(path)}; }
  // A pipe whose reader has already closed: every write fails with EPIPE.
  static Output readerGone() { return {Kind::kReaderGone, {}}; }
};

struct ProcessOptions {
  // "NAME=value" entries; unset means this process's environment.
  std::optional<std::vector<std::string>> environment;
  Output out;                      // captured: read with finish()
  Output err = Output::capture();  // captured with standard output in one stream
  // Standard input is a pipe held open by the Process (so a reader such as cat
  // keeps running) rather than /dev/null.
  bool holdStdin = false;
  // Signals blocked in the child, so that one sent to it stays pending where a
  // test can see it (/proc/<pid>/status).
  std::vector<int> blockedSignals;
};

// A started program. The destructor kills (SIGKILL) and reaps it if it still runs.
class Process {
 public:
  // `args[0]` is the program's path. pid() is -1 when it could not be started.
  explicit Process(std::vector<std::string> args, ProcessOptions options = {});
  ~Process();
  Process(Process&& other) noexcept;
  Process& operator=(Process&&) = delete;
  Process(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool running();

  // Waits for the end of the program: its exit status, 128 + the signal that
  // ended it, or -1 when it still runs after `patience`.
  int wait(std::chrono::milliseconds patience = kPatience);

  // Reads the captured output to its end (bounded by `patience`), then waits.
  struct Ended {
    int status = -1;
    std::string output;
  };
  Ended finish(std::chrono::milliseconds patience = kPatience);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
  UniqueFd stdin_;
  UniqueFd output_;
};

// Runs `args` to its end; status and captured output (both streams).
Process::Ended run(std::vector<std::string> args, ProcessOptions options = {},
                   std::chrono::milliseconds patience = kPatience);

// Polls `done` every 10 ms until it holds or `patience` has passed; whether it held.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds patience = kPatience);

// Another local user, as a test child process becomes it.
struct User {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;  // supplementary; none by default
};

// A forked child that becomes `user` and runs `work`; what `work` returns comes
// back through finish(). REQUIRES: root; no other threads running (the child of
// a threaded process may only make system calls before it execs).
class ChildAs {
 public:
  ChildAs(const User& user, const std::function<std::optional<std::string>()>& work);
  ~ChildAs();
  ChildAs(const ChildAs&) = delete;
  ChildAs& operator=(const ChildAs&) = delete;

  // Waits for the child: what `work` returned; nullopt when it returned nothing,
  // could not become the user or did not end within `patience`.
  std::optional<std::string> finish(std::chrono::milliseconds patience = kPatience);

 private:
  pid_t pid_ = -1;
  UniqueFd result_;
};

// ChildAs for work that only succeeds or fails.
bool runAs(const User& user, const std::function<bool()>& work);

}  // namespace velto::test_support
