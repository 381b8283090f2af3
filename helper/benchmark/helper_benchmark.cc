// helper-benchmark: the real daemon (veltovpn-helper-testing, on a temporary
// socket and log) against two minimal C servers doing the same required work,
// in interleaved rounds: floor ping, helper ping, floor run-script, helper
// run-script. Prints each round's figures and the median ratios. Needs root (the
// daemon admits its root client without a group). Main thread plus the ping
// client threads.
//   helper-benchmark [--rounds N] [--pings N] [--scripts N]
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/io.h"
#include "common/unique_fd.h"
#include "common/unix_socket.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A script of 100 bytes that prints one line, as a typical small helper script.
const std::string kScript = "echo hello\n" + std::string(88, '#') + "\n";
const std::string kPing = R"({"action":"ping"})";

// One request the way the daemon's clients make it, with nothing else: the
// shared client tool adds time-outs and polls that would hide the servers'
// differences. Returns the response, empty on failure.
std::string exchange(const std::string& path, const std::string& request) {
  velto::Result<velto::UniqueFd> connected = velto::connectUnix(path);
  if (!connected) return std::string();
  velto::UniqueFd fd = std::move(*connected);
  if (!velto::sendAll(fd.get(), request).ok()) return std::string();
  ::shutdown(fd.get(), SHUT_WR);
  std::string response;
  char buffer[4096];
  for (velto::Result<size_t> n = velto::readRetrying(fd.get(), buffer, sizeof buffer);
       n.ok() && *n > 0; n = velto::readRetrying(fd.get(), buffer, sizeof buffer)) {
    response.append(buffer, *n);
  }
  return response;
}

struct Server {
  pid_t pid = -1;
  std::string socketPath;
};

// Starts `argv` with standard output on /dev/null (each server echoes its log
// lines there) and waits until it answers a ping-shaped request.
Server start(std::vector<std::string> argv, const std::string& socketPath,
             const std::vector<std::string>& extraEnvironment) {
  Server server;
  server.socketPath = socketPath;
  std::vector<std::string> environment(extraEnvironment);
  for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
  std::vector<char*> envp, args;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  int err = posix_spawn(&server.pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) {
    fprintf(stderr, "helper-benchmark: cannot start %s: %s\n", args[0],
            velto::errnoText(err).c_str());
    server.pid = -1;
    return server;
  }
  for (int i = 0; i < 500; ++i) {
    if (!exchange(socketPath, kPing).empty()) return server;
    usleep(10000);
  }
  fprintf(stderr, "helper-benchmark: %s never answered on %s\n", args[0], socketPath.c_str());
  kill(server.pid, SIGKILL);
  waitpid(server.pid, nullptr, 0);
  server.pid = -1;
  return server;
}

