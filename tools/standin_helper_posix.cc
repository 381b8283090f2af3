// The stand-in's helper client on POSIX systems. Event-loop thread only.
#include "tools/standin_helper.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <nlohmann/json.hpp>

#include <stdexcept>

#include "common/io.h"
#include "common/unique_fd.h"

namespace velto::standin {

const char* const kDefaultHelperSocket = "/var/run/veltovpn-helper.sock";

namespace {

using nlohmann::json;

class SocketHelper : public PrivilegedHelper {
 public:
  explicit SocketHelper(std::string path) : path_(std::move(path)) {}

  HelperReply ping() override {
    HelperReply reply = exchange({{"action", "ping"}});
    if (reply.answered && reply.success) reply.text = "\"" + version_ + "\"";
    return reply;
  }

  HelperReply runScript(const std::string& script) override {
    return exchange({{"action", "run-script"}, {"script", script}});
  }

 private:
  HelperReply exchange(const json& request) {
    HelperReply reply;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) {
      reply.text = "socket path too long";
      return reply;
    }
    memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    if (!fd) {
      reply.text = "socket(): " + errnoText(errno);
      return reply;
    }
    setCloseOnExec(fd.get());
    disableSigpipe(fd.get());
    // A daemon busy with someone else's long script must not freeze the stand-in.
    timeval limit = {30, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      reply.text = path_ + ": " + errnoText(errno);
      return reply;
    }
    // One request per connection: the daemon reads to our end of stream and
    // answers up to its close.
    if (!sendAll(fd.get(), request.dump()) || ::shutdown(fd.get(), SHUT_WR) != 0) {
      reply.text = "sending the request: " + errnoText(errno);
      return reply;
    }
    std::string response;
    char buffer[4096];
    ssize_t n;
    while ((n = readRetrying(fd.get(), buffer, sizeof buffer)) > 0) response.append(buffer, n);
    if (n < 0) {
      reply.text = "reading the response: " + errnoText(errno);
      return reply;
    }
    json answer = json::parse(response, nullptr, false);
    try {
      if (!answer.is_object()) throw std::invalid_argument("not an object");
      reply.success = answer.value("success", false);
      if (!reply.success) {
        reply.text = answer.value("error", std::string("no error text"));
      } else {
        reply.exitCode = answer.value("exit", 0);
        reply.text = answer.value("stdout", std::string());
        version_ = answer.value("version", std::string());
      }
      reply.answered = true;
    } catch (const std::exception&) {
      reply = HelperReply();
      reply.text = "unreadable response: " + response.substr(0, 120);
    }
    return reply;
  }

  std::string path_;
  std::string version_;
};

}  // namespace

std::unique_ptr<PrivilegedHelper> makeSocketHelper(std::string socketPath) {
  return std::make_unique<SocketHelper>(std::move(socketPath));
}

}  // namespace velto::standin
