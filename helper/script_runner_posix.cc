// Script runner on POSIX: posix_spawn of the shell, one pipe for both output
// streams, and one poll that wakes for output, for the shell's exit and for the
// time-out. Any thread; one call runs one script.
#include "helper/script_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "common/io.h"
#include "common/spawn.h"
#include "common/unique_fd.h"
#include "common/utf8.h"
#include "helper/child_exit_watch.h"

extern char** environ;

namespace velto {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kTimedOutExitCode = 124;
constexpr std::string_view kStoppedNote = "helper: script stopped: the helper is shutting down";

constexpr size_t kMiB = 1024 * 1024;
static_assert(kMaxOutput % kMiB == 0, "the truncation note counts whole MiB");

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
  // which another user could read or swap it) and writes `text`.
  [[nodiscard]] Status write(std::string_view text) {
    Result<UniqueFd> opened =
        openRetrying(path_, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
    if (!opened) return opened.error();
    created_ = true;
    UniqueFd file = std::move(*opened);
    // The umask may have taken bits away; 0700 is what bash needs.
    if (::fchmod(file.get(), 0700) != 0) return errnoError("fchmod");
    return writeAll(file.get(), text);
  }

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool created_ = false;
};

// Variables that change how bash itself starts or runs (a file it sources, its
// options, word splitting, functions that replace commands). Whoever started the
// daemon must not be able to slip them into root scripts.
bool changesHowBashRuns(std::string_view name) {
  static constexpr std::array<std::string_view, 8> kNames = {
      "BASH_ENV", "ENV", "SHELLOPTS", "BASHOPTS", "CDPATH", "GLOBIGNORE", "IFS", "PS4"};
  return name.starts_with("BASH_FUNC_") ||
         std::find(kNames.begin(), kNames.end(), name) != kNames.end();
}

// The daemon's environment with PATH set to the fixed search path, without the
// variables above.
std::vector<std::string> scriptEnvironment() {
  std::vector<std::string> entries;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view text(*entry);
    std::string_view name = text.substr(0, text.find('='));
    if (name != "PATH" && !changesHowBashRuns(name)) entries.emplace_back(text);
  }
  entries.push_back(std::string("PATH=") + kScriptSearchPath);
  return entries;
}

int32_t exitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  // The signal's number, as the system's own task API reports a killed child.
  if (WIFSIGNALED(status)) return WTERMSIG(status);
  return 1;
}

// The script's output as it arrives: the first kMaxOutput bytes, and the few after
// them that may complete a character cut there; everything later is dropped.
class OutputCollector {
 public:
  void append(const char* data, size_t size) {
    total_ += size;
    const size_t room = kKept - std::min(kKept, bytes_.size());
    bytes_.append(data, std::min(room, size));
  }

  // The text to return: all of it when it is UTF-8 and within the bound; the
  // first part cut at a character boundary, with a note, when it is longer;
  // the empty string (plus the note) when it is not UTF-8.
  std::string finish() {
    const size_t valid = validUtf8Prefix(bytes_);
    if (total_ <= kMaxOutput) {
      if (valid != bytes_.size()) bytes_.clear();
      return std::move(bytes_);
    }
    // Bytes past the bound are kept only so that a character cut by it is told
    // apart from bytes that are not UTF-8.
    size_t cut = 0;
    if (valid >= kMaxOutput) {
      cut = kMaxOutput;
      while (cut > 0 && (static_cast<unsigned char>(bytes_[cut]) & 0xC0) == 0x80) --cut;
    }
    bytes_.resize(cut);
    bytes_ += "\nhelper: output truncated after " + std::to_string(kMaxOutput / kMiB) + " MiB";
    return std::move(bytes_);
  }

 private:
  static constexpr size_t kKept = kMaxOutput + 3;
  std::string bytes_;
  size_t total_ = 0;
};

// Reads what is in the pipe at this moment and no more: a background process that
// outlives the shell and keeps writing cannot hold the runner.
void drainPipe(int fd, OutputCollector& output) {
  int pending = 0;
  if (::ioctl(fd, FIONREAD, &pending) != 0) return;
  char buffer[65536];
  while (pending > 0) {
    Result<size_t> n =
        readRetrying(fd, buffer, std::min(sizeof buffer, static_cast<size_t>(pending)));
    if (!n.ok() || *n == 0) return;
    output.append(buffer, *n);
    pending -= static_cast<int>(*n);
  }
}

}  // namespace

