/* The least a launcher must do, written in C: the yardstick for the start-up cost
   of VeltoVpnLauncher. Asks the system for its own path, creates and enters the
   runtime directory and execs veltoVpn-bin beside itself with the two added
   arguments. Benchmark use only. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  char dir[4096];
  ssize_t n = readlink("/proc/self/exe", dir, sizeof dir - 1);
  if (n <= 0) return 113;
  dir[n] = '\0';
  char* slash = strrchr(dir, '/');
  if (slash) *slash = '\0';

  char runtime[4096];
  snprintf(runtime, sizeof runtime, "%s/.local/share/veltovpn/runtime", getenv("HOME"));
  if (mkdir(runtime, 0700) != 0 && errno != EEXIST) return 111;
  if (chdir(runtime) != 0) return 112;

  char binary[4200], path[4200];
  snprintf(binary, sizeof binary, "%s/veltoVpn-bin", dir);
  snprintf(path, sizeof path, "--path=%s", dir);
  char* args[] = {binary, path, "--res-mode=bundle", NULL};
  execv(binary, args);
  return 113;
}
