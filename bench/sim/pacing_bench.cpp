// Paced line of qsr470-unitsim: a transfer of N bytes (both ways) over the
// terminal must take at least N x 10 / baud seconds, as on the real line.
// Reports the time taken against that floor, and the CPU the paced unit used
// (a paced unit waits in poll; it must not spin).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "client.h"
#include "hex/hex.h"
#include "sim_process.h"

namespace {

const std::string kProgram = QSR470_UNITSIM;

// Counts the bytes that cross the line in each direction.
class CountingLink : public simtest::Link {
 public:
  explicit CountingLink(simtest::Link& inner) : inner_(inner) {}
  bool Send(std::string_view bytes) override {
    sent += bytes.size();
    return inner_.Send(bytes);
  }
  bool Receive(std::string& into, std::chrono::milliseconds wait) override {
    const std::size_t before = into.size();
    const bool ok = inner_.Receive(into, wait);
    received += into.size() - before;
    return ok;
  }
  bool SetBaud(int baud) override { return inner_.SetBaud(baud); }
  std::size_t sent = 0;
  std::size_t received = 0;

 private:
  simtest::Link& inner_;
};

double ChildCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The lines to send: image records for the boot area at 57600, or Effect
// records inside a slow PROM session at 19200.
std::vector<std::string> Lines(int baud, int count) {
  std::vector<std::string> lines;
  for (int k = 0; k < count; ++k) {
    if (baud == sim::kSlowBaud) {
      lines.push_back(MakeHexRecord(0x05, 0, "01"));  // STATE IDLE
    } else {
      std::string data;
      for (int b = 0; b < 16; ++b)
        data += ByteToHex(static_cast<std::uint8_t>(k + b));
      lines.push_back(
          MakeHexRecord(0x00, static_cast<std::uint16_t>(0x4000 + 16 * (k % 512)), data));
    }
  }
  return lines;
}

void BM_PacedTransfer(benchmark::State& state) {
  const int baud = static_cast<int>(state.range(0));
  const int count = static_cast<int>(state.range(1));
  const std::vector<std::string> lines = Lines(baud, count);
  double bytes_total = 0, seconds_total = 0, cpu_total = 0;
  for (auto _ : state) {
    const double cpu_before = ChildCpuSeconds();
    simtest::SimProcess sim;
    if (!sim.Start(kProgram, {"--pace"})) {
      state.SkipWithError("qsr470-unitsim did not start");
      return;
    }
    simtest::TerminalLink terminal;
    terminal.Open(sim.slave_path());
    CountingLink link(terminal);
    simtest::Client client(link, ".");
    bool ok = client.Sync();
    if (baud == sim::kSlowBaud) {
      ok = ok && client.Send("S4") && client.Expect(".") && link.SetBaud(sim::kSlowBaud) &&
           client.Send("P4") && client.Expect(".");
    } else {
      ok = ok && client.Send("PB") && client.Expect("..");
    }
    link.sent = link.received = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& line : lines)
      ok = ok && client.Send(line + "\r\n") && client.Expect(".");
    const auto end = std::chrono::steady_clock::now();
    if (!ok) {
      state.SkipWithError(client.error().c_str());
      return;
    }
    const double seconds = std::chrono::duration<double>(end - start).count();
    state.SetIterationTime(seconds);
    bytes_total += static_cast<double>(link.sent + link.received);
    seconds_total += seconds;
    terminal.Close();
    sim.Wait();
    cpu_total += ChildCpuSeconds() - cpu_before;
  }
  const double floor = bytes_total * 10.0 / baud;
  state.counters["bytes"] = bytes_total / static_cast<double>(state.iterations());
  state.counters["floor_s"] = floor / static_cast<double>(state.iterations());
  state.counters["taken_over_floor"] = seconds_total / floor;
  state.counters["unit_cpu_s"] = cpu_total / static_cast<double>(state.iterations());
  if (seconds_total < floor) state.SkipWithError("faster than the line allows");
}

BENCHMARK(BM_PacedTransfer)
    ->Args({sim::kFastBaud, 256})
    ->Args({sim::kSlowBaud, 300})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
