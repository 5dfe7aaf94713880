#pragma once

// TCK-by-TCK traces of a JTAG player, for comparing a vendor's SVF with the
// Effect file made from it. Two ways to get one, which share nothing:
// - TraceSvf reads the SVF itself, with a small reader of its own that knows
//   nothing of the converter;
// - TraceEffect plays the Effect file through the virtual unit's TAP model,
//   record by record, as the unit does.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace svftest {

// One TCK. TDI counts only in a shift state (elsewhere no device samples
// it); the expected TDO only where the player compares it.
struct Tick {
  bool tms = false;
  int tdi = -1;     // 0 or 1 in Shift-IR/DR, else -1
  int expect = -1;  // 0 or 1 where compared, else -1
  bool operator==(const Tick&) const = default;
};

// Runs of equal ticks, so a wait of 200000 clocks is one entry.
class Trace {
 public:
  void Add(const Tick& tick, std::uint64_t count = 1);
  bool operator==(const Trace& other) const { return runs_ == other.runs_; }
  std::uint64_t Clocks() const;
  // Where two traces first differ, for a readable failure; empty when equal.
  static std::string FirstDifference(const Trace& a, const Trace& b);

  struct Run {
    Tick tick;
    std::uint64_t count = 0;
    bool operator==(const Run&) const = default;
  };
  const std::vector<Run>& runs() const { return runs_; }

 private:
  std::vector<Run> runs_;
};

// ceil(seconds x hz), both as SVF writes them in upper case ("165E-6").
std::uint64_t ClocksFor(const std::string& seconds, const std::string& hz);

// The player starts with its TAP in Test-Logic-Reset, as the unit's PROM
// does at power-on. On a statement it cannot read, `error` says which.
Trace TraceSvf(std::string_view svf, std::string& error);

// Every line must be one the updater's interpreter accepts and every record
// one the unit carries out; otherwise `error` says which line failed.
// `lone_stays`, when given, gets the lines of STATE records that name only
// the state the TAP rests in, other than Test-Logic-Reset (which stays
// whatever the reading): units may read those differently.
Trace TraceEffect(std::string_view effect, std::string& error,
                  std::vector<int>* lone_stays = nullptr);

}  // namespace svftest
