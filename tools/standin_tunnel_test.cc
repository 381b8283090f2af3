// The tunnel scripts as the helper receives them, run by the real bash, and the
// reading of their reports.
#include "tools/standin_tunnel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "common/testing/process.h"
#include "common/testing/temp_dir.h"

namespace velto::standin {
namespace {

using namespace std::string_literals;

test_support::Process::Ended runBash(const std::string& script) {
  return test_support::run({"/bin/bash", "-c", script});
}

// Each step has its script in tools/tunnel, and each script there but the
// shared part is a step's: a file without a step, or a step without a file,
// would be sent to the helper as nothing.
TEST(TunnelScript, StepsAndEmbeddedScriptsMatchOneToOne) {
  std::vector<std::string_view> stepFiles = {"common"};
  for (TunnelStep step : everyTunnelStep()) stepFiles.push_back(tunnelStepFile(step));
  std::vector<std::string_view> embedded = embeddedTunnelFiles();
  std::sort(stepFiles.begin(), stepFiles.end());
  std::sort(embedded.begin(), embedded.end());
  EXPECT_EQ(embedded, stepFiles);
}

TEST(TunnelScript, EveryStepIsValidBash) {
  for (TunnelStep step : everyTunnelStep()) {
    test_support::Process::Ended result = runBash(
        "bash -n <<'VELTO_END'\n" + tunnelScript(step, {"0123abcd", true, {}}) + "\nVELTO_END\n");
    EXPECT_EQ(result.status, 0) << result.output;
  }
}

// The instance id ends up in names of namespaces and files made as root: a
// value that is shell text must neither run nor name anything.
TEST(TunnelScript, RefusesAnInstanceThatIsNotItsOwnId) {
  test_support::TempDir dir("standin-tunnel-test");
  const std::string planted = dir.file("planted");
  for (const std::string& instance : {"$(touch " + planted + ")", "x'; touch " + planted + "; '",
                                      "0123abc"s, "0123abcde"s, "0123ABCD"s, "../../etc"s, ""s}) {
    SCOPED_TRACE(instance);
    test_support::Process::Ended result =
        runBash(tunnelScript(TunnelStep::down, {instance, false, {}}));
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.output, "tunnel: instance must be 8 lower-case hexadecimal digits\n");
    EXPECT_NE(::access(planted.c_str(), F_OK), 0);
  }
}

TEST(TunnelScript, ChecksATunnelThatDoesNotExistAsMissing) {
  const std::string first = newTunnelInstance();
  EXPECT_NE(first, newTunnelInstance());
  test_support::Process::Ended result =
      runBash(tunnelScript(TunnelStep::check, {first, false, {}}));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, "link=missing\nhandshake=0\n");
}

// A step the helper only starts after its time does nothing: every step, since
// the check comes before any step's own part.
TEST(TunnelScript, AStepStartedTooLateDoesNothing) {
  for (TunnelStep step :
       {TunnelStep::up, TunnelStep::check, TunnelStep::killSwitch, TunnelStep::down}) {
    test_support::Process::Ended result = runBash(tunnelScript(step, {"0123abcd", true, 1}));
    EXPECT_EQ(result.status, kTunnelLateExit);
    EXPECT_EQ(result.output, "late: started after 1; nothing done\n");
  }
  // In time, the step runs: a check of a tunnel that is not there.
  test_support::Process::Ended inTime =
      runBash(tunnelScript(TunnelStep::check, {"0123abcd", false, 99999999999}));
  EXPECT_EQ(inTime.output, "link=missing\nhandshake=0\n");
}

TEST(TunnelReport, ReadsKeyValueLinesOnly) {
  auto report = readReport(
      "Warning: some tool talks\nrelay-key=ab+/c=\nlink=up\n=x\nBad Key=1\nlink=down\nhandshake=0");
  EXPECT_EQ(report, (std::map<std::string, std::string>{
                        {"relay-key", "ab+/c="}, {"link", "down"}, {"handshake", "0"}}));
  EXPECT_EQ(relayIdFromKey("xyz"), "relay-xyz");
}

}  // namespace
}  // namespace velto::standin
