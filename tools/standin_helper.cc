// The stand-in's helper client, over the tools' socket client. Event-loop thread only.
#include "tools/standin_helper.h"

#include "common/helper_wire.h"
#include "tools/helper_client.h"

namespace velto::standin {
namespace {

class SocketHelper : public PrivilegedHelper {
 public:
  SocketHelper(std::string path, std::chrono::milliseconds timeout)
      : path_(std::move(path)), timeout_(timeout) {}

  HelperOutcome ping() override { return exchange(pingRequest(), HelperAction::ping); }

  HelperOutcome runScript(const std::string& script) override {
    return exchange(runScriptRequest(script), HelperAction::runScript);
  }

 private:
  HelperOutcome exchange(const std::string& request, HelperAction action) {
    HelperExchange reply = sendHelperRequest(path_, request, timeout_);
    if (!reply.response) {
      return reply.connected ? HelperOutcome::lost(reply.response.error())
                             : HelperOutcome(reply.response.error());
    }
    std::optional<HelperResponse> answer = parseHelperResponse(*reply.response, action);
    // The daemon had the request: what it did is unknown.
    if (!answer) {
      return HelperOutcome::lost(Error{"unreadable response: " + reply.response->substr(0, 120)});
    }
    return *answer;
  }

  std::string path_;
  std::chrono::milliseconds timeout_;
};

}  // namespace

std::unique_ptr<PrivilegedHelper> makeSocketHelper(std::string socketPath,
                                                   std::chrono::milliseconds timeout) {
  return std::make_unique<SocketHelper>(std::move(socketPath), timeout);
}

}  // namespace velto::standin
