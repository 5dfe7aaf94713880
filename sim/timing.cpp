#include "sim/timing.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

// A run of a few hours at full speed stays well below this; beyond it the
// samples would only cost memory.
constexpr std::size_t kMaxSamples = 4'000'000;

std::string Micros(std::int64_t ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(ns) / 1000.0);
  return text;
}

std::string StatsJson(const TurnaroundStats& s) {
  return "{\"count\": " + std::to_string(s.count) + ", \"median\": " + Micros(s.median_ns) +
         ", \"p99\": " + Micros(s.p99_ns) + ", \"max\": " + Micros(s.max_ns) +
         ", \"total\": " + Micros(s.total_ns) + "}";
}

}  // namespace

TurnaroundStats Summarise(std::vector<std::int64_t> samples) {
  TurnaroundStats s;
  s.count = samples.size();
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  // Nearest rank: the smallest sample with at least p of all at or below it.
  auto rank = [&](std::size_t percent) {
    const std::size_t r = (percent * samples.size() + 99) / 100;
    return samples[std::max<std::size_t>(r, 1) - 1];
  };
  s.median_ns = rank(50);
  s.p99_ns = rank(99);
  s.max_ns = samples.back();
  for (std::int64_t v : samples)
    s.total_ns += v;
  return s;
}

void LineTiming::NoteInput(std::int64_t read_ns, std::size_t count, std::int64_t wire_ns) {
  if (count == 0) return;
  if (first_in_ns_ < 0) first_in_ns_ = read_ns;
  if (awaiting_updater_ && turnarounds_.size() < kMaxSamples) {
    turnarounds_.push_back(std::max<std::int64_t>(0, read_ns - last_out_ns_));
  }
  awaiting_updater_ = false;
  bytes_in_ += count;
  wire_ns_ += wire_ns;
}

void LineTiming::NoteOutput(std::int64_t write_ns, std::size_t count, std::int64_t wire_ns,
                            bool all_out) {
  if (count == 0) return;
  bytes_out_ += count;
  wire_ns_ += wire_ns;
  last_out_ns_ = write_ns;
  if (!all_out) return;
  awaiting_updater_ = true;
  if (open_ && transfer_.ending) CloseTransfer(write_ns);
}

void LineTiming::StartTransfer(const std::string& command, std::int64_t start_ns,
                               std::size_t batch_bytes, std::int64_t batch_wire_ns) {
  open_ = true;
  transfer_ = Open{};
  transfer_.command = command;
  transfer_.start_ns = start_ns;
  transfer_.bytes_in = bytes_in_ - std::min<std::uint64_t>(bytes_in_, batch_bytes);
  transfer_.bytes_out = bytes_out_;
  transfer_.wire_ns = wire_ns_ - batch_wire_ns;
  transfer_.pause_ns = pause_ns_;
  transfer_.first_sample = turnarounds_.size();
}

void LineTiming::EndTransferOnceWritten() {
  if (open_) transfer_.ending = true;
}

void LineTiming::Disconnected() {
  awaiting_updater_ = false;
  open_ = false;  // a session cut short by a hang-up is not a measurement
}

void LineTiming::CloseTransfer(std::int64_t end_ns) {
  open_ = false;
  TransferTiming t;
  t.command = transfer_.command;
  t.elapsed_ns = end_ns - transfer_.start_ns;
  t.bytes_in = bytes_in_ - transfer_.bytes_in;
  t.bytes_out = bytes_out_ - transfer_.bytes_out;
  t.wire_ns = wire_ns_ - transfer_.wire_ns;
  t.pause_ns = pause_ns_ - transfer_.pause_ns;
  t.turnaround = Summarise(std::vector<std::int64_t>(
      turnarounds_.begin() + static_cast<std::ptrdiff_t>(transfer_.first_sample),
      turnarounds_.end()));
  transfers_.push_back(std::move(t));
}

std::string LineTiming::Json() const {
  const std::int64_t span =
      first_in_ns_ >= 0 && last_out_ns_ > first_in_ns_ ? last_out_ns_ - first_in_ns_ : 0;
  std::string out =
      "{\"bytes_in\": " + std::to_string(bytes_in_) +
      ", \"bytes_out\": " + std::to_string(bytes_out_) + ", \"wire_us\": " + Micros(wire_ns_) +
      ", \"pause_us\": " + Micros(pause_ns_) + ", \"span_us\": " + Micros(span) +
      ",\n    \"turnaround_us\": " + StatsJson(Summarise(turnarounds_)) + ",\n    \"transfers\": [";
  for (std::size_t k = 0; k < transfers_.size(); ++k) {
    const TransferTiming& t = transfers_[k];
    out += k ? ",\n      " : "\n      ";
    out += "{\"command\": \"" + t.command + "\", \"elapsed_us\": " + Micros(t.elapsed_ns) +
           ", \"bytes_in\": " + std::to_string(t.bytes_in) +
           ", \"bytes_out\": " + std::to_string(t.bytes_out) +
           ", \"wire_us\": " + Micros(t.wire_ns) + ", \"pause_us\": " + Micros(t.pause_ns) +
           ", \"turnaround_us\": " + StatsJson(t.turnaround) + "}";
  }
  return out + (transfers_.empty() ? "]}" : "\n    ]}");
}

}  // namespace sim
