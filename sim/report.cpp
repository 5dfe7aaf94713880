// The end report: what the unit holds when the program stops, as JSON, so
// that a test can check that a run which completed really updated the unit.

#include <sstream>

#include "hex/hex.h"
#include "json/json_writer.h"
#include "sim/unit.h"

namespace sim {

namespace {

std::string Hex32(std::uint32_t value) {
  return LongToHex(value);
}

std::string SegmentsJson(const MemoryArea& area, std::size_t address_digits) {
  std::string out = "[";
  bool first = true;
  for (const Segment& segment : area.Segments()) {
    out += first ? "" : ", ";
    first = false;
    const std::string address = Hex32(segment.address).substr(8 - address_digits);
    out += "{\"address\": " + JsonString(address) +
           ", \"data\": " + JsonString(BytesToHex(segment.bytes)) + "}";
  }
  return out + "]";
}

std::string AreaJson(const MemoryArea& area) {
  std::ostringstream out;
  out << "{\"first\": " << JsonString(WordToHex(static_cast<std::uint16_t>(area.first())))
      << ", \"last\": " << JsonString(WordToHex(static_cast<std::uint16_t>(area.last())))
      << ", \"sum\": " << JsonString(WordToHex(area.Sum16()))
      << ", \"erases\": " << area.erase_count() << ", \"segments\": " << SegmentsJson(area, 4)
      << "}";
  return out.str();
}

}  // namespace

std::string Unit::ReportJson(std::string_view ended_by, std::string_view timing) const {
  std::ostringstream out;
  out << "{\n";
  out << "  \"ended_by\": " << JsonString(ended_by) << ",\n";
  out << "  \"finished\": " << (finished_ ? "true" : "false") << ",\n";
  out << "  \"device_id\": " << JsonString(config_.device_id) << ",\n";
  out << "  \"boot_checksum\": " << JsonString(BootChecksumText()) << ",\n";
  out << "  \"keyboard_id\": " << JsonString(config_.keyboard_id) << ",\n";
  out << "  \"listen_baud\": " << listen_baud_ << ",\n";
  out << "  \"boot\": " << AreaJson(boot_) << ",\n";
  out << "  \"banks\": [\n";
  for (std::size_t k = 0; k < banks_.size(); ++k) {
    out << "    " << AreaJson(banks_[k]) << (k + 1 < banks_.size() ? ",\n" : "\n");
  }
  out << "  ],\n";
  out << "  \"proms\": [\n";
  for (std::size_t k = 0; k < proms_.size(); ++k) {
    const PromDevice& prom = *proms_[k];
    out << "    {\"component\": " << k + 4 << ", \"idcode\": " << JsonString(Hex32(prom.idcode()))
        << ", \"size\": " << prom.array().size()
        << ", \"sum\": " << JsonString(Hex32(prom.array().Sum32()))
        << ", \"erases\": " << prom.array().erase_count()
        << ", \"pages_programmed\": " << prom.pages_programmed()
        << ", \"segments\": " << SegmentsJson(prom.array(), 4) << "}"
        << (k + 1 < proms_.size() ? ",\n" : "\n");
  }
  out << "  ],\n";
  out << "  \"versions\": [";
  for (std::size_t k = 0; k < versions_.size(); ++k) {
    out << (k ? ", " : "") << JsonString(versions_[k]);
  }
  out << "],\n";
  out << "  \"unit_version\": " << JsonString(unit_version_) << ",\n";
  out << "  \"option_text\": " << JsonString(option_text_) << ",\n";
  const UnitCounts& c = counts_;
  out << "  \"counts\": {\"commands\": " << c.commands << ", \"unknown\": " << c.unknown
      << ", \"records\": " << c.records << ", \"blank_lines\": " << c.blank_lines
      << ", \"bad_records\": " << c.bad_records << ", \"data_blocks\": " << c.data_blocks
      << ", \"resends\": " << c.resends << ", \"capture_resends\": " << c.capture_resends
      << ", \"failures\": " << c.failures << ", \"garbled_in\": " << c.garbled_in
      << ", \"garbled_out\": " << c.garbled_out << ", \"resets\": " << c.resets
      << ", \"call_signs\": " << c.call_signs << "},\n";
  out << "  \"commands\": [";
  for (std::size_t k = 0; k < command_log_.size(); ++k) {
    out << (k ? ", " : "") << JsonString(command_log_[k]);
  }
  out << "]";
  if (!timing.empty()) out << ",\n  \"timing\": " << timing;
  out << "\n}\n";
  return out.str();
}

}  // namespace sim
