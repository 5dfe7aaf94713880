// How a line of units scales. The sample job runs on 1, 4 and 8 virtual
// units paced at the line speed, all at once through qsr470-gang. Each unit
// is its own stop-and-wait dialogue, so eight should take about as long as
// one (goal: within 1.10 times), and watching them must stay cheap (goal:
// the updaters and the gang together under 5% of a core per unit).
//
// Usage: gang_bench GANG UPDATER UNITSIM EXAMPLES_DIR [RUNS]
// Prints per unit count: the best wall time, its ratio to one unit, and the
// CPU time of the gang with its updaters, as a share of one core per unit.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Result {
  double wallSeconds = 0;
  double cpuSeconds = 0;  // the gang and the updaters it waited for
  double unitCpuSeconds = 0;
  bool ok = false;
};

Result RunOnce(char** argv, const fs::path& dir, int count) {
  Result r;
  const std::string gang = argv[1];
  const std::string updater = argv[2];
  const std::string unitsim = argv[3];
  const std::string examples = std::string(argv[4]) + "/";
  std::vector<std::unique_ptr<e2e::Process>> units;
  std::vector<std::string> args = {gang, "--updater", updater, "--files", examples};
  for (int i = 0; i < count; ++i) {
    const std::string link = (dir / ("unit" + std::to_string(i + 1))).string();
    units.push_back(std::make_unique<e2e::Process>());
    std::string tty;
    if (!units.back()->Start({unitsim, "--pace", "--link", link}) ||
        !units.back()->ReadLine(tty, 30s)) {
      return r;
    }
    args.insert(args.end(), {"--device", link});
  }
  args.push_back(examples + "script.ini");
  e2e::Process run;
  const auto start = Clock::now();
  if (!run.Start(args)) return r;
  const int status = run.Wait(600s);
  r.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (status != 0) {
    std::fprintf(stderr, "%d units: the gang exited %d\n%s%s", count, status, run.Out().c_str(),
                 run.Err().c_str());
    return r;
  }
  r.cpuSeconds = run.CpuSeconds();
  for (auto& unit : units) {
    unit->Wait(60s);
    r.unitCpuSeconds += unit->CpuSeconds();
  }
  r.ok = true;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: gang_bench GANG UPDATER UNITSIM EXAMPLES_DIR [RUNS]\n");
    return 2;
  }
  const int runs = argc > 5 ? std::max(1, std::atoi(argv[5])) : 3;
  const fs::path dir =
      fs::temp_directory_path() / ("qsr470-gang-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);

  double alone = 0;
  int status = 0;
  for (const int count : {1, 4, 8}) {
    Result best;
    for (int i = 0; i < runs; ++i) {
      const Result r = RunOnce(argv, dir, count);
      if (r.ok && (!best.ok || r.wallSeconds < best.wallSeconds)) best = r;
    }
    if (!best.ok) {
      std::printf("%d units: no run completed\n", count);
      status = 1;
      continue;
    }
    if (count == 1) alone = best.wallSeconds;
    const double perUnitCore = best.cpuSeconds / best.wallSeconds / count * 100;
    std::printf(
        "%d unit%s: %.2f s (%.3fx one unit), gang + updaters %.3f s CPU = %.2f%% of a core "
        "per unit; virtual units %.3f s CPU\n",
        count, count == 1 ? " " : "s", best.wallSeconds, alone > 0 ? best.wallSeconds / alone : 0,
        best.cpuSeconds, perUnitCore, best.unitCpuSeconds);
  }
  fs::remove_all(dir);
  return status;
}
