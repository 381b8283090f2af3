// veltovpn-helper-client: sends one JSON request to the helper daemon and prints
// its response. A development tool; never shipped.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "common/helper_wire.h"
#include "tools/helper_client.h"

namespace {

int usage() {
  fputs("usage: veltovpn-helper-client [--socket PATH] [--timeout SECONDS] JSON\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string socketPath = velto::kHelperSocketPath;
  long timeoutSeconds = 330;  // a script may run 300 s, the request itself 10 s more
  std::string request;
  bool haveRequest = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--socket" && i + 1 < argc) {
      socketPath = argv[++i];
    } else if (arg == "--timeout" && i + 1 < argc) {
      char* end = nullptr;
      timeoutSeconds = strtol(argv[++i], &end, 10);
      if (*end != '\0' || timeoutSeconds <= 0) return usage();
    } else if (!haveRequest && (arg.empty() || arg[0] != '-')) {
      request = arg;
      haveRequest = true;
    } else {
      return usage();
    }
  }
  if (!haveRequest) return usage();

  velto::Result<std::string> reply =
      velto::sendHelperRequest(socketPath, request, std::chrono::seconds(timeoutSeconds)).response;
  if (!reply) {
    fprintf(stderr, "veltovpn-helper-client: %s\n", reply.error().message().c_str());
    return 1;
  }
  fwrite(reply->data(), 1, reply->size(), stdout);
  fputc('\n', stdout);
  return 0;
}
