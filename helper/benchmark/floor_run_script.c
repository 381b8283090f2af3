/* The run-script floor: the least a server can do to run one script as the
 * helper must. Peer check, request read to end of stream, a private script file
 * (mkstemp, write, fchmod 0700), posix_spawn of /bin/bash FILE with one pipe for
 * both output streams, the pipe read to end of file, waitpid, unlink, one log
 * line, a reply carrying the output. The script is the text given on the command
 * line, the same the benchmark sends to the helper.
 *   helper-benchmark-floor-script SOCKET LOG SCRIPT */
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "floor_common.h"

extern char** environ;

static void run_one(int fd, const char* log_path, const char* script) {
  static char buffer[65536];
  char output[4096];
  char reply[8192];
  char path[] = "/tmp/helper-benchmark-floor-XXXXXX";
  size_t got = 0;
  ssize_t n;
  int status = 0;
  int file, ends[2];
  pid_t pid;
  posix_spawn_file_actions_t actions;
  char* argv[3];
  char message[64];

  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
  }
  file = mkstemp(path);
  if (file < 0) return;
  if (write(file, script, strlen(script)) < 0 || fchmod(file, 0700) != 0) {
    close(file);
    unlink(path);
    return;
  }
  close(file);
  if (pipe2(ends, O_CLOEXEC) != 0) {
    unlink(path);
    return;
  }
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDERR_FILENO);
  argv[0] = (char*)"/bin/bash";
  argv[1] = path;
  argv[2] = NULL;
  if (posix_spawn(&pid, "/bin/bash", &actions, NULL, argv, environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  while ((n = read(ends[0], output + got, sizeof output - 1 - got)) > 0) got += (size_t)n;
  output[got] = '\0';
  close(ends[0]);
  if (pid > 0) waitpid(pid, &status, 0);
  unlink(path);
  snprintf(message, sizeof message, "run-script exit=%d output=%zuB", WEXITSTATUS(status), got);
  floor_log(log_path, message);
  /* The floor's output is plain text; it needs no escaping. */
  n = snprintf(reply, sizeof reply,
               "{\"exit\":%d,\"stderr\":\"\",\"stdout\":\"%.*s\",\"success\":true}",
               WEXITSTATUS(status), (int)(got > 0 ? got - 1 : 0), output);
  floor_reply(fd, reply, (size_t)n);
}

int main(int argc, char** argv) {
  int listener;
  if (argc != 4) return 2;
  signal(SIGPIPE, SIG_IGN);
  listener = floor_listen(argv[1]);
  if (listener < 0) return 1;
  for (;;) {
    int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (floor_peer_is_root(fd)) run_one(fd, argv[2], argv[3]);
    close(fd);
  }
}
