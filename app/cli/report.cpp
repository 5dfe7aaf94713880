#include "app/cli/report.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform/files.h"

std::string UtcNowIso8601() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  const std::tm tm = platform::UtcCalendarTime(now);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string RunReportJson(const TRunRecord& record, const RunContext& context) {
  std::string j = "{\n";
  auto field = [&](const char* name, const std::string& value, bool comma = true) {
    j += "  " + JsonString(name) + ": " + value + (comma ? ",\n" : "\n");
  };
  field("start", JsonString(context.startTime));
  field("end", JsonString(context.endTime));
  field("durationMs", std::to_string(context.durationMs));
  field("script", JsonString(record.ScriptPath));
  field("port", JsonString(context.port));
  field("mode", JsonString(context.mode));
  field("speed", JsonString(context.speed));
  field("deviceId", JsonString(record.DeviceId));
  field("bootChecksum", JsonString(record.BootChecksum));
  if (context.adapterLatencyMs) {
    char latency[32];
    std::snprintf(latency, sizeof latency, "%.2f", *context.adapterLatencyMs);
    field("adapterLatencyMs", latency);
  }

  std::string lines = "[";
  for (std::size_t i = 0; i < record.Lines.size(); ++i) {
    const TLineRecord& l = record.Lines[i];
    lines += i ? ",\n    " : "\n    ";
    lines += "{\"line\": " + std::to_string(l.Number) + ", \"text\": " + JsonString(l.Text) +
             ", \"outcome\": " + JsonString(l.Outcome.empty() ? "unfinished" : l.Outcome) +
             ", \"resends\": " + std::to_string(l.Resends) +
             ", \"durationMs\": " + std::to_string(l.DurationMs) + "}";
  }
  lines += record.Lines.empty() ? "]" : "\n  ]";
  field("lines", lines);

  std::string skipped = "[";
  for (std::size_t i = 0; i < record.Skipped.size(); ++i) {
    const TSkipRecord& s = record.Skipped[i];
    skipped += i ? ", " : "";
    skipped += "{\"component\": " + std::to_string(s.Component) +
               ", \"reason\": " + JsonString(s.Reason) + "}";
  }
  field("skipped", skipped + "]");
  field("result", JsonString(record.Result.empty() ? "unfinished" : record.Result));
  field("error", JsonString(record.ErrorText), false);
  return j + "}\n";
}
