// Any text as an image file and as record data: nothing may be read or
// written outside the lines and the 64 KiB image.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hex/hex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  const std::uint16_t first = size > 1 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 0;
  (void)HexFileChecksum(lines, first, 0xFFFF);
  (void)HexFileChecksum(lines, 0x0000, first);
  HexRecord record;
  for (const auto& line : lines)
    (void)ParseHexRecord(line, record);
  (void)MakeHexRecord(size > 0 ? data[0] : 0, first, text);
  (void)HexToWord(text);
  return 0;
}
