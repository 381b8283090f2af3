// The stand-in main application as a whole: its command line, and the event loop
// that serves the bridge, starts the menu-bar agent, reads console commands and
// drives the simulated engine. Runs on the calling thread until quit.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "tools/standin_engine.h"

namespace velto::standin {

struct StandinOptions {
  std::string programPath;          // argv[0]
  std::optional<std::string> path;  // "--path=": the directory holding the agent
  std::optional<std::string> resMode;
  bool startAgent = true;             // "--no-menubar" turns it off
  std::string helperSocket;           // "--helper-socket=", default the daemon's path
  EngineOptions engine;               // "--relay=", "--connect-delay-ms=", "--ping-ms="
  std::vector<std::string> extra;     // anything else, accepted and reported
  std::vector<std::string> problems;  // malformed values of our own options
};

StandinOptions parseStandinArguments(int argc, const char* const* argv);

// Serves until "quit" (from the agent or the console) or SIGINT/SIGTERM.
// Fails, after saying why on the console, when the bridge could not be set up.
[[nodiscard]] Status runStandin(const StandinOptions& options);

}  // namespace velto::standin
