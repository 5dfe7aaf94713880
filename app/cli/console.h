#pragma once

#include <functional>

// The little the command line needs of its console, one file per platform.

// Calls `onInterrupt` (on a thread of its own) each time the user presses
// Ctrl-C or the process is asked to terminate. Call it before any other
// thread starts, so that none of them receives the signal instead.
void WatchInterrupt(std::function<void()> onInterrupt);
// From now on an interrupt does nothing; returns once a call in progress has
// finished, so what the callback uses may then go.
void StopWatchingInterrupt();

bool StderrIsTerminal();
