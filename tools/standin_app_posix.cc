// The stand-in's event loop on POSIX systems: one thread, poll(2) over the
// signal pipe, the console, the bridge's listening socket and its agents.
#include "tools/standin_app.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "build_config.h"
#include "common/io.h"
#include "common/line_splitter.h"
#include "common/paths.h"
#include "common/private_directory.h"
#include "common/spawn.h"
#include "common/unique_fd.h"
#include "tools/helper_client.h"
#include "tools/standin_bridge.h"
#include "tools/standin_helper.h"
#include "tools/standin_tunnel.h"

extern char** environ;

namespace velto::standin {
namespace {

using namespace std::chrono_literals;

int gSignalPipe = -1;

void onSignal(int signal) {
  int saved = errno;
  unsigned char byte = static_cast<unsigned char>(signal);
  [[maybe_unused]] ssize_t n = ::write(gSignalPipe, &byte, 1);
  errno = saved;
}

void logLine(std::string_view message) {
  time_t now = time(nullptr);
  struct tm utc = {};
  gmtime_r(&now, &utc);
  char stamp[16] = {};
  strftime(stamp, sizeof stamp, "%H:%M:%S", &utc);
  std::string line = std::string("[stand-in ") + stamp + "] ";
  line += message;
  line += '\n';
  // The console is the stand-in's only output; once it is gone nobody reads.
  (void)writeAll(STDOUT_FILENO, line);
}

class LoopOutlet : public EngineOutlet {
 public:
  explicit LoopOutlet(BridgeServer& bridge) : bridge_(bridge) {}
  void sendFrame(const std::string& line) override { bridge_.broadcast(line); }
  void log(std::string_view message) override { logLine(message); }

 private:
  BridgeServer& bridge_;
};

std::string directoryOf(const std::string& program) {
  char resolved[PATH_MAX];
  return parentPath(::realpath(program.c_str(), resolved) ? resolved : program);
}

std::string describeExit(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

// Starts the agent `program`: its pid, or why there is none, in the console's words.
Result<pid_t> spawnAgent(const std::string& program) {
  if (::access(program.c_str(), X_OK) != 0) {
    const int err = errno;
    return Error{"no agent at " + program + " (" + errnoText(err) + "); running without one"};
  }
  SpawnSetup setup;
  // The console belongs to the stand-in; the agent only writes.
  setup.open(STDIN_FILENO, "/dev/null", O_RDONLY);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGCHLD);
  setup.defaultSignals(defaults);
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  Status ready = setup.ready();
  Result<pid_t> pid = ready ? setup.spawn(program, argv, environ) : Result<pid_t>(ready.error());
  if (!pid) return Error{"could not start the agent " + program + ": " + pid.error().reason()};
  return pid;
}

// Reaps the agent if it has ended; returns true when it has (or never ran).
bool reapAgent(pid_t& agent) {
  if (agent <= 0) return true;
  Result<std::optional<int>> status = waitForChild(agent, WNOHANG);
  if (status.ok() && !status->has_value()) return false;
  if (status.ok()) {
    logLine("agent (pid " + std::to_string(agent) + ") ended: " + describeExit(**status));
  }
  agent = -1;
  return true;
}

void stopAgent(pid_t& agent) {
  // Closing the bridge is the agent's one signal to end; give it time to notice.
  for (auto waited = 0ms; waited < 5000ms; waited += 50ms) {
    if (reapAgent(agent)) return;
    std::this_thread::sleep_for(50ms);
  }
  logLine("agent still running 5 s after the bridge closed; sending SIGTERM");
  ::kill(agent, SIGTERM);
  for (auto waited = 0ms; waited < 2000ms; waited += 50ms) {
    if (reapAgent(agent)) return;
    std::this_thread::sleep_for(50ms);
  }
  ::kill(agent, SIGKILL);
  // Killed: only the reaping is left, whatever the status says.
  (void)waitForChild(agent);
  agent = -1;
}

// The console's lines; empty ones are left out, as the engine ignores them anyway.
class LineReader {
 public:
  // Reads what is there; returns false at end of stream.
  bool read(int fd, std::vector<std::string>& lines) {
    char buffer[4096];
    Result<size_t> n = readLines(fd, splitter_, buffer, sizeof buffer);
    lines = std::move(ready_);
    ready_.clear();
    return n.ok() && *n > 0;
  }

