#include "app/SerialLink.h"

#include <utility>

#include "link/ComThread.h"

namespace {

class TSerialLink final : public TLinkPort {
 public:
  TSerialLink(platform::MainThreadHandover& handover,
              std::function<void(const std::string&, const std::string&)> onOpenError,
              std::optional<std::string> device)
      : thread_(handover), onOpenError_(std::move(onOpenError)) {
    // The thread has just reset the link state; the device goes in after.
    if (device) SelectComDevice(*device);
    thread_.OnIncoming = [this](ComThread*) {
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
  void PutOutgoing(const std::string& text) override { ::PutOutgoing(text); }
  std::string TakeIncoming() override { return ::TakeIncoming(); }
  void SetFastSpeed() override { thread_.SetFastSpeed(); }
  void SetSlowSpeed() override { thread_.SetSlowSpeed(); }

 private:
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