// SIGTERM, and SIGKILL for a daemon that is still there 30 s later: the
// benchmark never leaves one behind.
void stop(Server& server) {
  if (server.pid <= 0) return;
  kill(server.pid, SIGTERM);
  bool ended = false;
  for (int polls = 0; polls < 3000 && !ended; ++polls) {
    const pid_t reaped = waitpid(server.pid, nullptr, WNOHANG);
    ended = reaped == server.pid || (reaped < 0 && errno != EINTR);
    if (!ended) usleep(10000);
  }
  if (!ended) {
    fprintf(stderr, "helper-benchmark: pid %d outlived SIGTERM by 30 s; killed\n", server.pid);
    kill(server.pid, SIGKILL);
    while (waitpid(server.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  unlink(server.socketPath.c_str());
}

// Pings per second, from two clients at once so that the server always has the
// next connection waiting.
double pingThroughput(const std::string& path, int count, bool* ok) {
  std::atomic<int> next{0};
  std::atomic<bool> failed{false};
  auto client = [&] {
    while (next.fetch_add(1) < count) {
      if (exchange(path, kPing).find("pong") == std::string::npos) failed = true;
    }
  };
  const Clock::time_point begin = Clock::now();
  std::thread other(client);
  client();
  other.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  if (failed) *ok = false;
  return count / seconds;
}

// Median latency of one run-script request, in milliseconds.
double scriptLatency(const std::string& path, int count, bool* ok) {
  const std::string request = R"({"action":"run-script","script":")" +
                              std::string("echo hello\\n") + std::string(88, '#') + "\\n\"}";
  std::vector<double> latencies;
  for (int i = 0; i < count; ++i) {
    const Clock::time_point begin = Clock::now();
    std::string response = exchange(path, request);
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    if (response.find("hello") == std::string::npos) *ok = false;
  }
  std::sort(latencies.begin(), latencies.end());
  return latencies[latencies.size() / 2];
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::string sibling(const char* argv0, const char* name) {
  std::string self(argv0);
  size_t slash = self.rfind('/');
  return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/" + name;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 7, pings = 2000, scripts = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    int value = atoi(argv[i + 1]);
    if (name == "--rounds") rounds = value;
    else if (name == "--pings") pings = value;
    else if (name == "--scripts") scripts = value;
  }
  if (rounds < 1 || pings < 1 || scripts < 1) {
    fputs("usage: helper-benchmark [--rounds N] [--pings N] [--scripts N]\n", stderr);
    return 2;
  }
  if (geteuid() != 0) {
    puts("SKIP: helper-benchmark needs root: the daemon admits root clients only here");
    return 77;
  }
  signal(SIGPIPE, SIG_IGN);
  char pattern[] = "/tmp/helper-benchmark-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    const int err = errno;
    fprintf(stderr, "helper-benchmark: mkdtemp: %s\n", velto::errnoText(err).c_str());
    return 1;
  }
  const std::string dir = pattern;

  Server floorPing = start({sibling(argv[0], "helper-benchmark-floor-ping"),
                            dir + "/floor-ping.sock", dir + "/floor-ping.log"},
                           dir + "/floor-ping.sock", {});
  Server floorScript = start({sibling(argv[0], "helper-benchmark-floor-script"),
                              dir + "/floor-script.sock", dir + "/floor-script.log", kScript},
                             dir + "/floor-script.sock", {});
  Server helper = start({sibling(argv[0], "veltovpn-helper-testing")}, dir + "/helper.sock",
                        {"VELTOVPN_HELPER_SOCKET=" + dir + "/helper.sock",
                         "VELTOVPN_HELPER_LOG=" + dir + "/helper.log"});
  bool ok = floorPing.pid > 0 && floorScript.pid > 0 && helper.pid > 0;

  std::vector<double> pingRatios, scriptRatios;
  printf("%d rounds of %d pings (2 clients) and %d run-script requests (100-byte script)\n", rounds,
         pings, scripts);
  for (int round = 1; ok && round <= rounds; ++round) {
    const double floorRate = pingThroughput(floorPing.socketPath, pings, &ok);
    const double helperRate = pingThroughput(helper.socketPath, pings, &ok);
    const double floorP50 = scriptLatency(floorScript.socketPath, scripts, &ok);
    const double helperP50 = scriptLatency(helper.socketPath, scripts, &ok);
    pingRatios.push_back(helperRate / floorRate);
    scriptRatios.push_back(helperP50 / floorP50);
    printf(
        "round %d: ping %.0f/s floor, %.0f/s helper, throughput %.2fx | run-script p50 "
        "%.3f ms floor, %.3f ms helper, latency %.2fx\n",
        round, floorRate, helperRate, pingRatios.back(), floorP50, helperP50, scriptRatios.back());
    fflush(stdout);
  }
  stop(floorPing);
  stop(floorScript);
  stop(helper);
  for (const char* file : {"/floor-ping.log", "/floor-script.log", "/helper.log"}) {
    unlink((dir + file).c_str());
  }
  rmdir(dir.c_str());
  if (!ok) {
    fputs("helper-benchmark: a server failed to answer correctly\n", stderr);
    return 1;
  }
  const double pingMedian = median(pingRatios), scriptMedian = median(scriptRatios);
  printf(
      "median: ping throughput %.2fx the floor (goal >= 0.90x: %s), run-script p50 latency "
      "%.2fx the floor (goal <= 1.10x: %s)\n",
      pingMedian, pingMedian >= 0.9 ? "met" : "missed", scriptMedian,
      scriptMedian <= 1.1 ? "met" : "missed");
  return 0;
}
