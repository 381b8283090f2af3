/* The ping floor: the least a server can do for one ping of the helper's
 * protocol. Peer check, request read to end of stream, one log line, a fixed
 * reply, close.
 *   helper-benchmark-floor-ping SOCKET LOG */
#include "floor_common.h"

int main(int argc, char** argv) {
  static const char kReply[] =
      "{\"message\":\"pong\",\"success\":true,\"version\":\"2.0.0-alpha.1\"}";
  char buffer[65536];
  int listener;
  if (argc != 3) return 2;
  signal(SIGPIPE, SIG_IGN);
  listener = floor_listen(argv[1]);
  if (listener < 0) return 1;
  for (;;) {
    size_t total = 0;
    ssize_t n;
    char message[64];
    int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (floor_peer_is_root(fd)) {
      while ((n = read(fd, buffer, sizeof buffer)) > 0) total += (size_t)n;
      snprintf(message, sizeof message, "recv %zuB", total);
      floor_log(argv[2], message);
      floor_reply(fd, kReply, sizeof kReply - 1);
    }
    close(fd);
  }
}
