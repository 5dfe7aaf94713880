#pragma once

// What the unit measures on its line, to tell the updater's share of a run
// from the wire's: every byte each way with its wire time, the unit's own
// pauses (erase time, the quiet that ends a text), and the updater's
// turnaround, from the unit's last reply byte leaving to the first byte of
// what the updater sends next arriving. Uploads and Effect sessions are
// also measured one by one, from their command's first byte arriving to
// their last reply byte leaving.
//
// Pure arithmetic on the times the program passes in (nanoseconds of one
// monotonic clock); no clock of its own.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct TurnaroundStats {
  std::size_t count = 0;
  std::int64_t median_ns = 0;
  std::int64_t p99_ns = 0;
  std::int64_t max_ns = 0;
  std::int64_t total_ns = 0;
};

// Nearest-rank percentiles of the samples (`samples` is reordered).
TurnaroundStats Summarise(std::vector<std::int64_t> samples);

struct TransferTiming {
  std::string command;  // "PB", "P0".."P3", "P4", "P5"
  std::int64_t elapsed_ns = 0;
  std::uint64_t bytes_in = 0;
  std::uint64_t bytes_out = 0;
  std::int64_t wire_ns = 0;
  std::int64_t pause_ns = 0;
  TurnaroundStats turnaround;
};

class LineTiming {
 public:
  // `count` bytes read from the updater at read_ns, taking wire_ns on the
  // line. The first read after the unit's output has all gone out ends a
  // turnaround.
  void NoteInput(std::int64_t read_ns, std::size_t count, std::int64_t wire_ns);
  // `count` bytes written to the updater at write_ns; `all_out` when nothing
  // more waits to go out, so the unit now waits for the updater.
  void NoteOutput(std::int64_t write_ns, std::size_t count, std::int64_t wire_ns, bool all_out);
  // Time the unit itself spends before it answers (erase, end of a text).
  void NotePause(std::int64_t pause_ns) { pause_ns_ += pause_ns; }
  // An upload or Effect session began with the input just delivered, whose
  // first byte was read at start_ns: `batch_bytes` bytes taking
  // batch_wire_ns, already noted, belong to it.
  void StartTransfer(const std::string& command, std::int64_t start_ns, std::size_t batch_bytes,
                     std::int64_t batch_wire_ns);
  // The session has ended; it is measured up to the moment its last reply
  // has gone out.
  void EndTransferOnceWritten();
  // Forgets the line's state between runs (the totals are kept).
  void Disconnected();

  const std::vector<TransferTiming>& transfers() const { return transfers_; }
  std::string Json() const;

 private:
  struct Open {
    std::string command;
    std::int64_t start_ns = 0;
    std::uint64_t bytes_in = 0;  // totals when it began
    std::uint64_t bytes_out = 0;
    std::int64_t wire_ns = 0;
    std::int64_t pause_ns = 0;
    std::size_t first_sample = 0;
    bool ending = false;
  };
  void CloseTransfer(std::int64_t end_ns);

  std::uint64_t bytes_in_ = 0;
  std::uint64_t bytes_out_ = 0;
  std::int64_t wire_ns_ = 0;
  std::int64_t pause_ns_ = 0;
  std::int64_t first_in_ns_ = -1;
  std::int64_t last_out_ns_ = -1;
  bool awaiting_updater_ = false;
  std::vector<std::int64_t> turnarounds_;
  bool open_ = false;
  Open transfer_;
  std::vector<TransferTiming> transfers_;
};

}  // namespace sim
