// Child exit on macOS: a kqueue with an EVFILT_PROC/NOTE_EXIT filter; the queue
// itself polls readable once the event is pending. Any thread.
#include "helper/child_exit_watch.h"

#include <errno.h>
#include <sys/event.h>

#include "common/io.h"

namespace velto {

Result<UniqueFd> watchChildExit(pid_t pid) {
  UniqueFd queue(::kqueue());
  if (!queue) return errnoError("kqueue");
  // kqueues are not inherited by children anyway; the flag keeps every descriptor
  // of the daemon alike, and a failure to set it changes nothing.
  (void)setCloseOnExec(queue.get());
  struct kevent change;
  EV_SET(&change, static_cast<uintptr_t>(pid), EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0,
         nullptr);
  if (::kevent(queue.get(), &change, 1, nullptr, 0, nullptr) == 0) return queue;
  if (errno != ESRCH) return errnoError("kevent(EVFILT_PROC)");
  // The child ended before the filter could be attached. A user event, added
  // already triggered, makes the queue readable all the same.
  EV_SET(&change, 1, EVFILT_USER, EV_ADD, NOTE_TRIGGER, 0, nullptr);
  if (::kevent(queue.get(), &change, 1, nullptr, 0, nullptr) != 0) {
    return errnoError("kevent(EVFILT_USER)");
  }
  return queue;
}

}  // namespace velto
