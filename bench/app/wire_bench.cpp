// How close the updater comes to the wire. The dialogue is stop-and-wait, so
// whatever the updater adds between a reply and what it sends next is lost
// time; the virtual unit, paced at 57600 baud, measures that turnaround
// itself, together with the wire time of every byte both ways and its own
// pauses, and so gives the floor a run cannot go below.
//
// Usage: wire_bench UPDATER UNITSIM [--runs N] [--reply-delay MS] [--examples DIR]
//                   [--only bank|effect|sample] [--hold-idle-latency]
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
//
// The bank run is also replayed by the reference responder (one thread, no
// engine), whose turnaround is what the terminal and the machine cost before
// the updater adds anything; the difference is the updater's own share.
// --hold-idle-latency keeps the processors out of deep idle states while
// measuring (see IdleLatencyHold).

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hex/hex.h"
#include "json.h"
#include "process.h"
#include "reference_responder.h"

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

// The figures of one run from the unit's report: the whole run, or the
// case's transfer alone.
Figures ReadFigures(const std::string& unitReport, const Case& c) {
  Figures f;
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
  f.ok = f.elapsedUs > 0;
  return f;
}

Figures RunOnce(const std::string& updater, const std::string& unitsim, const fs::path& dir,
                const Case& c, bool paced, int replyDelayMs) {
  const std::string unitReport = (dir / "unit.json").string();
  fs::remove(unitReport);
  e2e::Process unit;
  std::vector<std::string> args = {unitsim, "--report", unitReport};
  if (paced) args.push_back("--pace");
  if (replyDelayMs > 0) args.insert(args.end(), {"--reply-delay", std::to_string(replyDelayMs)});
  if (!unit.Start(args)) return {};
  std::string tty;
  if (!unit.ReadLine(tty, 30s)) return {};
  e2e::Process run;
  if (!run.Start({updater, "--device", tty, "--files", c.files, c.script})) return {};
  if (run.Wait(900s) != 0) {
    std::fprintf(stderr, "%s: the run failed: %s\n", c.name, run.Err().c_str());
    return {};
  }
  unit.Wait(60s);
  Figures f = ReadFigures(unitReport, c);
  f.cpuSeconds = run.CpuSeconds();
  return f;
}

// What the updater sent in an unpaced run, as the unit traced it, ready to
// be replayed by the reference responder.
bool RecordDialogue(const std::string& updater, const std::string& unitsim, const fs::path& dir,
                    const Case& c, std::vector<bench::ReplayStep>& steps, std::string& why) {
  const fs::path trace = dir / "trace.txt";
  e2e::Process unit;
  // The trace goes to a file: a pipe nobody reads would stop the unit.
  if (!unit.Start({"/bin/sh", "-c", "exec \"$0\" --trace 2>\"$1\"", unitsim, trace.string()})) {
    why = "the unit did not start";
    return false;
  }
  std::string tty;
  e2e::Process run;
  if (!unit.ReadLine(tty, 30s) ||
      !run.Start({updater, "--device", tty, "--files", c.files, c.script}) || run.Wait(900s) != 0) {
    why = "the recording run failed";
    return false;
  }
  unit.Wait(60s);
  return bench::ParseUnitTrace(ReadFile(trace), steps, why);
}

Figures RunReference(const std::string& unitsim, const fs::path& dir, const Case& c,
                     const std::vector<bench::ReplayStep>& steps) {
  const std::string unitReport = (dir / "unit.json").string();
  fs::remove(unitReport);
  e2e::Process unit;
  if (!unit.Start({unitsim, "--report", unitReport, "--pace"})) return {};
  std::string tty, why;
  if (!unit.ReadLine(tty, 30s)) return {};
  if (!bench::Replay(tty, steps, 60s, why)) {
    std::fprintf(stderr, "%s: the reference replay failed: %s\n", c.name, why.c_str());
    return {};
  }
  unit.Wait(60s);
  return ReadFigures(unitReport, c);
}

