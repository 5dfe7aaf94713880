// How close a bank upload comes to the wire. The dialogue is stop-and-wait,
// so every millisecond the updater adds between a reply and its next line is
// lost; against a unit paced at 57600 baud the upload should take within 2%
// of the time its bytes need on the line.
//
// Usage: upload_bench UPDATER UNITSIM [RUNS]
// Prints, for the paced and the unpaced unit: the bank instruction's time,
// its wire time, exchanges per second and the updater's CPU time per run.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hex/hex.h"
#include "json.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kLines = 2048;
constexpr double kBaud = 57600;

struct Result {
  double instructionMs = 0;
  double cpuSeconds = 0;
  bool ok = false;
};

// A bank image of 2,048 data records of 16 bytes for the upper bank.
std::size_t WriteImage(const fs::path& path) {
  std::ofstream out(path, std::ios::binary);
  std::size_t bytes = 0;
  for (int i = 0; i < kLines - 1; ++i) {
    std::string data;
    for (int k = 0; k < 16; ++k)
      data += ByteToHex(static_cast<std::uint8_t>(i * 7 + k));
    const std::string line =
        MakeHexRecord(0x00, static_cast<std::uint16_t>(0x8000 + (i * 16) % 0x8000), data);
    out << line << "\r\n";
    bytes += line.size() + 2;
  }
  const std::string end = MakeHexRecord(0x01, 0, "");
  out << end << "\r\n";
  return bytes + end.size() + 2;
}

Result RunOnce(const std::string& updater, const std::string& unitsim, const fs::path& dir,
               bool paced) {
  Result r;
  e2e::Process unit;
  std::vector<std::string> args = {unitsim};
  if (paced) args.push_back("--pace");
  if (!unit.Start(args)) return r;
  std::string tty;
  if (!unit.ReadLine(tty, 30s)) return r;
  e2e::Process run;
  const auto report = (dir / "run.json").string();
  if (!run.Start({updater, "--device", tty, "--files", dir.string() + "/", "--report", report,
                  (dir / "bench.ini").string()})) {
    return r;
  }
  if (run.Wait(600s) != 0) {
    std::fprintf(stderr, "run failed: %s\n", run.Err().c_str());
    return r;
  }
  unit.Wait(60s);
  std::ifstream in(report);
  std::stringstream text;
  text << in.rdbuf();
  simtest::Json json;
  simtest::ParseJson(text.str(), json);
  for (std::size_t i = 0; i < json["lines"].items.size(); ++i) {
    if (json["lines"][i]["text"].text == "P1 bench.hex") {
      r.instructionMs = json["lines"][i]["durationMs"].number;
    }
  }
  r.cpuSeconds = run.CpuSeconds();
  r.ok = r.instructionMs > 0;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: upload_bench UPDATER UNITSIM [RUNS]\n");
    return 2;
  }
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  const fs::path dir = fs::temp_directory_path() / ("qsr470-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::size_t imageBytes = WriteImage(dir / "bench.hex");
  std::ofstream(dir / "bench.ini") << "P1 bench.hex\r\n";

  // Both ways: "P1", the lines, the 17-character checksum record; the unit's
  // two "." for the command and the erase, one per line, one for the record.
  const double sent = 2 + static_cast<double>(imageBytes) + 17;
  const double received = 2 + kLines + 1;
  const double wireMs = (sent + received) * 10 / kBaud * 1000;
  const double exchanges = kLines + 3;

  for (const bool paced : {true, false}) {
    double best = 0;
    double cpu = 0;
    int good = 0;
    for (int i = 0; i < runs; ++i) {
      const Result r = RunOnce(argv[1], argv[2], dir, paced);
      if (!r.ok) continue;
      best = good == 0 ? r.instructionMs : std::min(best, r.instructionMs);
      cpu += r.cpuSeconds;
      ++good;
    }
    if (good == 0) {
      std::printf("%s: no run completed\n", paced ? "paced" : "unpaced");
      continue;
    }
    if (paced) {
      std::printf("paced 57600: bank upload %.0f ms, wire time %.0f ms, overhead %+.2f%%\n", best,
                  wireMs, (best / wireMs - 1) * 100);
    } else {
      std::printf("unpaced: bank upload %.0f ms, %.0f exchanges/s\n", best,
                  exchanges / (best / 1000));
    }
    std::printf("  updater CPU per run: %.3f s (%d runs)\n", cpu / good, good);
  }
  fs::remove_all(dir);
  return 0;
}
