// The pure part of the launcher's start-up: which mode to run in, where the main
// binary and the runtime directory are, and what argument vector the main binary
// receives. No file system access here; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velto::launcher {

// The one switch the launcher interprets itself.
inline constexpr std::string_view kUpdateModeSwitch = "--sparkle-check-for-updates";
// The main application binary, beside the launcher.
inline constexpr std::string_view kMainBinaryName = "veltoVpn-bin";
// Stands in for the launcher's own name when the system gave no argv[0].
inline constexpr std::string_view kFallbackLauncherName = "veltoVpn";

// True when any argument, the first included, equals the update switch exactly
// (no prefix match, no case folding).
bool isUpdateMode(const std::vector<std::string>& args);

// argv[0], or the fallback name when it is missing or empty. Current Linux
// kernels turn an empty argument vector into one empty string, so both count
// as "no name".
std::string_view launcherName(const std::vector<std::string>& args);

// `path` made absolute against `startDirectory` (which must be absolute), with
// any trailing slash removed. Symbolic links are left alone.
std::string absoluteAgainst(std::string_view startDirectory, std::string_view path);

// The runtime directory on macOS: home + Library/Application Support/veltoVpn/runtime.
std::string macRuntimeDirectoryFor(std::string_view home);

// The runtime directory on Linux: $XDG_DATA_HOME/veltovpn/runtime when
// `xdgDataHome` is an absolute path, else home + .local/share/veltovpn/runtime
// (a relative or empty value is ignored, as the XDG base-directory rules ask).
std::string linuxRuntimeDirectoryFor(std::optional<std::string_view> xdgDataHome,
                                     std::string_view home);

// The argument vector for the main binary: its own path, the launcher's
// arguments from the second onwards, then "--path=" + executableDirectory and
// "--res-mode=bundle", each only when no element so far starts with its prefix.
std::vector<std::string> forwardedArguments(std::string_view mainBinary,
                                            std::string_view executableDirectory,
                                            const std::vector<std::string>& args);

}  // namespace velto::launcher
