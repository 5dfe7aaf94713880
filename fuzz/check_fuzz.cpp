// The job check against the virtual unit: two readers written apart must
// agree. The input's first byte picks an area, the rest of its first line is
// one image file line, and what follows is an Effect file.
//  - An image line the check accepts, warnings or not, is one the unit's strict
//    record reader takes and stores in that area; a line of type 00 to 05 the
//    unit takes is accepted by the check, perhaps with a warning (an address
//    record that moves the data is refused by design: the unit ignores it).
//  - An Effect file the check accepts plays on the unit's JTAG model without
//    a refusal, from power-on. The check reads a file in order, so the lines
//    before its first problem are such a file too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "handlers/effect_check.h"
#include "handlers/progjtag_effect.h"
#include "hex/hex_check.h"
#include "sim/jtag.h"
#include "sim/memory_area.h"
#include "sim/record.h"

namespace {

bool AnyProblem(const std::vector<LineFinding>& findings) {
  return std::any_of(findings.begin(), findings.end(),
                     [](const LineFinding& f) { return !f.warning; });
}

void CheckImageLine(std::string_view line, std::uint8_t selector) {
  struct Area {
    HexArea check;
    std::uint32_t first, size;
  };
  static const Area kAreas[] = {
      {{0x4000, 0x5FFF, "the boot"}, 0x4000, 0x2000},
      {{0x0000, 0x7FFF, "bank 0"}, 0x0000, 0x8000},
      {{0x8000, 0xFFFF, "bank 1"}, 0x8000, 0x8000},
  };
  const Area& area = kAreas[selector % 3];
  if (line.empty()) return;  // both let a blank line pass
  const std::vector<LineFinding> findings = CheckHexFile({std::string(line)}, area.check);
  sim::Record record;
  const bool readable = sim::ParseRecordLine(line, record);
  const sim::MemoryArea memory(area.first, area.size);
  const bool stored = readable && record.type <= 0x05 &&
                      (record.type != 0x00 || memory.Contains(record.address, record.data.size()));
  if (!AnyProblem(findings) && !stored) std::abort();
  const bool moves = (record.type == 0x02 || record.type == 0x04) &&
                     std::any_of(record.data.begin(), record.data.end(), [](auto b) { return b; });
  if (stored && !moves && AnyProblem(findings)) std::abort();
}

// What the unit does with one Effect record, on its own JTAG model.
bool Play(sim::JtagPort& port, const std::string& line, const TEffectFields& fields) {
  sim::Record record;
  if (!sim::ParseRecordLine(line, record)) return false;
  const std::uint8_t type = record.type;
  std::vector<std::uint8_t> captured;
  if ((type & 0x0F) == kShiftSir || (type & 0x0F) == kShiftSdr) {
    sim::ShiftRequest request;
    request.instruction_register = (type & 0x0F) == kShiftSir;
    request.start = (type & 0x20) != 0;
    request.end = (type & 0x40) != 0;
    request.length = record.address;
    const std::size_t bytes = (request.length + 7u) / 8u;
    if (request.instruction_register) {
      if ((type & kShiftCompressed) != 0) return false;
      request.tdi = record.data;
    } else if ((type & kShiftCompressed) != 0) {
      if (record.data.size() != 1) return false;
      request.tdi.assign(bytes, record.data[0]);
    } else {
      // The data block the updater sends when asked: digits and their sum.
      if (record.data.size() != 1 || record.data[0] != 2 * bytes + 2) return false;
      std::vector<std::uint8_t> block;
      if (!sim::ParseHexBytes(fields.TdiText, block) || block.empty()) return false;
      block.pop_back();
      request.tdi = block;
    }
    return port.Shift(request, captured);
  }
  if (record.address != 0) return false;
  switch (type) {
    case kEffectRunTest: {
      if (record.data.size() != 4) return false;
      std::uint32_t count = 0;
      for (std::uint8_t b : record.data)
        count = count << 8 | b;
      return port.RunTest(count);
    }
    case kEffectState:
      for (std::uint8_t code : record.data) {
        const auto state = sim::TapStateFromCode(code);
        if (!state || !port.MoveTo(*state, record.data.size() == 1)) return false;
      }
      return true;
    case kEffectEndIr:
    case kEffectEndDr: {
      const auto state =
          record.data.size() == 1 ? sim::TapStateFromCode(record.data[0]) : std::nullopt;
      return state && port.SetEndState(type == kEffectEndIr, *state);
    }
    default:
      return false;
  }
}

void CheckEffectFile(std::string_view text) {
  TEffectFileCheck check;
  std::vector<LineFinding> findings;
  std::vector<std::pair<std::string, TEffectFields>> records;
  std::int32_t number = 0;
  std::size_t start = 0;
  // Lines end as the updater reads them: CR LF, LF or CR.
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    TEffectFields fields;
    std::string record = check.Line(text.substr(start, end - start), ++number, findings, fields);
    // The lines before the first problem are a file the check accepts.
    if (AnyProblem(findings)) break;
    if (!record.empty()) records.emplace_back(std::move(record), fields);
    start = end + (text.substr(end).starts_with("\r\n") ? 2 : 1);
  }
  sim::PromDevice device(0x0470A0D3, 1024);
  sim::JtagPort port(device);
  for (const auto& [record, fields] : records) {
    if (!Play(port, record, fields)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t end = std::min(text.find('\n'), text.size());
  CheckImageLine(text.substr(0, end), data[0]);
  if (end < text.size()) CheckEffectFile(text.substr(end + 1));
  return 0;
}
