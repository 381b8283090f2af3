// Script runner on POSIX: posix_spawn of the shell, one pipe for both output
// streams, a polling wait that notices the shell's exit and the time-out. Any
// thread; one call runs one script.
#include "helper/script_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "common/io.h"
#include "common/unique_fd.h"
#include "common/utf8.h"

extern char** environ;

namespace velto {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kTimedOutExitCode = 124;

std::string newScriptPath() {
  uuid_t id;
  uuid_generate_random(id);
  char text[37] = {};
  uuid_unparse_upper(id, text);
  return std::string("/tmp/veltovpn-helper-script-") + text + ".sh";
}

// Removes the script file when the run is over, whatever happened; only a file
// this run created.
class ScriptFile {
 public:
  explicit ScriptFile(std::string path) : path_(std::move(path)) {}
  ScriptFile(const ScriptFile&) = delete;
  ScriptFile& operator=(const ScriptFile&) = delete;
  ~ScriptFile() {
    if (created_) ::unlink(path_.c_str());
  }

  // Creates the file private to the owner from the first moment (no window in
  // which another user could read or swap it) and writes `text`. Returns 0 or
  // the errno of the failure.
  int write(std::string_view text) {
    int fd;
    do {
      fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    created_ = true;
    UniqueFd file(fd);
    // The umask may have taken bits away; 0700 is what bash needs.
    if (::fchmod(file.get(), 0700) != 0) return errno;
    if (!writeAll(file.get(), text)) return errno;
    return 0;
  }

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool created_ = false;
};

// The daemon's environment with PATH set to the fixed search path.
std::vector<std::string> scriptEnvironment() {
  std::vector<std::string> entries;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view text(*entry);
    if (text.substr(0, 5) != "PATH=") entries.emplace_back(text);
  }
  entries.push_back(std::string("PATH=") + kScriptSearchPath);
  return entries;
}

int32_t exitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

// Appends to `output` what the non-blocking pipe holds now. Returns false once the
// pipe has reached end of file.
bool readAvailable(int fd, std::string& output) {
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      output.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

// Reads what is in the pipe at this moment and no more: a background process that
// outlives the shell and keeps writing cannot hold the runner.
void drainPipe(int fd, std::string& output) {
  int pending = 0;
  if (::ioctl(fd, FIONREAD, &pending) != 0 || pending <= 0) return;
  std::string rest(static_cast<size_t>(pending), '\0');
  size_t got = 0;
  while (got < rest.size()) {
    ssize_t n = ::read(fd, rest.data() + got, rest.size() - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  output.append(rest, 0, got);
}

int waitRetrying(pid_t pid, int* status, int flags) {
  for (;;) {
    pid_t r = ::waitpid(pid, status, flags);
    if (r < 0 && errno == EINTR) continue;
    return r;
  }
}

// Holds the spawn attributes and file actions and releases them on every path.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
};

}  // namespace

ScriptResult runScript(const std::string& script, const ScriptRunOptions& options) {
  ScriptFile file(newScriptPath());
  if (int err = file.write(script); err != 0) {
    return {"helper: failed to write script tmpfile: " + errnoText(err), 1};
  }

  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) {
    return {"helper: failed to launch " + options.shell + ": " + errnoText(errno), 1};
  }
  UniqueFd readEnd(pipeEnds[0]);
  UniqueFd writeEnd(pipeEnds[1]);
  setCloseOnExec(readEnd.get());
  setCloseOnExec(writeEnd.get());

  SpawnSetup setup;
  // Both streams go into one pipe, so the output keeps the order it was written in.
  posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), STDERR_FILENO);
  // Put the child in its own process group, so a time-out can stop everything it
  // started. The daemon ignores SIGPIPE for itself; scripts get the default back
  // (an ignored signal would otherwise be inherited across exec).
  sigset_t defaults, mask;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&mask);
  posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  posix_spawnattr_setsigmask(&setup.attributes, &mask);
  posix_spawnattr_setpgroup(&setup.attributes, 0);
  posix_spawnattr_setflags(&setup.attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> environment = scriptEnvironment();
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string shell = options.shell;
  std::string path = file.path();
  char* argv[] = {shell.data(), path.data(), nullptr};

  pid_t pid = -1;
  int err = ::posix_spawn(&pid, shell.c_str(), &setup.actions, &setup.attributes, argv,
                          envp.data());
  if (err != 0) {
    return {"helper: failed to launch " + options.shell + ": " + errnoText(err), 1};
  }
  // Only the child writes from here on, so end of file means it (and whatever it
  // started) closed the pipe.
  writeEnd.reset();
  int flags = ::fcntl(readEnd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(readEnd.get(), F_SETFL, flags | O_NONBLOCK);

  // Output is read while the script runs, so a full pipe never stalls it. The
  // shell's exit is checked between reads with a short, growing pause.
  const Clock::time_point deadline = Clock::now() + options.timeout;
  std::string output;
  bool pipeOpen = true;
  int pauseMs = 1;
  int status = 0;
  bool timedOut = false;
  for (;;) {
    if (waitRetrying(pid, &status, WNOHANG) == pid) break;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      ::kill(-pid, SIGKILL);
      waitRetrying(pid, &status, 0);
      timedOut = true;
      break;
    }
    struct pollfd entry = {readEnd.get(), POLLIN, 0};
    int ready = ::poll(&entry, pipeOpen ? 1 : 0,
                       static_cast<int>(std::min<long long>(pauseMs, left)));
    if (ready > 0) {
      pipeOpen = readAvailable(readEnd.get(), output);
      if (!pipeOpen) pauseMs = 1;  // the shell is about to end
    } else {
      pauseMs = std::min(pauseMs * 2, 50);
    }
  }
  drainPipe(readEnd.get(), output);

  if (!isValidUtf8(output)) output.clear();
  if (timedOut) {
    if (!output.empty() && output.back() != '\n') output += '\n';
    output += "helper: script timed out after " + std::to_string(options.timeout.count()) + " s";
    return {std::move(output), kTimedOutExitCode};
  }
  return {std::move(output), exitCodeOf(status)};
}

}  // namespace velto
