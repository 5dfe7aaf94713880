#pragma once

// A scripted serial port on a clock of its own. Input arrives at given
// times, the output queue takes bytes only from given times on, and the
// backend's waits move the clock on instead of sleeping, so time-outs are
// tested without a timed test.

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/ComDrv32_backend.h"
#include "platform/tick.h"

namespace linktest {

struct FakeLine {
  // Milliseconds on a clock that does not wrap; the tick everybody sees is
  // its low 32 bits, so the wrap of the tick can be crossed.
  std::uint64_t now = 0;
  std::multimap<std::uint64_t, std::string> arrivals;
  std::string input;  // arrived, not yet read
  std::string written;
  std::vector<std::uint32_t> writeSizes;
  // Times from which the output queue has room for one more write; empty
  // means always room. Each write uses up the earliest time that has come.
  std::vector<std::uint64_t> roomAt;
  bool alwaysRoom = true;
  std::uint32_t outputQueued = 0;
  std::optional<TModemLines> modemLines;
  bool openable = true;
  bool gone = false;               // the device went away while open
  std::vector<std::string> calls;  // what the component asked of the backend, in order
  comdrv::LineSettings lastSettings;
  int wakes = 0;

  void Deliver() {
    for (auto it = arrivals.begin(); it != arrivals.end() && it->first <= now;) {
      input += it->second;
      it = arrivals.erase(it);
    }
  }
  bool HasRoom() const {
    if (alwaysRoom) return true;
    return !roomAt.empty() && roomAt.front() <= now;
  }
};

class FakeBackend final : public comdrv::SerialBackend {
 public:
  explicit FakeBackend(std::shared_ptr<FakeLine> line) : line_(std::move(line)) {}

  std::string DeviceNameFor(TComPortNumber port) const override {
    return "fake" + std::to_string(static_cast<int>(port) + 1);
  }
  bool Open(const std::string& device) override {
    line_->calls.push_back("open " + device);
    open_ = line_->openable;
    return open_;
  }
  void Close() override {
    line_->calls.push_back("close");
    open_ = false;
  }
  bool IsOpen() const override { return open_; }
  void SetLineSettings(const comdrv::LineSettings& settings) override {
    line_->calls.push_back("settings");
    line_->lastSettings = settings;
  }
  void Purge(bool input, bool output) override {
    line_->calls.push_back(std::string("purge") + (input ? " in" : "") + (output ? " out" : ""));
    line_->Deliver();
    if (input) line_->input.clear();
  }
  void SetQueueSizes(std::uint16_t input, std::uint16_t output) override {
    line_->calls.push_back("queues " + std::to_string(input) + " " + std::to_string(output));
  }
  void SetShortTimeouts() override { line_->calls.push_back("timeouts"); }
  comdrv::QueueCounts Counts() override {
    line_->Deliver();
    return {static_cast<std::uint32_t>(line_->input.size()),
            line_->HasRoom() ? line_->outputQueued : 0xFFFF};
  }
  std::optional<TModemLines> ModemLines() override { return line_->modemLines; }
  std::uint32_t Read(std::uint8_t* buffer, std::uint32_t count) override {
    line_->Deliver();
    const auto n = std::min<std::size_t>(count, line_->input.size());
    line_->input.copy(reinterpret_cast<char*>(buffer), n);
    line_->input.erase(0, n);
    return static_cast<std::uint32_t>(n);
  }
  std::uint32_t Write(const std::uint8_t* data, std::uint32_t count) override {
    if (!line_->HasRoom()) return 0;
    if (!line_->alwaysRoom) {
      line_->roomAt.erase(line_->roomAt.begin());
      count = 1;
    }
    line_->written.append(reinterpret_cast<const char*>(data), count);
    line_->writeSizes.push_back(count);
    return count;
  }
  void WaitInput(std::uint32_t maxMs) override {
    std::uint64_t until = line_->now + maxMs;
    if (!line_->arrivals.empty())
      until = std::min(until, std::max(line_->now, line_->arrivals.begin()->first));
    line_->now = until;
  }
  void WaitOutput(std::uint32_t maxMs) override {
    std::uint64_t until = line_->now + maxMs;
    if (!line_->alwaysRoom && !line_->roomAt.empty()) {
      until = std::min(until, std::max(line_->now, line_->roomAt.front()));
    }
    line_->now = until;
  }
  void WaitInputOrWake(std::uint32_t maxMs) override {
    if (line_->wakes > 0) {
      line_->wakes = 0;
      return;
    }
    WaitInput(maxMs);
  }
  void Wake() override { ++line_->wakes; }
  void AttachTimer(std::function<void()>) override {}
  void StartTimer(std::uint16_t periodMs) override {
    line_->calls.push_back("timer " + std::to_string(periodMs));
  }
  void StopTimer() override { line_->calls.push_back("stop timer"); }
  bool Gone() const override { return line_->gone; }
  const std::string& LastError() const override { return error_; }

 private:
  std::shared_ptr<FakeLine> line_;
  bool open_ = false;
  std::string error_;
};

// Installs the fake line's clock as the tick for the test's lifetime.
class FakeClockScope {
 public:
  explicit FakeClockScope(std::shared_ptr<FakeLine> line) {
    platform::SetTickSource([line] { return static_cast<std::uint32_t>(line->now); });
  }
  ~FakeClockScope() { platform::SetTickSource(nullptr); }
  FakeClockScope(const FakeClockScope&) = delete;
  FakeClockScope& operator=(const FakeClockScope&) = delete;
};

}  // namespace linktest
