// The stand-in's helper client, over the tools' socket client. Event-loop thread only.
#include "tools/standin_helper.h"

#include <nlohmann/json.hpp>

#include "tools/helper_client.h"

namespace velto::standin {
namespace {

using nlohmann::json;

// The request text; bytes that are not UTF-8 become U+FFFD instead of throwing.
std::string dumpJson(const json& request) {
  return request.dump(-1, ' ', false, json::error_handler_t::replace);
}

class SocketHelper : public PrivilegedHelper {
 public:
  SocketHelper(std::string path, std::chrono::milliseconds timeout)
      : path_(std::move(path)), timeout_(timeout) {}

  HelperOutcome ping() override { return exchange({{"action", "ping"}}, false); }

  HelperOutcome runScript(const std::string& script) override {
    return exchange({{"action", "run-script"}, {"script", script}}, true);
  }

 private:
  HelperOutcome exchange(const json& request, bool isScript) {
    HelperExchange reply = sendHelperRequest(path_, dumpJson(request), timeout_);
    if (!reply.response) {
      return reply.connected ? HelperOutcome::lost(reply.response.error())
                             : HelperOutcome(reply.response.error());
    }
    return readHelperResponse(*reply.response, isScript);
  }

  std::string path_;
  std::chrono::milliseconds timeout_;
};

template <typename T>
T member(const json& object, const char* name, T fallback) {
  auto it = object.find(name);
  if (it == object.end()) return fallback;
  if constexpr (std::is_same_v<T, bool>) {
    return it->is_boolean() ? it->get<bool>() : fallback;
  } else if constexpr (std::is_same_v<T, int>) {
    return it->is_number_integer() ? it->get<int>() : fallback;
  } else {
    return it->is_string() ? it->get<std::string>() : fallback;
  }
}

}  // namespace

HelperOutcome readHelperResponse(const std::string& response, bool isScript) {
  json answer = json::parse(response, nullptr, /*allow_exceptions=*/false);
  // The daemon had the request: what it did is unknown.
  if (!answer.is_object()) {
    return HelperOutcome::lost(Error{"unreadable response: " + response.substr(0, 120)});
  }
  HelperAnswer outcome;
  outcome.success = member(answer, "success", false);
  if (!outcome.success) {
    outcome.text = member(answer, "error", std::string("(no error text)"));
  } else if (isScript) {
    outcome.exitCode = member(answer, "exit", 0);
    outcome.text = member(answer, "stdout", std::string());
  } else {
    outcome.text = member(answer, "version", std::string("(no version)"));
  }
  return outcome;
}

std::unique_ptr<PrivilegedHelper> makeSocketHelper(std::string socketPath,
                                                   std::chrono::milliseconds timeout) {
  return std::make_unique<SocketHelper>(std::move(socketPath), timeout);
}

}  // namespace velto::standin
