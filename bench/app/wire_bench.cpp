// How close the updater comes to the wire. The dialogue is stop-and-wait, so
// whatever the updater adds between a reply and what it sends next is lost
// time; the virtual unit, paced at 57600 baud, measures that turnaround
// itself, together with the wire time of every byte both ways and its own
// pauses, and so gives the floor a run cannot go below.
//
// Usage: wire_bench UPDATER UNITSIM [--runs N] [--reply-delay MS] [--examples DIR]
//
// Three runs, each paced and then unpaced:
//   bank    a 2,048-line keyboard bank upload
//   effect  an Effect file of 500 long SDR statements with TDO
//   sample  the whole sample script (examples/script.ini)
// For each: the elapsed time against the floor (wire time both ways plus the
// fixed pauses: the unit's erase time and its wait for the end of a text,
// 1000 ms per Effect file, the script's waits), the unit's pacing alone
// (elapsed less the updater's turnaround, against the floor), the updater's
// turnaround as the unit measured it, and the unpaced exchanges per second.
// --reply-delay makes the unit hold each reply back as a USB adapter with
// that latency timer would.

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

constexpr int kBankLines = 2048;
constexpr int kSdrStatements = 500;
constexpr int kSdrBits = 256;
constexpr double kEffectPauseUs = 1000e3;

struct Case {
  const char* name;
  std::string script;       // path of the script to run
  std::string files;        // folder of its files
  std::string transfer;     // the unit's transfer to measure; empty: the whole run
  double fixedPauseUs = 0;  // the updater's own pauses the design fixes
};

struct Figures {
  bool ok = false;
  double elapsedUs = 0;
  double wireUs = 0;
  double pauseUs = 0;      // all fixed pauses
  double unitPauseUs = 0;  // the unit's share of them
  double turnaroundTotalUs = 0;
  double median = 0, p99 = 0, max = 0;
  double exchanges = 0;
  double cpuSeconds = 0;
};

// A bank image of 2,048 data records of 16 bytes for the upper bank.
void WriteBank(const fs::path& path) {
  std::ofstream out(path, std::ios::binary);
  for (int i = 0; i < kBankLines - 1; ++i) {
    std::string data;
    for (int k = 0; k < 16; ++k)
      data += ByteToHex(static_cast<std::uint8_t>(i * 7 + k));
    out << MakeHexRecord(0x00, static_cast<std::uint16_t>(0x8000 + (i * 16) % 0x8000), data)
        << "\r\n";
  }
  out << MakeHexRecord(0x01, 0, "") << "\r\n";
}

// `hex` (most significant digit first) times two, kept to its width: what a
// one-bit register in front of it returns, its capture being 0.
std::string Doubled(const std::string& hex) {
  std::string out(hex.size(), '0');
  int carry = 0;
  for (std::size_t i = hex.size(); i-- > 0;) {
    const int v = HexValue(hex[i]) * 2 + carry;
    out[i] = HexDigit(v & 0xF);
    carry = v >> 4;
  }
  return out;
}

