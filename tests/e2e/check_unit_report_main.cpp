// qsr470-check-unit-report: the end-to-end tests' check of the virtual
// unit's report after a run of the sample script, for tests that drive a
// front end from outside (the Windows programs under wine).
//   qsr470-check-unit-report [--skip C]... [--slow] REPORT EXAMPLES_DIR
// Prints each problem; exits 0 when there is none, 1 otherwise, 2 on bad usage.
#include <cstdio>
#include <string>

#include "unit_report_check.h"

int main(int argc, char** argv) {
  e2e::SampleRun run;
  std::string report, examples;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--skip" && i + 1 < argc && std::string(argv[i + 1]).size() == 1 &&
        argv[i + 1][0] >= '0' && argv[i + 1][0] <= '5') {
      run.skipped.insert(argv[++i][0] - '0');
    } else if (arg == "--slow") {
      run.slow = true;
    } else if (report.empty()) {
      report = arg;
    } else if (examples.empty()) {
      examples = arg;
    } else {
      report.clear();
      break;
    }
  }
  if (report.empty() || examples.empty()) {
    std::fprintf(stderr,
                 "usage: qsr470-check-unit-report [--skip C]... [--slow] REPORT EXAMPLES_DIR\n");
    return 2;
  }
  if (examples.back() != '/') examples += '/';
  const auto problems = e2e::CheckSampleScriptReport(e2e::ReadJsonFile(report), examples, run);
  for (const std::string& problem : problems)
    std::printf("%s: %s\n", report.c_str(), problem.c_str());
  return problems.empty() ? 0 : 1;
}
