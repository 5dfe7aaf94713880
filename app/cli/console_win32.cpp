// Windows console: Ctrl-C and Ctrl-Break arrive on a thread the system
// starts for the handler.
#include <windows.h>

#include <io.h>

#include <cstdio>
#include <utility>

#include "app/cli/console.h"
#include "app/cli/interrupt_hook.h"

namespace {

// Set once the run has ended (port closed, record written).
HANDLE RunEndedEvent() {
  static const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return event;
}

// Windows ends the process once the handler of a closed console window
// returns, and gives it about 5 s; the run's STOP needs far less.
constexpr DWORD kCloseGraceMs = 4500;

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  TheInterruptHook().Call();
  if (type == CTRL_CLOSE_EVENT && RunEndedEvent() != nullptr) {
    // Without the event there is nothing to wait on; the STOP still runs.
    WaitForSingleObject(RunEndedEvent(), kCloseGraceMs);
  }
  return TRUE;
}

}  // namespace

void RunEnded() {
  // A failure here only shortens the wait of a closing window; the run has
  // ended either way.
  if (RunEndedEvent() != nullptr) SetEvent(RunEndedEvent());
}

void WatchInterrupt(std::function<void()> onInterrupt) {
  TheInterruptHook().Set(std::move(onInterrupt));
  RunEndedEvent();  // made now, not inside the handler
  // Without the handler Ctrl-C would end the process with the port still
  // claimed by a thread that never ran its clean-up.
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool StderrIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}
