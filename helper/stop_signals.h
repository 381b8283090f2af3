// SIGTERM and SIGINT as a request to stop that the daemon's one thread polls for,
// so that a stop ends what is in progress in order (a script's group asked first,
// its file removed, one log line) instead of in the middle of it. Installed once
// by the daemon's thread before it serves; the queries are for any thread.
#pragma once

#include "common/result.h"

namespace velto {

// From now on SIGTERM and SIGINT no longer end the process: they make
// stopRequestFd() readable and are remembered by stopSignal().
[[nodiscard]] Status catchStopSignals();

// Polls readable from the first stop signal on, and stays so; -1 before
// catchStopSignals.
int stopRequestFd();

// The first stop signal received; 0 while none has come.
int stopSignal();

// Ends the process by `signo` with its default action, so that whoever sent the
// signal sees the process end by it.
[[noreturn]] void endBySignal(int signo);

}  // namespace velto
