// Fuzzes the stand-in engine's input: console lines and lines from an agent, any
// bytes, against a helper that answers every step as a machine without a tunnel.
// Nothing may throw or crash, and every frame it sends, except what `send`
// passes on as typed, is one JSON object of UTF-8 text. Input layout
// (FuzzedDataProvider): per line, whether it comes from the console, then the line.
#include <fuzzer/FuzzedDataProvider.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/utf8.h"
#include "tools/standin_engine.h"
#include "tools/standin_tunnel.h"

namespace {

using namespace velto::standin;

class Helper : public PrivilegedHelper {
 public:
  HelperOutcome ping() override { return HelperAnswer{true, 0, "fuzz"}; }
  HelperOutcome runScript(const std::string&) override {
    return HelperAnswer{true, kTunnelUnavailableExit, "unavailable: fuzzing\n"};
  }
};

class Outlet : public EngineOutlet {
 public:
  void sendFrame(const std::string& line) override {
    if (raw) return;
    const std::string text = line.substr(0, line.size() - 1);
    if (line.back() != '\n' || !velto::isValidUtf8(text) || !nlohmann::json::accept(text) ||
        !nlohmann::json::parse(text).is_object()) {
      std::fprintf(stderr, "bad frame: %s\n", line.c_str());
      std::abort();
    }
  }
  void log(std::string_view) override {}
  bool raw = false;  // the line being handled is a `send`
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  Helper helper;
  Outlet outlet;
  EngineOptions options;
  options.tunnelInstance = "0123abcd";
  options.pingInterval = std::chrono::milliseconds(0);
  Clock::time_point now{};
  VpnEngine engine(options, outlet, helper, now);
  while (input.remaining_bytes() > 0) {
    const bool console = input.ConsumeBool();
    const std::string line = input.ConsumeRandomLengthString(256);
    if (console) {
      // The first word, as the console reads it: blanks around the line dropped.
      std::string_view rest = line;
      rest.remove_suffix(rest.size() - (rest.find_last_not_of(" \t\r") + 1));
      rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of(" \t")));
      outlet.raw = rest.substr(0, rest.find_first_of(" \t")) == "send";
      engine.handleConsoleLine(line, now);
    } else {
      outlet.raw = false;
      engine.handleAgentLine(line, now);
    }
    engine.tick(now += std::chrono::milliseconds(700));
  }
  return 0;
}
