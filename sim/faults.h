#pragma once

// Faults the virtual unit injects on request. Everything random is drawn from
// one generator seeded from the command line, so a run with the same dialogue
// and the same seed injects the same faults.

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Where a fault strikes: the Nth command ("cmd:N"), the Nth record line
// ("rec:N"), or the Kth occurrence of a command text ("P1", "P1#2").
struct FaultPoint {
  enum class Kind { kCommandNumber, kRecordNumber, kCommandText };
  Kind kind = Kind::kCommandNumber;
  std::uint32_t number = 0;  // command or record number, or occurrence
  std::string text;
};

bool ParseFaultPoint(std::string_view text, FaultPoint& point);
// A comma-separated list of points.
bool ParseFaultPoints(std::string_view text, std::vector<FaultPoint>& points);

enum class EscapeMode {
  kOff,     // captured data as plain digit pairs
  kAll,     // every 00 and 1B byte in its escape form
  kRandom,  // each such byte in its escape form or not, drawn from the seed
};

struct FaultPlan {
  std::uint32_t seed = 1;
  double resend_rate = 0;                // chance that a record or data block is refused
  std::vector<std::uint32_t> resend_at;  // record numbers refused once each
  double bad_capture_rate = 0;           // chance that captured data goes out with a wrong sum
  std::vector<FaultPoint> fail_at;
  std::vector<FaultPoint> silence_at;
  std::vector<FaultPoint> hangup_at;
  std::vector<FaultPoint> chatter_at;
  std::uint32_t noise = 0;     // bytes of noise before the first call sign
  std::uint32_t split_ms = 0;  // 0: replies go out whole
  EscapeMode escapes = EscapeMode::kOff;
};

// The faults of one unit: matches points against the dialogue as it goes and
// draws the random choices.
class FaultInjector {
 public:
  explicit FaultInjector(const FaultPlan& plan);

  enum class Action { kNone, kFail, kSilence, kHangUp, kChatter };

  // Counts the command and returns the fault to inject at it, if any.
  Action OnCommand(std::string_view text);
  Action OnRecord();
  std::uint32_t command_number() const { return command_number_; }
  std::uint32_t record_number() const { return record_number_; }

  bool ResendThisRecord() const;
  bool Chance(double probability);
  std::uint32_t Below(std::uint32_t limit);
  const FaultPlan& plan() const { return plan_; }

 private:
  Action Match(bool record, std::string_view text, std::uint32_t occurrence) const;

  FaultPlan plan_;
  std::mt19937 random_;
  std::uint32_t command_number_ = 0;
  std::uint32_t record_number_ = 0;
  std::vector<std::pair<std::string, std::uint32_t>> occurrences_;
};

}  // namespace sim
