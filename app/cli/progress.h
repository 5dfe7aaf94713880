#pragma once

#include <cstdio>
#include <string>

#include "app/Controls.h"

// The window's two progress bars drawn on one terminal line of stderr. Only
// used when stderr is a terminal, so logs and pipes get status lines alone.
class ProgressLine {
 public:
  explicit ProgressLine(std::FILE* out) : out_(out) {}

  // Redraws when what the bars show has changed.
  void Update(const TProgressBar& instruction, const TProgressBar& script);
  // Takes the line off the screen so that a status line can be written.
  void Clear();

 private:
  std::FILE* out_;
  std::string shown_;
};
