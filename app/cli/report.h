#pragma once

#include <optional>
#include <string>

#include "app/main.h"
#include "json/json_writer.h"

// What the command line knows of a run beyond the window's own record.
struct RunContext {
  std::string startTime;  // UTC, ISO 8601
  std::string endTime;
  std::string port;   // "COM3" or the device path
  std::string mode;   // "auto" or "manual"
  std::string speed;  // "fast" or "slow"
  unsigned long durationMs = 0;
  // Median of the synchronisation's reply latencies beyond the wire time.
  std::optional<double> adapterLatencyMs;
};

std::string UtcNowIso8601();

// `--report FILE`: made as FILE.tmp before the unit is addressed, so that a
// path that cannot be written is found while nothing has happened, and
// renamed to FILE once the record is in it, so a reader never sees half a
// record.
class ReportFile {
 public:
  // Creates FILE.tmp; false with the reason when it cannot be.
  bool Prepare(const std::string& path, std::string& error);
  // Writes the record and renames FILE.tmp to FILE; on failure removes
  // FILE.tmp and says why.
  bool Commit(const std::string& json, std::string& error);
  ~ReportFile();  // removes a FILE.tmp never committed

 private:
  std::string path_;
  std::string tmp_;
};

// The run as one JSON document.
std::string RunReportJson(const TRunRecord& record, const RunContext& context);
