#include "app/cli/interrupt_hook.h"

#include "app/cli/console.h"

InterruptHook& TheInterruptHook() {
  static InterruptHook hook;
  return hook;
}

void StopWatchingInterrupt() {
  TheInterruptHook().Set({});
}