 private:
  std::vector<std::string> ready_;
  // A console line longer than the splitter keeps is no command: dropped.
  LineSplitter splitter_{[this](std::string_view line) { ready_.emplace_back(line); },
                         [](std::string_view) {}};
};

// Routes SIGINT, SIGTERM, SIGHUP and SIGCHLD into a pipe the event loop polls,
// and ignores SIGPIPE. The returned pipe must outlive the loop.
Result<Pipe> catchSignals() {
  // The agent must not inherit the signal pipe, which would only keep it open.
  Result<Pipe> signalPipe = makeCloseOnExecPipe();
  if (!signalPipe) {
    logLine(signalPipe.error().message());
    return signalPipe.error();
  }
  // A blocking write end could stall the signal handler once the pipe is full,
  // which no run fills.
  (void)setNonBlocking(signalPipe->writeEnd.get());
  gSignalPipe = signalPipe->writeEnd.get();
  struct sigaction action = {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaction(sig, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return signalPipe;
}

// Who we are, where we run and what the command line asked for.
void logGreeting(const StandinOptions& options) {
  char cwd[PATH_MAX] = {};
  logLine("veltoVpn stand-in main application, pid " + std::to_string(getpid()) +
          ", working directory " + (::getcwd(cwd, sizeof cwd) ? cwd : "?"));
  logLine("--path=" + options.path.value_or("(not given)") +
          " --res-mode=" + options.resMode.value_or("(not given)"));
  for (const std::string& extra : options.extra) logLine("further argument: " + extra);
  for (const std::string& problem : options.problems) logLine("ignored: " + problem);
}

// The bridge, listening where the agent looks for it; or why not, said on the console.
Result<std::unique_ptr<BridgeServer>> openBridge() {
  std::optional<std::string> socketPath = bridgeSocketPath();
  if (!getenv("VELTOVPN_MENUBAR_SOCKET")) {
    for (const std::string& line : privateDirectory().skipped) logLine(line);
  }
  if (!socketPath) {
    logLine("bridge not started: no private directory for the bridge socket");
    return Error{"no private directory"};
  }
  Result<std::unique_ptr<BridgeServer>> listening = BridgeServer::listenAt(*socketPath);
  if (!listening) {
    logLine("bridge not started: " + listening.error().message());
    return listening.error();
  }
  logLine("bridge listening on " + (*listening)->path());
  return listening;
}

EngineOptions engineOptionsFor(const StandinOptions& options) {
  EngineOptions engineOptions = options.engine;
  // Per run, so that two stand-ins' tunnels never share a name.
  if (engineOptions.tunnelInstance.empty()) engineOptions.tunnelInstance = newTunnelInstance();
  logLine("tunnel instance " + engineOptions.tunnelInstance + ", helper at " +
          options.helperSocket);
  return engineOptions;
}

// The agent beside the stand-in (or in --path), started; -1 when it could not be.
pid_t startAgent(const StandinOptions& options) {
  const std::string program =
      options.path.value_or(directoryOf(options.programPath)) + "/veltovpn-menubar";
  Result<pid_t> started = spawnAgent(program);
  if (!started) {
    logLine(started.error().message());
    return -1;
  }
  logLine("started agent " + program + " (pid " + std::to_string(*started) + ")");
  return *started;
}

// One thread serving everything: signals, agents connecting, console lines, the
// agents' lines and the engine's timers, until the engine has quit.
class EventLoop {
 public:
  EventLoop(int signalFd, BridgeServer& bridge, VpnEngine& engine, pid_t& agent)
      : signalFd_(signalFd), bridge_(bridge), engine_(engine), agent_(agent) {}

  // Returns once quit was asked for, or when poll(2) itself fails.
  void run();

 private:
  // The poll set: these slots first, then one per connected agent.
  enum Slot : size_t { kSignals, kListener, kConsole, kFirstAgent };
  std::vector<pollfd> pollSet() const;
  void readSignals();
  void acceptAgent();
  void readConsole();
  void readAgent(int fd);

  const int signalFd_;
  BridgeServer& bridge_;
  VpnEngine& engine_;
  pid_t& agent_;  // -1 once reaped, or when none was started
  bool consoleOpen_ = true;
  LineReader console_;
};

void EventLoop::run() {
  while (!engine_.quitRequested()) {
    std::vector<pollfd> fds = pollSet();
    const int timeoutMs = pollTimeoutUntil(engine_.nextWakeup());
    if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
      logLine("poll(): " + errnoText(errno));
      return;
    }
    if (fds[kSignals].revents & POLLIN) readSignals();
    if (fds[kListener].revents & POLLIN) acceptAgent();
    if (fds[kConsole].revents & (POLLIN | POLLHUP)) readConsole();
    for (size_t i = kFirstAgent; i < fds.size(); ++i) {
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) readAgent(fds[i].fd);
    }
    engine_.tick(Clock::now());
  }
}

std::vector<pollfd> EventLoop::pollSet() const {
  std::vector<pollfd> fds;
  fds.push_back({signalFd_, POLLIN, 0});
  fds.push_back({bridge_.listenFd(), POLLIN, 0});
  fds.push_back({consoleOpen_ ? STDIN_FILENO : -1, POLLIN, 0});
  for (int fd : bridge_.clientFds()) fds.push_back({fd, POLLIN, 0});
  return fds;
}

void EventLoop::readSignals() {
  unsigned char signals[16];
  ssize_t n = ::read(signalFd_, signals, sizeof signals);
  for (ssize_t i = 0; i < n; ++i) {
    if (signals[i] == SIGCHLD) {
      reapAgent(agent_);
    } else {
      logLine(std::string("got ") + strsignal(signals[i]) + "; quitting");
      engine_.perform(BridgeCommand::quit, Clock::now());
    }
  }
}

void EventLoop::acceptAgent() {
  if (Result<int> fd = bridge_.acceptClient()) {
    logLine("agent connected to the bridge");
    logLine("-> status " + describeState(engine_.state()));
    bridge_.sendTo(*fd, statusFrame(engine_.state()));
  } else if (fd.error().kind == ErrorKind::kRefused) {
    logLine(fd.error().message());  // a refusal; a failed accept is retried by the loop
  }
}

void EventLoop::readConsole() {
  std::vector<std::string> lines;
  if (!console_.read(STDIN_FILENO, lines)) {
    logLine("console closed; commands now come from the agent only");
    consoleOpen_ = false;
  }
  for (const std::string& line : lines) engine_.handleConsoleLine(line, Clock::now());
}

void EventLoop::readAgent(int fd) {
  std::vector<std::string> lines;
  bool open = bridge_.readFrom(fd, lines);
  for (const std::string& line : lines) engine_.handleAgentLine(line, Clock::now());
  if (!open) logLine("agent connection closed");
}

// The value of `arg` when it starts with `prefix`.
std::optional<std::string_view> valueAfter(std::string_view prefix, std::string_view arg) {
  if (arg.substr(0, prefix.size()) != prefix) return std::nullopt;
  return arg.substr(prefix.size());
}

// Reads `value` into `out`; a value that is no number of milliseconds leaves
// `out` as it was and is added to `problems`.
void readMilliseconds(std::string_view name, std::string_view value, std::chrono::milliseconds& out,
                      std::vector<std::string>& problems) {
  char* end = nullptr;
  std::string text(value);
  long long number = strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || number < 0) {
    problems.push_back(std::string(name) + " wants a number of milliseconds, got \"" + text + "\"");
    return;
  }
  out = std::chrono::milliseconds(number);
}

void applyArgument(std::string_view arg, StandinOptions& options) {
  if (auto v = valueAfter("--path=", arg)) {
    if (!options.path) options.path = std::string(*v);
  } else if (auto v = valueAfter("--res-mode=", arg)) {
    if (!options.resMode) options.resMode = std::string(*v);
  } else if (arg == "--no-menubar") {
    options.startAgent = false;
  } else if (auto v = valueAfter("--helper-socket=", arg)) {
    options.helperSocket = std::string(*v);
  } else if (auto v = valueAfter("--relay=", arg)) {
    options.engine.relayId = std::string(*v);
  } else if (auto v = valueAfter("--connect-delay-ms=", arg)) {
    readMilliseconds("--connect-delay-ms", *v, options.engine.connectDelay, options.problems);
  } else if (auto v = valueAfter("--ping-ms=", arg)) {
    readMilliseconds("--ping-ms", *v, options.engine.pingInterval, options.problems);
  } else {
    options.extra.emplace_back(arg);
  }
}

}  // namespace

