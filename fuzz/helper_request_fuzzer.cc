// Fuzzes the helper's request handling. The input chooses the request bytes and
// what the script runner returns (output and exit code); whatever they are, the
// answer must be exactly one JSON object with a boolean "success", which a
// client reads as the daemon meant it. Input layout
// (FuzzedDataProvider): runner output, then the request; exit code at the end.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "common/utf8.h"
#include "helper/helper_protocol.h"

namespace {

[[noreturn]] void broken(const char* property, const std::string& response) {
  std::fprintf(stderr, "broken property: %s\nresponse: %s\n", property, response.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const int32_t exitCode = input.ConsumeIntegral<int32_t>();
  const std::string output = input.ConsumeRandomLengthString();
  const std::string request = input.ConsumeRemainingBytesAsString();

  int runs = 0;
  int logLines = 0;
  std::string script;
  const std::string response = velto::handleRequest(
      request,
      [&](const std::string& text) {
        ++runs;
        script = text;
        return velto::ScriptResult{output, exitCode};
      },
      [&](std::string_view) { ++logLines; });

  const nlohmann::json parsed =
      nlohmann::json::parse(response, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) broken("not exactly one JSON object", response);
  const auto success = parsed.find("success");
  if (success == parsed.end() || !success->is_boolean()) broken("no boolean \"success\"", response);
  const std::optional<velto::HelperResponse> read =
      velto::parseHelperResponse(response, velto::HelperAction::runScript);
  if (!read || read->success != success->get<bool>())
    broken("a client reads the response otherwise", response);
  if (runs > 1 || logLines > 2)
    broken("runner called more than once or log more than twice", response);
  if (runs == 0) return 0;

  if (request.find('\0') != std::string::npos)
    broken("a request holding a NUL ran a script", response);
  if (!velto::isValidUtf8(request)) broken("a request that is not UTF-8 ran a script", response);
  if (script.empty()) broken("an empty script ran", response);
  // After a run the one failure allowed is output that JSON cannot carry.
  const nlohmann::json ran = {
      {"success", true}, {"exit", exitCode}, {"stdout", output}, {"stderr", ""}};
  if (*success && parsed != ran)
    broken("the response does not carry the runner's result", response);
  return 0;
}
