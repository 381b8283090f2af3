// The real tunnel of the stand-in's engine: the example scripts of tools/tunnel
// composed for one instance, and the reading of what they print. Pure functions;
// any thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velto::standin {

// Every step of the real tunnel. A step's script is tools/tunnel/<file>.sh,
// <file> as tunnelStepFile names it; the build embeds every script there.
enum class TunnelStep { up, check, killSwitch, down };

// The name of the step's script file, without ".sh".
std::string_view tunnelStepFile(TunnelStep step);
// Every step, in the enum's order.
std::vector<TunnelStep> everyTunnelStep();
// The names (without ".sh") of the scripts the build embedded: every step's
// and the shared part, "common".
std::vector<std::string_view> embeddedTunnelFiles();

// The up step's exit status when this machine cannot run a tunnel (a tool is
// missing); it has made nothing then.
inline constexpr int kTunnelUnavailableExit = 69;
// Any step's exit status when the helper started it after its `notAfter`; it
// has done nothing then.
inline constexpr int kTunnelLateExit = 75;

struct TunnelParameters {
  std::string instance;  // 8 lower-case hex digits; names everything the scripts make
  bool killSwitch = false;
  // Seconds since 1970 after which the step, when it only starts then, does
  // nothing; none: it always runs.
  std::optional<long long> notAfter;
};

// The script text the helper runs for `step`: the parameters as variable lines
// (single-quoted, so no value is ever read as code), the shared part, the
// step's own file.
std::string tunnelScript(TunnelStep step, const TunnelParameters& parameters);

// The key=value lines of a script's output; other lines are skipped, and a key
// given twice keeps its last value.
std::map<std::string, std::string> readReport(std::string_view output);

// The relay id the user sees: "relay-" and the start of the relay's public key,
// in the URL-safe base64 alphabet.
std::string relayIdFromKey(std::string_view publicKey);

// A fresh random instance id.
std::string newTunnelInstance();

}  // namespace velto::standin
