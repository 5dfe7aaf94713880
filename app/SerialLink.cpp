#include "app/SerialLink.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "link/ComThread.h"
#include "link/SerialPorts.h"
#include "platform/wire.h"

namespace {

static_assert(kMaxPortNumber == kMaxComPortNumber, "a run selects every port the link reaches");

class TSerialLink final : public TLinkPort {
 public:
  TSerialLink(platform::MainThreadHandover& handover,
              std::function<void(const std::string&, const std::string&)> onOpenError,
              std::optional<std::string> device)
      : thread_(handover), onOpenError_(std::move(onOpenError)) {
    // The thread has just reset the link state; the device goes in after.
    if (device) SelectComDevice(*device);
    thread_.OnIncoming = [this](ComThread*) {
      arrived_ = Clock::now();
      if (OnIncoming) OnIncoming();
    };
    thread_.OnLineLost = [this](ComThread*, const std::string& reason) {
      if (OnLineLost) OnLineLost(reason);
    };
    thread_.OnOpenError = [this](ComThread*, const std::string& message,
                                 const std::string& detail) {
      if (onOpenError_) onOpenError_(message, detail);
    };
  }

  void SelectComPort(int n) override { ::SelectComPort(n); }
  bool SetLinkOpen(bool open) override {
    ::SetLinkOpen(open);
    return true;
  }
  std::string OpenErrorText() const override { return kOpenErrorText; }
  void PutOutgoing(const std::string& text) override {
    ::PutOutgoing(text);
    if (text.empty()) return;
    put_ = Clock::now();
    putBytes_ = text.size();
    awaitingReply_ = true;
  }
  std::string TakeIncoming() override {
    std::string text = ::TakeIncoming();
    if (awaitingReply_ && !text.empty()) NoteReply(text.size());
    return text;
  }
  void SetFastSpeed() override {
    thread_.SetFastSpeed();
    baud_ = 57600;
  }
  void SetSlowSpeed() override {
    thread_.SetSlowSpeed();
    baud_ = 19200;
  }
  std::vector<double> ReplyLatenciesMs() const override { return latencies_; }

 private:
  using Clock = std::chrono::steady_clock;
  // Enough for synchronisation and well beyond; a long run stops adding.
  static constexpr std::size_t kMaxLatencies = 1000;

  // Everything here runs on the main thread: the texts are put by the
  // handlers' steps and taken inside OnIncoming, both there.
  void NoteReply(std::size_t replyBytes) {
    awaitingReply_ = false;
    if (latencies_.size() >= kMaxLatencies) return;
    const double waitedMs = std::chrono::duration<double, std::milli>(arrived_ - put_).count();
    const double wireMs = platform::WireMs(putBytes_ + replyBytes, baud_);
    latencies_.push_back(std::max(0.0, waitedMs - wireMs));
  }

  Clock::time_point put_{};
  Clock::time_point arrived_{};
  std::size_t putBytes_ = 0;
  bool awaitingReply_ = false;
  double baud_ = 57600;  // the thread starts at the fast speed
  std::vector<double> latencies_;

  ComThread thread_;
  std::function<void(const std::string&, const std::string&)> onOpenError_;
};

}  // namespace

std::unique_ptr<TLinkPort> MakeSerialLink(
    platform::MainThreadHandover& handover,
    std::function<void(const std::string&, const std::string&)> onOpenError,
    std::optional<std::string> device) {
  return std::make_unique<TSerialLink>(handover, std::move(onOpenError), std::move(device));
}

std::vector<TPresentPort> PresentPorts() {
  std::vector<TPresentPort> ports;
  for (const TSerialPortInfo& port : ListSerialPorts())
    ports.push_back({port.number, port.name, port.path});
  return ports;
}
