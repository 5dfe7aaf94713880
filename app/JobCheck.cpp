#include "app/JobCheck.h"

#include <algorithm>

#include "handlers/InstCourante.h"
#include "handlers/progboot.h"
#include "handlers/progjtag.h"
#include "handlers/progpsd.h"
#include "hex/hex.h"
#include "platform/files.h"
#include "platform/wire.h"

namespace {

std::uint64_t RoundedWireMs(std::uint64_t bytes, std::uint32_t baud) {
  return static_cast<std::uint64_t>(platform::WireMs(bytes, baud) + 0.5);
}

// The handlers are offered a line in the run's order; the first that
// recognises it takes it.
TLinePlan PlanLine(const std::string& line, const TJobSettings& settings) {
  if (TProgBoot::Recognise(line)) return TProgBoot::Plan(line, settings.folder);
  if (TInstCrt::Recognise(line)) return TInstCrt::Plan(line);
  if (TProgPsd::Recognise(line)) return TProgPsd::Plan(line, settings.folder);
  if (TProgJtag::Recognise(line)) return TProgJtag::Plan(line, settings.folder, settings.slow);
  TLinePlan none;
  none.problem = kSyntaxError;
  return none;
}

}  // namespace

bool ScriptTooLarge(const std::string& path) {
  return platform::FileSize(path) > kMaxScriptBytes;
}

TFileFinding ScriptTooLargeFinding(const std::string& path) {
  return {path, 1, false, "script is larger than a script can be (1 MiB)"};
}

std::string FindingText(const TFileFinding& finding) {
  return finding.file + ":" + std::to_string(finding.line) +
         (finding.warning ? ": warning: " : ": ") + finding.reason;
}

void SkipComponentLines(std::vector<std::string>& script, int component) {
  const char digit = HexDigit(component);
  for (std::string& line : script) {
    const std::string text = Trim(line);
    if (text.empty() || (text[0] != 'P' && text[0] != 'V' && text[0] != 'F')) continue;
    const std::string rest = TrimLeft(std::string_view(text).substr(1));
    if (!rest.empty() && rest[0] == digit) line = "NP";
  }
}

const TJobLine* TJob::FirstProblem() const {
  for (const TJobLine& line : lines) {
    if (!line.plan.problem.empty()) return &line;
  }
  return nullptr;
}

std::vector<TFileFinding> TJob::Findings() const {
  std::vector<TFileFinding> all;
  for (const TJobLine& line : lines)
    all.insert(all.end(), line.plan.findings.begin(), line.plan.findings.end());
  return all;
}

std::uint32_t TJob::EstimateMs(const TLinePlan& plan) {
  return static_cast<std::uint32_t>(RoundedWireMs(plan.bytes, 57600) +
                                    RoundedWireMs(plan.slowBytes, 19200) + plan.pauseMs +
                                    kTicksPerInstruction * kRunTickMs);
}

std::uint32_t TJob::EstimateMs() const {
  std::uint64_t total = std::uint64_t{quietLines} * kRunTickMs;
  for (const TJobLine& line : lines)
    total += EstimateMs(line.plan);
  return static_cast<std::uint32_t>(total);
}

TJob CheckJob(std::vector<std::string> script, const TJobSettings& settings) {
  for (int component = 0; component < kComponentCount; ++component) {
    if (settings.skipped[component]) SkipComponentLines(script, component);
  }
  TJob job;
  job.lines.push_back({0, "SYN", TProgBoot::Plan("SYN", settings.folder)});
  for (std::size_t i = 0; i < script.size(); ++i) {
    const int number = static_cast<int>(i + 1);
    const std::string& raw = script[i];
    // What the run would stumble on in the script text itself, named
    // rather than left to a bare syntax error.
    std::string textProblem;
    if (raw.size() > kMaxScriptLineLength) {
      textProblem = "line is longer than a script line can be (" +
                    std::to_string(kMaxScriptLineLength) + " characters)";
    } else if (i == 0 && raw.starts_with("\xEF\xBB\xBF")) {
      textProblem = "the script begins with a UTF-8 byte order mark";
    } else if (const std::size_t nul = raw.find('\0'); nul != std::string::npos) {
      textProblem = "a NUL byte at character " + std::to_string(nul + 1);
    }
    const std::string line = Trim(std::string_view(raw).substr(0, kMaxScriptLineLength));
    if (textProblem.empty() && (line.empty() || line.starts_with("rem"))) {
      ++job.quietLines;
      continue;
    }
    TLinePlan plan;
    if (textProblem.empty()) plan = PlanLine(line, settings);
    if (!textProblem.empty() || plan.problem == kSyntaxError) {
      plan.problem = kSyntaxError + std::to_string(number);
      plan.findings.clear();
      plan.findings.push_back(
          {settings.script, number, false, textProblem.empty() ? plan.problem : textProblem});
    }
    for (TFileFinding& f : plan.findings) {
      // A script line's own findings name the script and the line.
      if (f.file.empty()) {
        f.file = settings.script;
        f.line = number;
      }
    }
    // Every problem names a place, even one in no file (a missing file).
    const bool placed = std::any_of(plan.findings.begin(), plan.findings.end(),
                                    [](const TFileFinding& f) { return !f.warning; });
    if (!plan.problem.empty() && !placed)
      plan.findings.push_back({settings.script, number, false, plan.problem});
    job.lines.push_back({number, line, std::move(plan)});
  }
  job.lines.push_back({0, "FI", TInstCrt::Plan("FI")});
  return job;
}

std::string StartScriptPath(const std::optional<std::string>& argument) {
  return argument ? *argument : platform::ProgramFolder() + "script.ini";
}
