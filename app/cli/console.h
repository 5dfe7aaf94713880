#pragma once

#include <functional>

// The little the command line needs of its console, one file per platform.

// Calls `onInterrupt` (on a thread of its own) each time the user presses
// Ctrl-C, the process is asked to terminate or (Windows) its console window
// is closed. A closed pipe or a vanished terminal never ends the process:
// what is written to them is dropped and the run goes on. Call it before
// any other thread starts, so that none of them receives the signal instead.
void WatchInterrupt(std::function<void()> onInterrupt);
// The run has ended: the port is closed and the record written. Where the
// system ends the process as soon as the interrupt's handler returns (a
// closed console window), the handler waits for this.
void RunEnded();
// From now on an interrupt does nothing; returns once a call in progress has
// finished, so what the callback uses may then go.
void StopWatchingInterrupt();

bool StderrIsTerminal();