ScriptResult runScript(const std::string& script, const ScriptRunOptions& options) {
  if (Result<bool> stop = readyNow(options.stopFd, POLLIN); stop.ok() && *stop) {
    return {std::string(kStoppedNote), kStoppedExitCode, true};
  }
  ScriptFile file(newScriptPath());
  if (Status written = file.write(script); !written) {
    return {"helper: failed to write script tmpfile: " + written.error().reason(), 1};
  }
  const std::string launchFailed = "helper: failed to launch " + options.shell + ": ";

  Result<Pipe> pipe = makeCloseOnExecPipe();
  if (!pipe) return {launchFailed + pipe.error().reason(), 1};
  UniqueFd readEnd = std::move(pipe->readEnd);
  UniqueFd writeEnd = std::move(pipe->writeEnd);

  SpawnSetup setup;
  // Both streams go into one pipe, so the output keeps the order it was written in.
  setup.duplicate(writeEnd.get(), STDOUT_FILENO);
  setup.duplicate(writeEnd.get(), STDERR_FILENO);
  // Put the child in its own process group, so a time-out or a stop can reach
  // everything it started. The daemon ignores SIGPIPE for itself, and whoever
  // embeds the runner may ignore more; an ignored signal would be inherited across
  // exec, so scripts get every signal at its default and none blocked.
  sigset_t defaults, mask;
  sigfillset(&defaults);
  sigemptyset(&mask);
  setup.defaultSignals(defaults);
  setup.signalMask(mask);
  setup.ownProcessGroup();
  if (Status ready = setup.ready(); !ready) return {launchFailed + ready.error().message(), 1};

  std::vector<std::string> environment = scriptEnvironment();
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string shell = options.shell;
  std::string path = file.path();
  char* argv[] = {shell.data(), path.data(), nullptr};

  Result<pid_t> spawned = setup.spawn(shell, argv, envp.data());
  if (!spawned) return {launchFailed + spawned.error().reason(), 1};
  const pid_t pid = *spawned;
  // Only the child writes from here on, so end of file means it (and whatever it
  // started) closed the pipe.
  writeEnd.reset();

  Result<UniqueFd> watch = watchChildExit(pid);
  if (!watch) {
    // Without word of its exit the shell could not be bounded in time.
    ::kill(-pid, SIGKILL);
    // The shell is killed; its status no longer matters, only that it is reaped.
    (void)waitForChild(pid);
    return {launchFailed + watch.error().reason(), 1};
  }
  UniqueFd exited = std::move(*watch);

  // Output is read while the script runs, so a full pipe never stalls it; the
  // same poll learns of the shell's exit, of a stop, and its time-out is the
  // run's bound (after a stop, the grace's).
  Clock::time_point deadline = Clock::now() + options.timeout;
  OutputCollector output;
  bool pipeOpen = true;
  bool timedOut = false;
  bool stopped = false;
  std::optional<Error> waitFailed;
  for (;;) {
    if (Clock::now() >= deadline) {
      timedOut = !stopped;
      break;
    }
    // The stop descriptor stays readable once a stop has come: polled until then.
    struct pollfd entries[3] = {{exited.get(), POLLIN, 0},
                                {pipeOpen ? readEnd.get() : -1, POLLIN, 0},
                                {stopped ? -1 : options.stopFd, POLLIN, 0}};
    int ready = ::poll(entries, 3, pollTimeoutUntil(deadline));
    if (ready < 0 && errno != EINTR) {
      waitFailed = errnoError("poll");  // cannot bound the script any more: end it now
      break;
    }
    if (ready <= 0) continue;
    if (pipeOpen && entries[1].revents != 0) {
      // One read per wake-up: the pipe is blocking, and poll said it has data or
      // reached its end.
      char buffer[65536];
      Result<size_t> n = readRetrying(readEnd.get(), buffer, sizeof buffer);
      if (n.ok() && *n > 0) {
        output.append(buffer, *n);
      } else {
        pipeOpen = false;
      }
    }
    if (entries[0].revents != 0) break;
    if (entries[2].revents != 0) {
      // Asked first, so that the script's traps can undo what it half did.
      stopped = true;
      ::kill(-pid, SIGTERM);
      deadline = std::min(deadline, Clock::now() + kStopGrace);
    }
  }
  // While the shell is unreaped its number, and so the group's, cannot be reused.
  if (timedOut || stopped || waitFailed) ::kill(-pid, SIGKILL);
  Result<std::optional<int>> status = waitForChild(pid);
  drainPipe(readEnd.get(), output);

  std::string text = output.finish();
  if (waitFailed) {
    return {"helper: failed to wait for " + options.shell + ": " + waitFailed->reason(), 1};
  }
  auto withNote = [&text](std::string_view note) {
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += note;
    return std::move(text);
  };
  if (stopped) return {withNote(kStoppedNote), kStoppedExitCode, true};
  if (timedOut) {
    return {withNote("helper: script timed out after " + std::to_string(options.timeout.count()) +
                     " s"),
            kTimedOutExitCode};
  }
  return {std::move(text), status.ok() ? exitCodeOf(**status) : 1};
}

}  // namespace velto