// The run closest to the floor shows what the responder can do; the others
// add the machine's own noise.
const Figures& Best(const std::vector<Figures>& runs) {
  return *std::min_element(runs.begin(), runs.end(), [](auto& a, auto& b) {
    return a.elapsedUs / (a.wireUs + a.pauseUs) < b.elapsedUs / (b.wireUs + b.pauseUs);
  });
}

void Report(const Case& c, const std::vector<Figures>& paced, const std::vector<Figures>& unpaced,
            const std::vector<Figures>& reference, const std::string& noReference) {
  if (paced.empty()) {
    std::printf("%s: no paced run completed\n", c.name);
  } else {
    const Figures& f = Best(paced);
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
    if (!reference.empty()) {
      const Figures& r = Best(reference);
      std::printf(
          "  reference responder (one thread, no engine), paced: %+.2f%% over the floor; "
          "turnaround median %.1f us, p99 %.1f us\n",
          (r.elapsedUs / (r.wireUs + r.pauseUs) - 1) * 100, r.median, r.p99);
      std::printf("  the updater's own share: median %+.1f us, total %+.1f ms\n",
                  f.median - r.median, (f.turnaroundTotalUs - r.turnaroundTotalUs) / 1e3);
    } else if (!noReference.empty()) {
      std::printf("  no reference responder: %s\n", noReference.c_str());
    }
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

// Latency benchmarks commonly keep the processors out of their deep idle
// states while they measure: in a virtual machine, waking an idle processor
// costs tens of microseconds, which would otherwise swamp what is measured.
// The updater never does this; only the benchmark, on request, as root.
class IdleLatencyHold {
 public:
  explicit IdleLatencyHold(bool wanted) {
    if (!wanted) return;
    fd_ = ::open("/dev/cpu_dma_latency", O_WRONLY);
    const std::int32_t zero = 0;
    if (fd_ < 0 || ::write(fd_, &zero, sizeof zero) != static_cast<ssize_t>(sizeof zero)) {
      std::printf("idle states not held: %s\n", std::strerror(errno));
      return;
    }
    std::printf("idle states held off (/dev/cpu_dma_latency 0) while measuring\n");
  }
  ~IdleLatencyHold() {
    if (fd_ >= 0) ::close(fd_);
  }
  IdleLatencyHold(const IdleLatencyHold&) = delete;
  IdleLatencyHold& operator=(const IdleLatencyHold&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: wire_bench UPDATER UNITSIM [--runs N] [--reply-delay MS] "
                 "[--examples DIR] [--only bank|effect|sample] [--hold-idle-latency]\n");
    return 2;
  }
  int runs = 1;
  int replyDelayMs = 0;
  std::string only;
  fs::path examples = fs::path(QSR470_SOURCE_DIR) / "examples";
  bool holdIdleLatency = false;
  for (int i = 3; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--hold-idle-latency") {
      holdIdleLatency = true;
      continue;
    }
    if (i + 1 >= argc) break;
    if (option == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (option == "--reply-delay") replyDelayMs = std::max(0, std::atoi(argv[i + 1]));
    if (option == "--examples") examples = argv[i + 1];
    if (option == "--only") only = argv[i + 1];
    ++i;
  }
  const IdleLatencyHold idleHold(holdIdleLatency);
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
    std::vector<Figures> paced, unpaced, reference;
    for (int i = 0; i < runs; ++i) {
      const Figures f = RunOnce(argv[1], argv[2], dir, c, true, replyDelayMs);
      if (f.ok) paced.push_back(f);
    }
    for (int i = 0; i < runs; ++i) {
      const Figures f = RunOnce(argv[1], argv[2], dir, c, false, 0);
      if (f.ok) unpaced.push_back(f);
    }
    std::vector<bench::ReplayStep> steps;
    std::string noReference;
    if (RecordDialogue(argv[1], argv[2], dir, c, steps, noReference)) {
      for (int i = 0; i < runs; ++i) {
        const Figures f = RunReference(argv[2], dir, c, steps);
        if (f.ok) reference.push_back(f);
      }
    }
    Report(c, paced, unpaced, reference, noReference);
    std::fflush(stdout);
  }
  fs::remove_all(dir);
  return 0;
}
