#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/main.h"

// `--progress json`: the run as one flat JSON object per line on stdout, for
// programs that watch the updater (qsr470-gang among them). Every object has
// "t", milliseconds since the start on a monotonic clock, and "event"; the
// README gives the schema. Objects are flat so a reader needs no nesting.
class ProgressJson {
 public:
  // Takes over the engine's change notifications; the status lines come through Status.
  ProgressJson(TMainFich& main, std::FILE* out);

  // A message the updater shows outside the status lines (the link's
  // "Error while opening " with its reason).
  void Message(const std::string& text);
  // The last object: the run's result, its error text and the exit status.
  void End(int exitStatus);
  // One status line, as the plain output would print it.
  void Status(const std::string& line);

 private:
  // Writes what changed in the engine since the last object: the identity,
  // skipped components, instructions begun and ended, the two bars.
  void Sync();
  void Write(const std::string& event, const std::string& fields);

  TMainFich& main_;
  std::FILE* out_;
  std::chrono::steady_clock::time_point start_;
  std::int32_t deviceId_ = 0;
  std::size_t skipped_ = 0;
  std::size_t linesBegun_ = 0;
  std::size_t linesEnded_ = 0;
  TProgressBar bar1_{0, -1, -1, 0};  // nothing shown yet: the first state differs
  TProgressBar bar2_{0, -1, -1, 0};
};
