// Composition of the tunnel scripts and the reading of their reports. Any thread.
#include "tools/standin_tunnel.h"

#include <random>

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

std::string_view stepFile(TunnelStep step) {
  switch (step) {
    case TunnelStep::up:
      return tunnel_files::kUp;
    case TunnelStep::check:
      return tunnel_files::kCheck;
    case TunnelStep::killSwitch:
      return tunnel_files::kKillswitch;
    case TunnelStep::down:
      return tunnel_files::kDown;
  }
  return {};
}

}  // namespace

std::string tunnelScript(TunnelStep step, const TunnelParameters& parameters) {
  std::string script = "instance=" + singleQuoted(parameters.instance) + "\n";
  script += "killswitch=" + std::string(parameters.killSwitch ? "1" : "0") + "\n";
  if (parameters.notAfter) script += "not_after=" + std::to_string(*parameters.notAfter) + "\n";
  script += tunnel_files::kCommon;
  script += stepFile(step);
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
