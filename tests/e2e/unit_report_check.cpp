#include "unit_report_check.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>

#include "hex/hex.h"
#include "platform/files.h"

namespace e2e {
namespace {

using simtest::Json;

class Problems {
 public:
  template <typename T>
  void Equal(const std::string& what, const T& seen, const T& expected) {
    if (seen == expected) return;
    std::ostringstream line;
    line << what << ": " << seen << ", expected " << expected;
    list.push_back(line.str());
  }
  std::vector<std::string> list;
};

std::vector<std::string> Lines(const std::string& file, Problems& problems) {
  std::vector<std::string> lines;
  if (platform::ReadTextLines(file, lines) != platform::ReadStatus::kOk) {
    problems.list.push_back(file + ": cannot be read");
  }
  return lines;
}

std::string ImageSum(const std::vector<std::string>& lines, std::uint16_t first,
                     std::uint16_t last) {
  return WordToHex(HexFileChecksum(lines, first, last));
}

// What a PROM must hold after its Effect file: the file's own verify shifts,
// whose expected TDO is the page read back, last byte shifted first.
struct PromPages {
  std::size_t address = 0;
  std::vector<std::uint8_t> bytes;
};

PromPages ExpectedPromPages(const std::vector<std::string>& lines) {
  PromPages pages;
  std::string address;
  for (const std::string& line : lines) {
    if (line.rfind("SDR 16 TDI (", 0) == 0) address = line.substr(12, 4);
    if (line == "SIR 8 TDI (40);") pages.address = HexToWord(address);
    const auto tdo = line.find("TDO (");
    if (line.rfind("SDR 128 ", 0) != 0 || tdo == std::string::npos) continue;
    const std::string hex = line.substr(tdo + 5, 32);
    for (std::size_t k = hex.size(); k >= 2; k -= 2) {
      pages.bytes.push_back(
          static_cast<std::uint8_t>(HexValue(hex[k - 2]) * 16 + HexValue(hex[k - 1])));
    }
  }
  return pages;
}

// The PROM array as the unit reports it: erased bytes (FF) left out.
std::vector<std::uint8_t> PromContents(const Json& prom) {
  std::vector<std::uint8_t> array(static_cast<std::size_t>(prom["size"].number), 0xFF);
  for (std::size_t i = 0; i < prom["segments"].items.size(); ++i) {
    const auto& segment = prom["segments"][i];
    std::size_t at = HexToWord(segment["address"].text);
    const std::string& data = segment["data"].text;
    for (std::size_t k = 0; k + 1 < data.size() && at < array.size(); k += 2, ++at) {
      array[at] = static_cast<std::uint8_t>(HexValue(data[k]) * 16 + HexValue(data[k + 1]));
    }
  }
  return array;
}

std::string Trimmed(const std::string& text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= 32)
    ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32)
    --last;
  return text.substr(first, last - first);
}

// A script line for component `c` that a run leaving it out sends as "NP".
bool LineOfComponent(const std::string& line, int c) {
  const std::string text = Trimmed(line);
  return text.size() >= 2 && (text[0] == 'P' || text[0] == 'V' || text[0] == 'F') &&
         text[1] == HexDigit(c);
}

int Count(const Json& commands, const std::string& command) {
  return static_cast<int>(std::count_if(commands.items.begin(), commands.items.end(),
                                        [&](const Json& c) { return c.text == command; }));
}

}  // namespace

simtest::Json ReadJsonFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  Json json;
  simtest::ParseJson(text.str(), json);
  return json;
}

std::vector<std::string> CheckSampleScriptReport(const Json& unit, const std::string& examples,
                                                 const SampleRun& run) {
  Problems p;
  if (unit.kind != Json::Kind::kObject) return {"the unit's report is missing or not JSON"};
  const auto sum = [&](const std::string& file, std::uint16_t first, std::uint16_t last) {
    return ImageSum(Lines(examples + file, p), first, last);
  };
  const auto skipped = [&](int c) { return run.skipped.count(c) != 0; };

  p.Equal<bool>("finished", unit["finished"].boolean, true);
  p.Equal<std::string>("ended_by", unit["ended_by"].text, "updater-closed");
  p.Equal<std::string>("boot sum", unit["boot"]["sum"].text, sum("boot.hex", 0x4000, 0x5FFF));
  if (!skipped(0)) {
    p.Equal<std::string>("bank 0 sum", unit["banks"][0]["sum"].text,
                         sum("keyb0.hex", 0x0000, 0x7FFF));
    p.Equal<std::string>("version 0", unit["versions"][0].text, "0105");
  }
  for (std::size_t bank = 1; bank <= 3; ++bank) {
    if (skipped(static_cast<int>(bank))) continue;
    p.Equal<std::string>("bank " + std::to_string(bank) + " sum", unit["banks"][bank]["sum"].text,
                         sum("keyb" + std::to_string(bank) + ".hex", 0x8000, 0xFFFF));
  }
  p.Equal<std::string>("unit version", unit["unit_version"].text, "0204");
  p.Equal<std::string>("option text", unit["option_text"].text, "0001");

  const char* effectFiles[2] = {"prom1.svf", "prom2.svf"};
  for (std::size_t prom = 0; prom < 2; ++prom) {
    const Json& report = unit["proms"][prom];
    const std::string name = effectFiles[prom];
    if (skipped(4 + static_cast<int>(prom))) {
      p.Equal<double>(name + " erases (left out)", report["erases"].number, 0);
      p.Equal<std::string>("version " + std::to_string(4 + prom) + " (left out)",
                           unit["versions"][4 + prom].text, "0100");
      continue;
    }
    p.Equal<double>(name + " erases", report["erases"].number, 1);
    p.Equal<std::string>("version " + std::to_string(4 + prom), unit["versions"][4 + prom].text,
                         "0210");
    const PromPages expected = ExpectedPromPages(Lines(examples + name, p));
    const auto contents = PromContents(report);
    if (expected.bytes.empty() || contents.size() < expected.address + expected.bytes.size() ||
        !std::equal(expected.bytes.begin(), expected.bytes.end(),
                    contents.begin() + static_cast<long>(expected.address))) {
      p.list.push_back(name + ": the PROM does not hold the pages the file verifies");
    }
  }

  const Json& counts = unit["counts"];
  p.Equal<double>("bad records", counts["bad_records"].number, 0);
  p.Equal<double>("failures", counts["failures"].number, 0);
  p.Equal<double>("bytes garbled towards the unit", counts["garbled_in"].number, 0);
  p.Equal<double>("bytes garbled towards the updater", counts["garbled_out"].number, 0);
  p.Equal<double>("listening speed at the end", unit["listen_baud"].number, 57600);

  // A left-out component's lines reach the unit as "NP", one for one.
  const Json& commands = unit["commands"];
  int np = 0;
  for (const std::string& line : Lines(examples + "script.ini", p)) {
    if (Trimmed(line) == "NP") ++np;
    for (const int c : run.skipped) {
      if (LineOfComponent(line, c)) ++np;
    }
  }
  p.Equal<int>("NP commands", Count(commands, "NP"), np);
  for (const int c : run.skipped) {
    for (const char kind : {'P', 'V', 'F'}) {
      const std::string command{kind, HexDigit(c)};
      p.Equal<int>(command + " commands (left out)", Count(commands, command), 0);
    }
  }
  const int slowCommands = Count(commands, "S4") + Count(commands, "S5");
  const int proms = 2 - static_cast<int>(skipped(4)) - static_cast<int>(skipped(5));
  p.Equal<int>("S4/S5 commands", slowCommands, run.slow ? proms : 0);
  return p.list;
}

}  // namespace e2e