// 500 long data-register shifts through BYPASS, each checked against TDO.
void WriteEffect(const fs::path& path) {
  std::ofstream out(path, std::ios::binary);
  out << "// 500 long shifts through BYPASS, each checked.\r\n"
      << "ENDIR IDLE;\r\nENDDR IDLE;\r\nSTATE RESET IDLE;\r\nSIR 8 TDI (FF);\r\n";
  for (int s = 0; s < kSdrStatements; ++s) {
    std::string tdi;
    for (int k = 0; k < kSdrBits / 8; ++k)
      tdi += ByteToHex(static_cast<std::uint8_t>(s * 13 + k * 7 + 1));
    out << "SDR " << kSdrBits << " TDI (" << tdi << ") TDO (" << Doubled(tdi) << ");\r\n";
  }
  out << "STATE RESET;\r\n";
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Figures RunOnce(const std::string& updater, const std::string& unitsim, const fs::path& dir,
                const Case& c, bool paced, int replyDelayMs) {
  Figures f;
  const std::string unitReport = (dir / "unit.json").string();
  fs::remove(unitReport);
  e2e::Process unit;
  std::vector<std::string> args = {unitsim, "--report", unitReport};
  if (paced) args.push_back("--pace");
  if (replyDelayMs > 0) args.insert(args.end(), {"--reply-delay", std::to_string(replyDelayMs)});
  if (!unit.Start(args)) return f;
  std::string tty;
  if (!unit.ReadLine(tty, 30s)) return f;
  e2e::Process run;
  if (!run.Start({updater, "--device", tty, "--files", c.files, c.script})) return f;
  if (run.Wait(900s) != 0) {
    std::fprintf(stderr, "%s: the run failed: %s\n", c.name, run.Err().c_str());
    return f;
  }
  unit.Wait(60s);
  simtest::Json json;
  if (!simtest::ParseJson(ReadFile(unitReport), json)) return f;
  const simtest::Json& timing = json["timing"];
  const simtest::Json* part = &timing;
  double elapsed = timing["span_us"].number;
  if (!c.transfer.empty()) {
    part = nullptr;
    for (const simtest::Json& t : timing["transfers"].items) {
      if (t["command"].text == c.transfer) part = &t;
    }
    if (part == nullptr) return f;
    elapsed = (*part)["elapsed_us"].number;
  }
  const simtest::Json& turnaround = (*part)["turnaround_us"];
  f.elapsedUs = elapsed;
  f.wireUs = (*part)["wire_us"].number;
  f.unitPauseUs = (*part)["pause_us"].number;
  f.pauseUs = f.unitPauseUs + c.fixedPauseUs;
  f.turnaroundTotalUs = turnaround["total"].number;
  f.median = turnaround["median"].number;
  f.p99 = turnaround["p99"].number;
  f.max = turnaround["max"].number;
  f.exchanges = turnaround["count"].number;
  f.cpuSeconds = run.CpuSeconds();
  f.ok = f.elapsedUs > 0;
  return f;
}

void Report(const Case& c, const std::vector<Figures>& paced, const std::vector<Figures>& unpaced) {
  if (paced.empty()) {
    std::printf("%s: no paced run completed\n", c.name);
  } else {
    // The run closest to the floor shows what the updater can do; the others
    // add the machine's own noise.
    const Figures& f = *std::min_element(paced.begin(), paced.end(), [](auto& a, auto& b) {
      return a.elapsedUs / (a.wireUs + a.pauseUs) < b.elapsedUs / (b.wireUs + b.pauseUs);
    });
    const double floor = f.wireUs + f.pauseUs;
    std::printf(
        "%s, paced 57600: elapsed %.3f s, floor %.3f s (wire %.3f s + pauses %.3f s): "
        "%+.2f%% over the floor\n",
        c.name, f.elapsedUs / 1e6, floor / 1e6, f.wireUs / 1e6, f.pauseUs / 1e6,
        (f.elapsedUs / floor - 1) * 100);
    std::printf("  the unit's own pacing: %+.3f%% (elapsed less the updater's turnaround)\n",
                ((f.elapsedUs - f.turnaroundTotalUs) / (f.wireUs + f.unitPauseUs) - 1) * 100);
    std::printf(
        "  updater turnaround over %.0f exchanges: median %.1f us, p99 %.1f us, max %.1f us, "
        "total %.1f ms\n",
        f.exchanges, f.median, f.p99, f.max, f.turnaroundTotalUs / 1e3);
    std::printf("  updater CPU %.3f s\n", f.cpuSeconds);
  }
  if (unpaced.empty()) {
    std::printf("  unpaced: no run completed\n");
    return;
  }
  const Figures& u = *std::min_element(unpaced.begin(), unpaced.end(),
                                       [](auto& a, auto& b) { return a.elapsedUs < b.elapsedUs; });
  std::printf(
      "  unpaced: %.0f exchanges/s (%.0f exchanges in %.3f s; turnaround median %.1f us, p99 "
      "%.1f us)\n",
      u.exchanges / ((u.elapsedUs - u.pauseUs) / 1e6), u.exchanges, u.elapsedUs / 1e6, u.median,
      u.p99);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: wire_bench UPDATER UNITSIM [--runs N] [--reply-delay MS] "
                 "[--examples DIR] [--only bank|effect|sample]\n");
    return 2;
  }
  int runs = 1;
  int replyDelayMs = 0;
  std::string only;
  fs::path examples = fs::path(QSR470_SOURCE_DIR) / "examples";
  for (int i = 3; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (option == "--reply-delay") replyDelayMs = std::max(0, std::atoi(argv[i + 1]));
    if (option == "--examples") examples = argv[i + 1];
    if (option == "--only") only = argv[i + 1];
  }
  const fs::path dir = fs::temp_directory_path() / ("qsr470-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  WriteBank(dir / "bench.hex");
  WriteEffect(dir / "bench.svf");
  std::ofstream(dir / "bank.ini") << "P1 bench.hex\r\n";
  std::ofstream(dir / "effect.ini") << "P4 bench.svf\r\n";

  const std::string files = dir.string() + "/";
  const std::vector<Case> cases = {
      {"bank", (dir / "bank.ini").string(), files, "P1", 0},
      {"effect", (dir / "effect.ini").string(), files, "P4", kEffectPauseUs},
      // Two Effect files and "wait 200".
      {"sample", (examples / "script.ini").string(), examples.string() + "/", "",
       2 * kEffectPauseUs + 200e3},
  };
  if (replyDelayMs > 0) std::printf("the unit holds each reply back %d ms\n", replyDelayMs);
  for (const Case& c : cases) {
    if (!only.empty() && only != c.name) continue;
    std::vector<Figures> paced, unpaced;
    for (int i = 0; i < runs; ++i) {
      const Figures f = RunOnce(argv[1], argv[2], dir, c, true, replyDelayMs);
      if (f.ok) paced.push_back(f);
    }
    for (int i = 0; i < runs; ++i) {
      const Figures f = RunOnce(argv[1], argv[2], dir, c, false, 0);
      if (f.ok) unpaced.push_back(f);
    }
    Report(c, paced, unpaced);
    std::fflush(stdout);
  }
  fs::remove_all(dir);
  return 0;
}
