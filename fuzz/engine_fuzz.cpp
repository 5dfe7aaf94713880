// The whole engine as the product runs it: any script, and any bytes from
// the serial line in any pieces, through the run loop and all four
// handlers, with the sample images and Effect files at hand.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "app/LinkPort.h"
#include "app/main.h"
#include "platform/tick.h"

namespace {

class FuzzLink : public TLinkPort {
 public:
  void SelectComPort(int) override {}
  bool SetLinkOpen(bool open) override {
    isOpen = open;
    return true;
  }
  std::string OpenErrorText() const override { return "Error while opening "; }
  void PutOutgoing(const std::string&) override {}
  std::string TakeIncoming() override {
    std::string text;
    text.swap(incoming);
    return text;
  }
  void SetFastSpeed() override {}
  void SetSlowSpeed() override {}

  bool isOpen = false;
  std::string incoming;
};

std::uint32_t now = 0;

const std::string& ScriptPath() {
  static const std::string path = "/tmp/qsr470-engine-fuzz-" + std::to_string(::getpid()) + ".ini";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform::SetTickSource([] { return now; });
  platform::SetSleepHook([](std::uint32_t ms) { now += ms; });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The script comes first, up to a NUL; the rest is what the unit sends.
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string_view script = input.substr(0, split);
  std::string_view line = split == std::string_view::npos ? "" : input.substr(split + 1);
  if (std::FILE* f = std::fopen(ScriptPath().c_str(), "wb")) {
    std::fwrite(script.data(), 1, script.size(), f);
    std::fclose(f);
  }

  auto owned = std::make_unique<FuzzLink>();
  FuzzLink& link = *owned;
  TMainFich main(std::move(owned), ScriptPath());
  main.SetFileFolder(QSR470_EXAMPLES_DIR "/");
  bool closed = false;
  main.OnClose = [&] { closed = true; };
  if (!line.empty() && (line.front() & 1)) main.MAutoClick();
  if (!line.empty() && (line.front() & 2)) main.SlowClick();

  main.Timer1Timer();
  main.StartClick();
  for (int tick = 0; tick < 3000 && !closed; ++tick) {
    now += 10;
    main.Timer1Timer();
    if (closed || !link.isOpen || line.empty()) continue;
    // Each piece's first byte tells its length.
    const std::size_t length = std::min<std::size_t>(line.front() & 0x1F, line.size() - 1);
    link.incoming = std::string(line.substr(1, length));
    line.remove_prefix(1 + length);
    if (!link.incoming.empty()) link.OnIncoming();
    if (main.Record.Result == "completed") break;
  }
  main.Close();
  return 0;
}
