// Any bytes from the updater's side into the virtual unit, at either speed.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sim/unit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sim::Unit unit{sim::UnitConfig{}};
  unit.PowerOn();
  std::size_t at = 0;
  while (at < size) {
    // The first byte of each piece tells its length, its speed and whether
    // the line then falls quiet.
    const std::uint8_t control = data[at++];
    const std::size_t length = std::min<std::size_t>(control & 0x3F, size - at);
    const int baud = (control & 0x40) ? sim::kSlowBaud : sim::kFastBaud;
    unit.Receive(std::string_view(reinterpret_cast<const char*>(data + at), length), baud);
    at += length;
    if ((control & 0x80) && unit.WantsTextEnd()) unit.EndOfText();
    if (unit.WantsCallSign()) unit.EmitCallSign();
    (void)unit.TakeOutput();
  }
  (void)unit.ReportJson("fuzz");
  return 0;
}
