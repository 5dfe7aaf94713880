#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/gang/unit.h"

// What the person at the line sees. On a terminal: one line per unit,
// redrawn in place at most ten times a second and once a second for the
// clocks. Otherwise: one plain line per event that matters.
class View {
 public:
  View(const std::vector<std::unique_ptr<Unit>>& units, std::FILE* out, bool terminal);

  void Changed(const Unit& unit, Unit::Change change);
  void Finished(const Unit& unit);
  // Milliseconds until the next redraw is due; -1 when none is.
  int NextTimeoutMs() const;
  void Tick();  // redraws when due
  // Takes the live lines off the screen's bottom for good.
  void Close();

 private:
  void Draw();
  std::string LiveLine(const Unit& unit) const;
  void Plain(const Unit& unit, const std::string& text);

  const std::vector<std::unique_ptr<Unit>>& units_;
  std::FILE* out_;
  bool terminal_;
  std::size_t nameWidth_ = 0;
  bool dirty_ = true;
  bool drawn_ = false;
  std::string shown_;
  std::chrono::steady_clock::time_point lastDraw_{};
};

// "1:02.3": minutes, seconds and tenths.
std::string FormatDuration(std::chrono::steady_clock::duration d, bool tenths);

// The table printed at the end: device, identity, result, duration, resends,
// error text.
std::string SummaryTable(const std::vector<std::unique_ptr<Unit>>& units);

// summary.json: the gang's own record of the units it ran.
std::string SummaryJson(const std::vector<std::unique_ptr<Unit>>& units,
                        const std::vector<std::string>& reports, const std::string& result,
                        int exitStatus, long long durationMs);
