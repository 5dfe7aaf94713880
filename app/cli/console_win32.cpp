// Windows console: Ctrl-C and Ctrl-Break arrive on a thread the system
// starts for the handler.
#include <windows.h>

#include <io.h>

#include <cstdio>
#include <utility>

#include "app/cli/console.h"
#include "app/cli/interrupt_hook.h"

namespace {

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  TheInterruptHook().Call();
  return TRUE;
}

}  // namespace

void WatchInterrupt(std::function<void()> onInterrupt) {
  TheInterruptHook().Set(std::move(onInterrupt));
  // Without the handler Ctrl-C would end the process with the port still
  // claimed by a thread that never ran its clean-up.
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool StderrIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}
