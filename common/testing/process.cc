#include "common/testing/process.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "common/io.h"
#include "common/spawn.h"

extern char** environ;

namespace velto::test_support {

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& add,
                                         const std::vector<std::string>& drop) {
  std::vector<std::string> entries;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool dropped = add.count(name) > 0;
    for (const std::string& p : drop) {
      dropped =
          dropped || (p.ends_with('*') ? name.starts_with(p.substr(0, p.size() - 1)) : name == p);
    }
    if (!dropped) entries.push_back(entry);
  }
  for (const auto& [name, value] : add) entries.push_back(name + "=" + value);
  return entries;
}

namespace {

int statusCode(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void killAndReap(pid_t pid) {
  ::kill(pid, SIGKILL);
  (void)waitForChild(pid);  // killed: only the reaping is left
}

// Sends `output` to `target` in the child; `capture` is the write end of the
// capturing pipe. A pipe that could not be made fails the spawn.
void routeOutput(SpawnSetup& setup, const Output& output, int target, int capture,
                 std::vector<UniqueFd>* keep) {
  switch (output.kind) {
    case Output::Kind::kCapture:
      setup.duplicate(capture, target);
      return;
    case Output::Kind::kFile:
      setup.open(target, output.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      return;
    case Output::Kind::kReaderGone: {
      // The read end closes on return: whoever writes to `target` finds no reader.
      Result<Pipe> pipe = makeCloseOnExecPipe();
      setup.duplicate(pipe ? pipe->writeEnd.get() : -1, target);
      if (pipe) keep->push_back(std::move(pipe->writeEnd));
      return;
    }
  }
}

}  // namespace

Process::Process(std::vector<std::string> args, ProcessOptions options) {
  Result<Pipe> capture = makeCloseOnExecPipe();
  Result<Pipe> input = options.holdStdin ? makeCloseOnExecPipe() : Result<Pipe>(Pipe{});
  if (args.empty() || !capture || !input) return;
  output_ = std::move(capture->readEnd);
  UniqueFd captureWriter = std::move(capture->writeEnd);
  stdin_ = std::move(input->writeEnd);
  UniqueFd inputReader = std::move(input->readEnd);
  std::vector<UniqueFd> keep;  // descriptors that must live until the spawn
  SpawnSetup setup;
  routeOutput(setup, options.out, STDOUT_FILENO, captureWriter.get(), &keep);
  routeOutput(setup, options.err, STDERR_FILENO, captureWriter.get(), &keep);
  // Standard input (descriptor 0) is the held pipe or /dev/null.
  if (options.holdStdin) {
    setup.duplicate(inputReader.get(), STDIN_FILENO);
  } else {
    setup.open(STDIN_FILENO, "/dev/null", O_RDONLY);
  }
  // The child starts with no signal blocked but those asked for, whatever this
  // process blocks.
  sigset_t mask;
  sigemptyset(&mask);
  for (int signal : options.blockedSignals) sigaddset(&mask, signal);
  setup.signalMask(mask);

  std::vector<std::string> environment =
      options.environment ? *options.environment : environmentWith({});
  std::vector<char*> argv, envp;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  if (!setup.ready().ok()) return;
  Result<pid_t> spawned = setup.spawn(args[0], argv.data(), envp.data());
  if (spawned) pid_ = *spawned;
}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      reaped_(other.reaped_),
      status_(other.status_),
      stdin_(std::move(other.stdin_)),
      output_(std::move(other.output_)) {}

Process::~Process() {
  if (pid_ > 0 && !reaped_) killAndReap(pid_);
}

bool Process::running() {
  if (pid_ <= 0 || reaped_) return false;
  int status = 0;
  pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done != pid_) return done == 0;
  status_ = statusCode(status);
  reaped_ = true;
  return false;
}

int Process::wait(std::chrono::milliseconds patience) {
  if (!eventually([&] { return !running(); }, patience)) return -1;
  return status_;
}

Process::Ended Process::finish(std::chrono::milliseconds patience) {
  // Each part has the whole patience: it only keeps a fault from hanging the test.
  std::string output = output_ ? readToEnd(output_.get(), patience) : "";
  return {wait(patience), std::move(output)};
}

Process::Ended run(std::vector<std::string> args, ProcessOptions options,
                   std::chrono::milliseconds patience) {
  Process process(std::move(args), std::move(options));
  if (process.pid() <= 0) return {-1, "could not start"};
  return process.finish(patience);
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

ChildAs::ChildAs(const User& user, const std::function<std::optional<std::string>()>& work) {
  Result<Pipe> pipe = makeCloseOnExecPipe();
  if (!pipe) return;
  result_ = std::move(pipe->readEnd);
  UniqueFd writer = std::move(pipe->writeEnd);
  pid_ = ::fork();
  if (pid_ == 0) {
    result_.reset();
    if (::setgroups(user.groups.size(), user.groups.data()) != 0 ||
        ::setresgid(user.gid, user.gid, user.gid) != 0 ||
        ::setresuid(user.uid, user.uid, user.uid) != 0) {
      ::_exit(3);
    }
    std::optional<std::string> result = work();
    ::_exit(result && writeAll(writer.get(), *result).ok() ? 0 : 1);
  }
}

ChildAs::~ChildAs() {
  if (pid_ > 0) killAndReap(pid_);
}

std::optional<std::string> ChildAs::finish(std::chrono::milliseconds patience) {
  if (pid_ <= 0) return std::nullopt;
  std::string result = readToEnd(result_.get(), patience);
  int status = 0;
  bool ended = eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, patience);
  if (!ended) return std::nullopt;
  pid_ = -1;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return result;
}

bool runAs(const User& user, const std::function<bool()>& work) {
  return ChildAs(user, [&] { return work() ? std::optional<std::string>("") : std::nullopt; })
      .finish()
      .has_value();
}

}  // namespace velto::test_support
