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
Result<pid_t> startAgent(const std::string& program) {
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

}  // namespace

Status runStandin(const StandinOptions& options) {
  // The agent must not inherit the signal pipe, which would only keep it open.
  Result<Pipe> signalPipe = makeCloseOnExecPipe();
  if (!signalPipe) {
    logLine(signalPipe.error().message());
    return signalPipe.error();
  }
  UniqueFd signalRead = std::move(signalPipe->readEnd);
  UniqueFd signalWrite = std::move(signalPipe->writeEnd);
  // A blocking write end could stall the signal handler once the pipe is full,
  // which no run fills.
  (void)setNonBlocking(signalWrite.get());
  gSignalPipe = signalWrite.get();
  struct sigaction action = {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaction(sig, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  char cwd[PATH_MAX] = {};
  logLine("veltoVpn stand-in main application, pid " + std::to_string(getpid()) +
          ", working directory " + (::getcwd(cwd, sizeof cwd) ? cwd : "?"));
  logLine("--path=" + options.path.value_or("(not given)") +
          " --res-mode=" + options.resMode.value_or("(not given)"));
  for (const std::string& extra : options.extra) logLine("further argument: " + extra);
  for (const std::string& problem : options.problems) logLine("ignored: " + problem);

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
  std::unique_ptr<BridgeServer> bridge = std::move(*listening);
  logLine("bridge listening on " + bridge->path());

  // Long enough for any script the daemon lets run, plus the exchange itself.
  std::unique_ptr<PrivilegedHelper> helper = makeSocketHelper(
      options.helperSocket, std::chrono::seconds(VELTOVPN_SCRIPT_TIMEOUT_SECONDS + 10));
  LoopOutlet outlet(*bridge);
  EngineOptions engineOptions = options.engine;
  // Per run, so that two stand-ins' tunnels never share a name.
  if (engineOptions.tunnelInstance.empty()) engineOptions.tunnelInstance = newTunnelInstance();
  logLine("tunnel instance " + engineOptions.tunnelInstance + ", helper at " +
          options.helperSocket);
  VpnEngine engine(std::move(engineOptions), outlet, *helper, Clock::now());

  pid_t agent = -1;
  if (options.startAgent) {
    const std::string program =
        options.path.value_or(directoryOf(options.programPath)) + "/veltovpn-menubar";
    if (Result<pid_t> started = startAgent(program)) {
      agent = *started;
      logLine("started agent " + program + " (pid " + std::to_string(agent) + ")");
    } else {
      logLine(started.error().message());
    }
  }
  logLine("type help for the console commands");

  bool consoleOpen = true;
  LineReader console;
  while (!engine.quitRequested()) {
    std::vector<pollfd> fds;
    fds.push_back({signalRead.get(), POLLIN, 0});
    fds.push_back({bridge->listenFd(), POLLIN, 0});
    fds.push_back({consoleOpen ? STDIN_FILENO : -1, POLLIN, 0});
    for (int fd : bridge->clientFds()) fds.push_back({fd, POLLIN, 0});

    const int timeoutMs = pollTimeoutUntil(engine.nextWakeup());
    if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
      logLine("poll(): " + errnoText(errno));
      break;
    }

    if (fds[0].revents & POLLIN) {
      unsigned char signals[16];
      ssize_t n = ::read(signalRead.get(), signals, sizeof signals);
      for (ssize_t i = 0; i < n; ++i) {
        if (signals[i] == SIGCHLD) {
          reapAgent(agent);
        } else {
          logLine(std::string("got ") + strsignal(signals[i]) + "; quitting");
          engine.perform(BridgeCommand::quit, Clock::now());
        }
      }
    }
    if (fds[1].revents & POLLIN) {
      if (Result<int> fd = bridge->acceptClient()) {
        logLine("agent connected to the bridge");
        logLine("-> status " + describeState(engine.state()));
        bridge->sendTo(*fd, statusFrame(engine.state()));
      } else if (fd.error().kind == ErrorKind::kRefused) {
        logLine(fd.error().message());  // a refusal; a failed accept is retried by the loop
      }
    }
    if (fds[2].revents & (POLLIN | POLLHUP)) {
      std::vector<std::string> lines;
      if (!console.read(STDIN_FILENO, lines)) {
        logLine("console closed; commands now come from the agent only");
        consoleOpen = false;
      }
      for (const std::string& line : lines) engine.handleConsoleLine(line, Clock::now());
    }
    for (size_t i = 3; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      std::vector<std::string> lines;
      bool open = bridge->readFrom(fds[i].fd, lines);
      for (const std::string& line : lines) engine.handleAgentLine(line, Clock::now());
      if (!open) logLine("agent connection closed");
    }
    engine.tick(Clock::now());
  }

  bridge->close();
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
  auto milliseconds = [&options](std::string_view name, std::string_view value,
                                 std::chrono::milliseconds* out) {
    char* end = nullptr;
    std::string text(value);
    long long number = strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || number < 0) {
      options.problems.push_back(std::string(name) + " wants a number of milliseconds, got \"" +
                                 text + "\"");
      return;
    }
    *out = std::chrono::milliseconds(number);
  };
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [arg](std::string_view prefix) -> std::optional<std::string_view> {
      if (arg.substr(0, prefix.size()) != prefix) return std::nullopt;
      return arg.substr(prefix.size());
    };
    if (auto v = value("--path=")) {
      if (!options.path) options.path = std::string(*v);
    } else if (auto v = value("--res-mode=")) {
      if (!options.resMode) options.resMode = std::string(*v);
    } else if (arg == "--no-menubar") {
      options.startAgent = false;
    } else if (auto v = value("--helper-socket=")) {
      options.helperSocket = std::string(*v);
    } else if (auto v = value("--relay=")) {
      options.engine.relayId = std::string(*v);
    } else if (auto v = value("--connect-delay-ms=")) {
      milliseconds("--connect-delay-ms", *v, &options.engine.connectDelay);
    } else if (auto v = value("--ping-ms=")) {
      milliseconds("--ping-ms", *v, &options.engine.pingInterval);
    } else {
      options.extra.emplace_back(arg);
    }
  }
  return options;
}

}  // namespace velto::standin
