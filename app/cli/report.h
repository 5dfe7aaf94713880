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

// The run as one JSON document.
std::string RunReportJson(const TRunRecord& record, const RunContext& context);
