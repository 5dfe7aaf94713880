#include "app/cli/report.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <utility>

#include "platform/files.h"

std::string UtcNowIso8601() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  const std::tm tm = platform::UtcCalendarTime(now);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

bool ReportFile::Prepare(const std::string& path, std::string& error) {
  if (const std::string what = platform::NotAFileReason(path); !what.empty()) {
    error = "cannot write the report " + path + ": it is " + what;
    return false;
  }
  const std::string tmp = path + ".tmp";
  if (!platform::WriteNewFile(tmp, {})) {  // empty: nothing to lose
    error = "cannot write the report " + path + ": " + tmp + ": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  tmp_ = tmp;
  return true;
}

bool ReportFile::Commit(const std::string& json, std::string& error) {
  if (tmp_.empty()) return true;
  const std::string tmp = std::exchange(tmp_, std::string());
  std::error_code ec;
  // Made anew: what stands at FILE.tmp now may not be what Prepare made.
  if (!platform::WriteNewFile(tmp, json)) {
    error = "cannot write the report " + tmp + ": " + std::strerror(errno);
    return false;
  }
  std::filesystem::rename(tmp, path_, ec);
  if (ec) {
    error = "cannot write the report " + path_ + ": " + ec.message();
    std::filesystem::remove(tmp, ec);
    return false;
  }
  return true;
}

ReportFile::~ReportFile() {
  if (tmp_.empty()) return;
  std::error_code ec;
  std::filesystem::remove(tmp_, ec);  // a leftover is harmless; nothing to report
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
  field("unitChanged", record.UnitChanged ? "true" : "false");
  if (record.StoppedAt.ScriptLine >= 0) {
    const TRunPosition& at = record.StoppedAt;
    field("stopLine", std::to_string(at.ScriptLine));
    field("stopInstruction", JsonString(at.Instruction));
    field("stopFile", JsonString(at.File));
    field("stopFileLine", std::to_string(at.FileLine));
    field("stopPosition", JsonString(PositionText(record)));
  }
  field("error", JsonString(record.ErrorText), false);
  return j + "}\n";
}
