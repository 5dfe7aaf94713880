// POSIX console: signals are taken by a thread of their own with sigwait, so
// nothing runs inside a signal handler.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>
#include <utility>

#include "app/cli/console.h"
#include "app/cli/interrupt_hook.h"

void WatchInterrupt(std::function<void()> onInterrupt) {
  TheInterruptHook().Set(std::move(onInterrupt));
  // A reader that goes away (`| head`) or a terminal that closes (a dropped
  // SSH connection) must not end an update half way: writes to them then
  // fail, are dropped, and the run goes on to its end and its record.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGHUP, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  // Blocked here, the signals stay blocked in every thread started later.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) != 0) return;
      TheInterruptHook().Call();
    }
  }).detach();  // lives until the process exits; it owns nothing
}

// Nothing waits: a signal's thread has no deadline to keep.
void RunEnded() {}

bool StderrIsTerminal() {
  return ::isatty(STDERR_FILENO) == 1;
}
