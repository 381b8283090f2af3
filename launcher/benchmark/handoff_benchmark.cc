// Start-up cost of the hand-off: VeltoVpnLauncher against a minimal C launcher
// that does the same system calls, and against starting the main binary directly.
// The main binary is a copy of /bin/true, so each run measures launcher overhead.
// Run by hand: build/<preset>/bin/launcher_benchmark
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Bundle {
  Bundle() {
    char tmpl[] = "/tmp/velto-launcher-benchmark-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    root = tmpl;
    macos = root + "/veltoVpn.app/Contents/MacOS";
    fs::create_directories(macos);
    fs::create_directories(root + "/home/.local/share/veltovpn/runtime");
    fs::copy_file("/bin/true", macos + "/veltoVpn-bin");
    fs::copy_file(VELTO_LAUNCHER, macos + "/VeltoVpnLauncher");
    fs::copy_file(VELTO_MINIMAL_C_LAUNCHER, macos + "/minimal_c_launcher");
    setenv("HOME", (root + "/home").c_str(), 1);
    unsetenv("XDG_DATA_HOME");
  }
  ~Bundle() { fs::remove_all(root); }
  std::string root;
  std::string macos;
};

const Bundle& bundle() {
  static Bundle instance;
  return instance;
}

void runToEnd(benchmark::State& state, const std::string& program) {
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  for (auto _ : state) {
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
      state.SkipWithError("cannot start the program");
      return;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the program failed");
      return;
    }
  }
}

void BM_MainBinaryDirectly(benchmark::State& state) {
  runToEnd(state, bundle().macos + "/veltoVpn-bin");
}
void BM_MinimalCLauncher(benchmark::State& state) {
  runToEnd(state, bundle().macos + "/minimal_c_launcher");
}
void BM_VeltoVpnLauncher(benchmark::State& state) {
  runToEnd(state, bundle().macos + "/VeltoVpnLauncher");
}

BENCHMARK(BM_MainBinaryDirectly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MinimalCLauncher)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VeltoVpnLauncher)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
