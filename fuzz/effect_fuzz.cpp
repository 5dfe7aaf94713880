// Any text as an Effect file, one line after the other through the same
// working fields, as the PROM handler plays it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "handlers/progjtag_effect.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  TEffectFields fields;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n') {
      (void)ParseEffectLine(text.substr(start, i - start), fields);
      (void)LooksLikeFullSvf(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return 0;
}