Status runStandin(const StandinOptions& options) {
  Result<Pipe> signalPipe = catchSignals();
  if (!signalPipe) return signalPipe.error();
  logGreeting(options);
  Result<std::unique_ptr<BridgeServer>> bridge = openBridge();
  if (!bridge) return bridge.error();

  // Long enough for any script the daemon lets run, plus the exchange itself.
  std::unique_ptr<PrivilegedHelper> helper = makeSocketHelper(
      options.helperSocket, std::chrono::seconds(VELTOVPN_SCRIPT_TIMEOUT_SECONDS + 10));
  LoopOutlet outlet(**bridge);
  VpnEngine engine(engineOptionsFor(options), outlet, *helper, Clock::now());
  pid_t agent = options.startAgent ? startAgent(options) : -1;
  logLine("type help for the console commands");

  EventLoop(signalPipe->readEnd.get(), **bridge, engine, agent).run();

  (*bridge)->close();
  logLine("bridge closed");
  stopAgent(agent);
  logLine("stand-in exits");
  gSignalPipe = -1;
  return {};
}

StandinOptions parseStandinArguments(int argc, const char* const* argv) {
  StandinOptions options;
  options.programPath = argc > 0 ? argv[0] : "veltoVpn-bin";
  options.helperSocket = kHelperSocketPath;
  for (int i = 1; i < argc; ++i) applyArgument(argv[i], options);
  return options;
}

}  // namespace velto::standin
