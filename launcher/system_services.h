// POSIX implementations of the system log and the process runner, for platforms
// where no richer service stands behind them. Any thread.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "launcher/update_platform.h"

namespace velto::launcher {

// "Dec  6 20:29:23 name[pid]: message\n": the classic system-log line, local
// time, message verbatim.
std::string formatSystemLogLine(const std::tm& localTime, std::string_view programName, int pid,
                                std::string_view message);

// Writes system-log lines to standard error, each in one write, so lines from
// several threads never interleave.
class StderrSystemLog final : public SystemLog {
 public:
  explicit StderrSystemLog(std::string programName) : programName_(std::move(programName)) {}
  void log(std::string_view message) override;

 private:
  const std::string programName_;
};

// Starts programs with posix_spawn and waits for them. Stateless, so any number
// of threads may use one instance at once.
class SpawnProcessRunner final : public ProcessRunner {
 public:
  std::optional<std::string> runAndWait(const std::string& executable,
                                        const std::vector<std::string>& arguments) override;
};

}  // namespace velto::launcher
