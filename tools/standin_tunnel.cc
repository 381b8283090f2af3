// Composition of the tunnel scripts and the reading of their reports. Any thread.
#include "tools/standin_tunnel.h"

#include <random>

#include "common/enum_names.h"
#include "tools/tunnel_scripts.h"

namespace velto::standin {
namespace {

std::string singleQuoted(std::string_view value) {
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += "'";
  return quoted;
}

// The text of the embedded script `name`; empty when there is none.
std::string_view embeddedScript(std::string_view name) {
  for (const tunnel_files::Script& script : tunnel_files::kScripts) {
    if (script.name == name) return script.text;
  }
  return {};
}

}  // namespace

std::string_view tunnelStepFile(TunnelStep step) {
  switch (step) {
    case TunnelStep::up:
      return "up";
    case TunnelStep::check:
      return "check";
    case TunnelStep::killSwitch:
      return "killswitch";
    case TunnelStep::down:
      return "down";
  }
  return {};
}

std::vector<TunnelStep> everyTunnelStep() { return everyValue<TunnelStep>(tunnelStepFile); }

std::vector<std::string_view> embeddedTunnelFiles() {
  std::vector<std::string_view> names;
  for (const tunnel_files::Script& script : tunnel_files::kScripts) names.push_back(script.name);
  return names;
}

std::string tunnelScript(TunnelStep step, const TunnelParameters& parameters) {
  std::string script = "instance=" + singleQuoted(parameters.instance) + "\n";
  script += "killswitch=" + std::string(parameters.killSwitch ? "1" : "0") + "\n";
  if (parameters.notAfter) script += "not_after=" + std::to_string(*parameters.notAfter) + "\n";
  script += embeddedScript("common");
  script += embeddedScript(tunnelStepFile(step));
  return script;
}

std::map<std::string, std::string> readReport(std::string_view output) {
  std::map<std::string, std::string> report;
  while (!output.empty()) {
    size_t end = output.find('\n');
    std::string_view line = output.substr(0, end);
    output.remove_prefix(end == std::string_view::npos ? output.size() : end + 1);
    size_t equals = line.find('=');
    if (equals == 0 || equals == std::string_view::npos) continue;
    std::string_view key = line.substr(0, equals);
    if (key.find_first_not_of("abcdefghijklmnopqrstuvwxyz-") != std::string_view::npos) continue;
    report[std::string(key)] = std::string(line.substr(equals + 1));
  }
  return report;
}

std::string relayIdFromKey(std::string_view publicKey) {
  std::string id = "relay-";
  for (char c : publicKey.substr(0, 8)) {
    if (c == '+') {
      id += '-';
    } else if (c == '/') {
      id += '_';
    } else {
      id += c;
    }
  }
  return id;
}

std::string newTunnelInstance() {
  std::random_device source;
  std::uniform_int_distribution<int> digit(0, 15);
  std::string id;
  for (int i = 0; i < 8; ++i) id += "0123456789abcdef"[digit(source)];
  return id;
}

}  // namespace velto::standin
