// Any text as a vendor's SVF file: the converter either refuses it, writing
// nothing, or writes an Effect file that the updater's interpreter accepts
// line by line. It never writes a line the interpreter marks malformed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "handlers/progjtag_effect.h"
#include "tools/svf2effect/svf2effect.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  svf2effect::Options options;
  // Small bounds keep each input quick; the rules at the bounds are the same.
  options.max_scan_bits = 4096;
  options.max_pause_clocks = 1000;
  if (size > 0 && (data[0] & 1) != 0) options.tck_hz = "1E6";
  const svf2effect::Result result = svf2effect::Convert(text, options);
  for (const svf2effect::Problem& problem : result.problems) {
    if (problem.message.rfind("internal fault", 0) == 0) std::abort();
  }
  if (!result.problems.empty()) {
    if (!result.effect.empty()) std::abort();
    return 0;
  }
  TEffectFields fields;
  std::size_t start = 0;
  while (start < result.effect.size()) {
    std::size_t end = result.effect.find('\n', start);
    if (end == std::string::npos) std::abort();  // every line ends
    const std::string_view line(result.effect.data() + start, end - start);
    const std::string record = ParseEffectLine(line, fields);
    if (record == kEffectLineError) std::abort();
    if (record.empty() && line.rfind("//", 0) != 0) std::abort();
    start = end + 1;
  }
  return 0;
}
