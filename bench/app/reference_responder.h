#pragma once

// The machine's own floor for a stop-and-wait dialogue: a responder with no
// engine, no second thread and nothing between a reply and its answer but
// one poll, one read and one write. It replays what the updater sent in an
// earlier run, answering each of the unit's replies as soon as it is whole,
// so the unit's turnaround figures for it show what the terminal and the
// machine cost before the updater adds anything.

#include <chrono>
#include <string>
#include <vector>

namespace bench {

struct ReplayStep {
  std::string expect;  // the unit's reply that must end what has arrived
  std::string send;    // what the updater sent next; empty at the end
};

// Reads the unit's --trace output into steps. Returns false, with the
// reason, when the dialogue holds what a plain replay cannot reproduce (the
// Effect session's blocks, version texts ended by a quiet time).
bool ParseUnitTrace(const std::string& trace, std::vector<ReplayStep>& steps, std::string& why);

// Opens the unit's terminal raw at 57600 baud, plays the steps (the last one
// only waits for the unit's last reply), then closes. False, with the
// reason, on a terminal error or when a reply does not come within `timeout`.
bool Replay(const std::string& tty, const std::vector<ReplayStep>& steps,
            std::chrono::milliseconds timeout, std::string& why);

}  // namespace bench
