#include "app/cli/check.h"

#include <cstdio>
#include <string>
#include <vector>

#include "app/CompDlg.h"
#include "app/JobCheck.h"
#include "app/JobManifest.h"
#include "app/cli/hints.h"
#include "app/cli/options.h"
#include "platform/files.h"

namespace {

std::string Seconds(std::uint32_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%02u s", ms / 1000, (ms % 1000) / 10);
  return text;
}

std::string PlanText(const TJobLine& line) {
  const TLinePlan& plan = line.plan;
  std::string text = plan.action;
  if (!plan.file.empty()) text += " from " + plan.file;
  if (plan.problem.empty() && plan.count > 0) {
    const bool effect = plan.pauseMs > 0;
    text += ", " + std::to_string(plan.count) + (effect ? " records" : " lines");
  }
  if (!plan.checksum.empty()) text += ", checksum " + plan.checksum;
  if (!plan.problem.empty()) return text + ": not sound";
  return text + ", " + Seconds(TJob::EstimateMs(plan));
}

TJobSettings Settings(const CliOptions& options, const std::string& script) {
  TJobSettings settings;
  settings.script = script;
  settings.folder = options.files ? *options.files : platform::FolderOf(script);
  settings.slow = options.slow;
  TCompSelDlg selection;
  ApplySkips(options, selection);
  for (int component = 0; component < kComponentCount; ++component)
    settings.skipped[component] = !selection.Selected(component);
  return settings;
}

std::string CheckedScriptPath(const CliOptions& options) {
  return options.readId ? "readid.ini" : platform::AbsolutePath(StartScriptPath(options.script));
}

}  // namespace

std::vector<std::string> JobPaths(const CliOptions& options) {
  const std::string script = CheckedScriptPath(options);
  std::vector<std::string> paths = {script};
  std::vector<std::string> lines;
  if (ScriptTooLarge(script) ||
      platform::ReadTextLines(script, lines) != platform::ReadStatus::kOk) {
    return paths;
  }
  const TJobSettings settings = Settings(options, script);
  for (const std::string& name : JobFileNames(CheckJob(lines, settings)))
    paths.push_back(settings.folder + name);
  return paths;
}

int RunCheck(const CliOptions& options) {
  const std::string script = CheckedScriptPath(options);
  std::vector<std::string> lines;
  if (ScriptTooLarge(script)) {
    std::fprintf(stderr, "%s\n", FindingText(ScriptTooLargeFinding(script)).c_str());
    return 1;
  }
  if (platform::ReadTextLines(script, lines) != platform::ReadStatus::kOk) {
    if (const std::string why = NotAFileLine(script + kNotFound); !why.empty())
      std::fprintf(stderr, "%s\n", why.c_str());
    std::fprintf(stderr, "%s:0: %s%s\n", script.c_str(), script.c_str(), kNotFound);
    return 1;
  }
  const TJobSettings settings = Settings(options, script);
  const TJob job = CheckJob(lines, settings);
  const TTrustedKeys keys = GatherTrustedKeys(options.trustedKeys);
  const TJobFiles files = CheckJobFiles(settings.folder, script, JobFileNames(job), keys);
  if (!files.problem.empty()) {
    std::fprintf(stderr, "%s:0: %s\n%s\n", script.c_str(), files.problem.c_str(),
                 files.detail.c_str());
  }

  for (const TFileFinding& finding : job.Findings()) {
    if (const std::string why = NotAFileLine(finding.reason); !why.empty())
      std::fprintf(stderr, "%s\n", why.c_str());
    std::fprintf(stderr, "%s\n", FindingText(finding).c_str());
  }
  for (const TJobLine& line : job.lines) {
    if (!line.plan.converterHint.empty())
      std::fprintf(stderr, "%s\n", line.plan.converterHint.c_str());
  }
  for (const TJobLine& line : job.lines) {
    const std::string where = line.number ? std::to_string(line.number) : line.text;
    std::printf("%s:%s: %s\n", script.c_str(), where.c_str(), PlanText(line).c_str());
  }
  std::printf("total: %zu instructions, about %s at 57600 baud%s\n", job.lines.size() - 2,
              Seconds(job.EstimateMs()).c_str(),
              options.slow ? " (PROM transfers at 19200 baud)" : "");
  // Every source consulted, found or not: an empty or mistyped folder and a
  // key file that does not read are what a station's keeper looks for here.
  if (keys.keys.empty()) {
    std::printf("trusted keys: none\n");
  } else {
    std::printf("trusted keys: %zu\n", keys.keys.size());
  }
  for (const TKeySource& source : keys.sources)
    std::printf("key source: %s\n", source.Describe().c_str());
  for (const std::string& line : files.Describe())
    std::printf("%s\n", line.c_str());
  return job.FirstProblem() || !files.problem.empty() ? 1 : 0;
}
