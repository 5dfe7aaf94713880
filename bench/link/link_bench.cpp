// How much CPU the communication thread uses while the link idles (closed,
// open and silent, open with the other side gone), and how long one
// exchange takes: a text put, the unit's reply read and handed over.
// Run by hand: build-*/bench/link/link_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "link/ComThread.h"
#include "platform/handover.h"

namespace {

using Clock = std::chrono::steady_clock;

double ProcessCpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

class Master {
 public:
  Master() {
    fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0 || ::grantpt(fd_) != 0 || ::unlockpt(fd_) != 0) throw std::runtime_error("pty");
    path_ = ::ptsname(fd_);
    termios tio{};
    ::tcgetattr(fd_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd_, TCSANOW, &tio);
  }
  ~Master() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  const std::string& Path() const { return path_; }
  // Waits for `count` bytes, serving the hand-over meanwhile.
  void Expect(std::size_t count, platform::HandoverQueue& handover) {
    std::size_t got = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (got < count) {
      if (Clock::now() > deadline) throw std::runtime_error("no data from the link");
      handover.WaitAndRunOne(std::chrono::milliseconds(0));
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, 1) > 0) {
        char buffer[256];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) got += static_cast<std::size_t>(n);
      }
    }
  }
  void Send(const std::string& text) {
    if (::write(fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      throw std::runtime_error("write");
    }
  }

 private:
  int fd_ = -1;
  std::string path_;
};

enum class Idle { kClosed, kOpen, kOtherSideGone };

// Measures whole-process CPU over one second per iteration while the main
// thread sleeps in the hand-over, as a front end's event loop would.
void IdleCpu(benchmark::State& state, Idle idle) {
  platform::HandoverQueue handover;
  Master master;
  ComThread thread(handover);
  thread.OnIncoming = [](ComThread*) { TakeIncoming(); };
  SelectComDevice(master.Path());
  if (idle != Idle::kClosed) {
    SetLinkOpen(true);
    PutOutgoing("?");
    master.Expect(1, handover);
    if (idle == Idle::kOtherSideGone) master.Close();
  }
  double percent = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    const double cpuStart = ProcessCpuSeconds();
    const auto end = start + std::chrono::seconds(1);
    while (Clock::now() < end)
      handover.WaitAndRunUntil(end);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = ProcessCpuSeconds() - cpuStart;
    state.SetIterationTime(wall);
    percent = 100.0 * cpu / wall;
  }
  state.counters["cpu_percent_of_a_core"] = percent;
  SetLinkOpen(false);
}

void RoundTrip(benchmark::State& state) {
  platform::HandoverQueue handover;
  Master master;
  ComThread thread(handover);
  bool replied = false;
  thread.OnIncoming = [&](ComThread*) {
    if (!TakeIncoming().empty()) replied = true;
  };
  SelectComDevice(master.Path());
  SetLinkOpen(true);
  PutOutgoing("?");
  master.Expect(1, handover);
  for (auto _ : state) {
    replied = false;
    PutOutgoing("P0");
    master.Expect(2, handover);
    master.Send(".");
    while (!replied)
      handover.WaitAndRunOne(std::chrono::milliseconds(100));
  }
  SetLinkOpen(false);
}

}  // namespace

BENCHMARK_CAPTURE(IdleCpu, closed_link, Idle::kClosed)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(IdleCpu, open_silent_link, Idle::kOpen)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(IdleCpu, open_link_other_side_gone, Idle::kOtherSideGone)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(RoundTrip)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
