#include "sim/options.h"

#include <charconv>
#include <cstdlib>
#include <optional>

#include "sim/record.h"

namespace sim {

namespace {

enum class Option {
  kLink,
  kPace,
  kOnce,
  kForever,
  kReport,
  kTrace,
  kCallPeriod,
  kTextGap,
  kReplyDelay,
  kEraseMs,
  kBootChecksum,
  kDeviceId,
  kKeybId,
  kIdcode,
  kPromSize,
  kCompVersion,
  kUnitVersion,
  kOptionText,
  kWrongType,
  kNoSpeedCheck,
  kSeed,
  kResendRate,
  kResendAt,
  kBadCaptureRate,
  kFailAt,
  kSilenceAt,
  kHangupAt,
  kChatterAt,
  kNoise,
  kSplit,
  kEscapes,
  kHelp,
  kVersion,
};

struct OptionRow {
  const char* name;
  bool takes_value;
  Option option;
};

constexpr OptionRow kOptions[] = {
    {"--link", true, Option::kLink},
    {"--pace", false, Option::kPace},
    {"--once", false, Option::kOnce},
    {"--forever", false, Option::kForever},
    {"--report", true, Option::kReport},
    {"--trace", false, Option::kTrace},
    {"--call-period", true, Option::kCallPeriod},
    {"--text-gap", true, Option::kTextGap},
    {"--reply-delay", true, Option::kReplyDelay},
    {"--erase-ms", true, Option::kEraseMs},
    {"--boot-checksum", true, Option::kBootChecksum},
    {"--device-id", true, Option::kDeviceId},
    {"--keyb-id", true, Option::kKeybId},
    {"--idcode", true, Option::kIdcode},
    {"--prom-size", true, Option::kPromSize},
    {"--comp-version", true, Option::kCompVersion},
    {"--unit-version", true, Option::kUnitVersion},
    {"--option", true, Option::kOptionText},
    {"--wrong-type", false, Option::kWrongType},
    {"--no-speed-check", false, Option::kNoSpeedCheck},
    {"--seed", true, Option::kSeed},
    {"--resend-rate", true, Option::kResendRate},
    {"--resend-at", true, Option::kResendAt},
    {"--bad-capture-rate", true, Option::kBadCaptureRate},
    {"--fail-at", true, Option::kFailAt},
    {"--silence-at", true, Option::kSilenceAt},
    {"--hangup-at", true, Option::kHangupAt},
    {"--chatter-at", true, Option::kChatterAt},
    {"--noise", true, Option::kNoise},
    {"--split", true, Option::kSplit},
    {"--escapes", true, Option::kEscapes},
    {"--help", false, Option::kHelp},
    {"--version", false, Option::kVersion},
};

constexpr std::uint32_t kMaxMs = 600000;
constexpr std::uint32_t kMaxReplyDelayMs = 1000;

bool ParseUnsigned(const std::string& text, std::uint32_t max, std::uint32_t& value) {
  if (text.empty()) return false;
  std::uint32_t parsed = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (error != std::errc() || end != text.data() + text.size() || parsed > max) return false;
  value = parsed;
  return true;
}

bool ParseRate(const std::string& text, double& rate) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !(parsed >= 0.0 && parsed <= 1.0)) return false;
  rate = parsed;
  return true;
}

bool IsPrintableText(const std::string& text, std::size_t min, std::size_t max) {
  if (text.size() < min || text.size() > max) return false;
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// "C=VALUE" with C a single character.
bool SplitAssignment(const std::string& text, char& key, std::string& value) {
  if (text.size() < 2 || text[1] != '=') return false;
  key = text[0];
  value = text.substr(2);
  return true;
}

bool ParseNumberList(const std::string& text, std::vector<std::uint32_t>& numbers) {
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
    std::uint32_t number = 0;
    if (!ParseUnsigned(item, 0xFFFFFFFF, number) || number == 0) return false;
    numbers.push_back(number);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
  return false;
}

// Applies one option; returns an error text, empty when it is fine.
std::string Apply(Option option, const std::string& value, ProgramOptions& o,
                  ParseOutcome& outcome) {
  FaultPlan& faults = o.unit.faults;
  switch (option) {
    case Option::kLink:
      if (value.empty()) return "needs a path";
      o.link_path = value;
      return {};
    case Option::kPace:
      o.pace = true;
      return {};
    case Option::kOnce:
      o.forever = false;
      return {};
    case Option::kForever:
      o.forever = true;
      return {};
    case Option::kReport:
      if (value.empty()) return "needs a file name";
      o.report_path = value;
      return {};
    case Option::kTrace:
      o.trace = true;
      return {};
    case Option::kCallPeriod:
      if (!ParseUnsigned(value, kMaxMs, o.call_period_ms) || o.call_period_ms == 0) {
        return "needs milliseconds, 1 to 600000";
      }
      return {};
    case Option::kTextGap:
      if (!ParseUnsigned(value, kMaxMs, o.text_gap_ms) || o.text_gap_ms == 0) {
        return "needs milliseconds, 1 to 600000";
      }
      return {};
    case Option::kReplyDelay:
      return ParseUnsigned(value, kMaxReplyDelayMs, o.reply_delay_ms)
                 ? ""
                 : "needs milliseconds, 0 to 1000";
    case Option::kEraseMs:
      return ParseUnsigned(value, kMaxMs, o.unit.erase_ms) ? "" : "needs milliseconds";
    case Option::kBootChecksum:
      if (!IsPrintableText(value, 4, 4)) return "needs 4 characters";
      o.unit.boot_checksum = value;
      return {};
    case Option::kDeviceId:
      if (!IsPrintableText(value, 4, 4)) return "needs 4 characters";
      o.unit.device_id = value;
      return {};
    case Option::kKeybId:
      if (!IsPrintableText(value, 2, 2)) return "needs 2 characters";
      o.unit.keyboard_id = value;
      return {};
    case Option::kIdcode: {
      char device = 0;
      std::string digits;
      std::vector<std::uint8_t> bytes;
      if (!SplitAssignment(value, device, digits) || (device != '4' && device != '5') ||
          digits.size() != 8 || !ParseHexBytes(digits, bytes)) {
        return "needs 4=XXXXXXXX or 5=XXXXXXXX (upper-case hex)";
      }
      std::uint32_t idcode = 0;
      for (std::uint8_t b : bytes)
        idcode = idcode << 8 | b;
      o.unit.prom_idcode[device == '4' ? 0 : 1] = idcode;
      return {};
    }
    case Option::kPromSize: {
      std::uint32_t size = 0;
      if (!ParseUnsigned(value, 65536, size) || size < 256 || (size & (size - 1)) != 0) {
        return "needs a power of two from 256 to 65536";
      }
      o.unit.prom_size = size;
      return {};
    }
    case Option::kCompVersion: {
      char component = 0;
      std::string text;
      if (!SplitAssignment(value, component, text) || component < '0' || component > '5' ||
          !(text.empty() || IsPrintableText(text, 4, 4))) {
        return "needs C=TEXT with C from 0 to 5 and 4 characters (or none)";
      }
      o.unit.versions[static_cast<std::size_t>(component - '0')] = text;
      return {};
    }
    case Option::kUnitVersion:
      if (!IsPrintableText(value, 0, 32)) return "needs up to 32 characters";
      o.unit.unit_version = value;
      return {};
    case Option::kOptionText:
      if (!IsPrintableText(value, 0, 32)) return "needs up to 32 characters";
      o.unit.option_text = value;
      return {};
    case Option::kWrongType:
      o.unit.wrong_type = true;
      return {};
    case Option::kNoSpeedCheck:
      o.unit.speed_check = false;
      return {};
    case Option::kSeed:
      return ParseUnsigned(value, 0xFFFFFFFF, faults.seed) ? "" : "needs a number";
    case Option::kResendRate:
      return ParseRate(value, faults.resend_rate) ? "" : "needs a rate from 0 to 1";
    case Option::kResendAt:
      return ParseNumberList(value, faults.resend_at) ? "" : "needs record numbers, N[,N...]";
    case Option::kBadCaptureRate:
      return ParseRate(value, faults.bad_capture_rate) ? "" : "needs a rate from 0 to 1";
    case Option::kFailAt:
      return ParseFaultPoints(value, faults.fail_at) ? "" : "needs points, POINT[,POINT...]";
    case Option::kSilenceAt:
      return ParseFaultPoints(value, faults.silence_at) ? "" : "needs points, POINT[,POINT...]";
    case Option::kHangupAt:
      return ParseFaultPoints(value, faults.hangup_at) ? "" : "needs points, POINT[,POINT...]";
    case Option::kChatterAt:
      return ParseFaultPoints(value, faults.chatter_at) ? "" : "needs points, POINT[,POINT...]";
    case Option::kNoise:
      return ParseUnsigned(value, 100000, faults.noise) ? "" : "needs a count up to 100000";
    case Option::kSplit:
      return ParseUnsigned(value, kMaxMs, faults.split_ms) ? "" : "needs milliseconds";
    case Option::kEscapes:
      if (value == "off") {
        faults.escapes = EscapeMode::kOff;
      } else if (value == "all") {
        faults.escapes = EscapeMode::kAll;
      } else if (value == "random") {
        faults.escapes = EscapeMode::kRandom;
      } else {
        return "needs off, all or random";
      }
      return {};
    case Option::kHelp:
      outcome = ParseOutcome::kHelp;
      return {};
    case Option::kVersion:
      outcome = ParseOutcome::kVersion;
      return {};
  }
  return "unknown option";
}

}  // namespace

ParseOutcome ParseCommandLine(const std::vector<std::string>& args, ProgramOptions& options,
                              std::string& error) {
  ParseOutcome outcome = ParseOutcome::kRun;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    if (const std::size_t equals = name.find('='); name.starts_with("--") && equals != name.npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
    }
    const OptionRow* row = nullptr;
    for (const OptionRow& candidate : kOptions) {
      if (name == candidate.name) row = &candidate;
    }
    if (row == nullptr) {
      error = "unknown argument: " + args[i];
      return ParseOutcome::kError;
    }
    if (row->takes_value && !value) {
      if (i + 1 >= args.size()) {
        error = name + " needs a value";
        return ParseOutcome::kError;
      }
      value = args[++i];
    } else if (!row->takes_value && value) {
      error = name + " takes no value";
      return ParseOutcome::kError;
    }
    const std::string problem = Apply(row->option, value.value_or(""), options, outcome);
    if (!problem.empty()) {
      error = name + ": " + problem;
      return ParseOutcome::kError;
    }
  }
  return outcome;
}

std::string UsageText() {
  return R"(Usage: qsr470-unitsim [OPTIONS]
A virtual Corvane QSR470 unit in its boot monitor, on a pseudo-terminal.
Prints the terminal's path on the first line of standard output.

Terminal and run:
  --link PATH             make PATH a symbolic link to the terminal
  --pace                  take the wire time of every byte at the speed set
                          on the terminal (10 bits per byte)
  --once                  serve one run: stop when the updater closes (default)
  --forever               serve runs until killed; each new open restarts the
                          unit's dialogue, its memories are kept
  --report FILE           write what the unit holds as JSON at exit
  --trace                 print the dialogue on standard error
  --call-period MS        time between call signs "%" (default 100)
  --text-gap MS           quiet time that ends a version text (default 50)
  --no-speed-check        accept bytes at any line speed
  --reply-delay MS        hold each reply back MS milliseconds, as a USB
                          serial adapter's latency timer does (default 0)
The unit:
  --boot-checksum XXXX    what "17" reports (default: boot area sum + 6000)
  --device-id XXXX        device identification (default A470)
  --wrong-type            answer "17" with "X"
  --keyb-id XX            keyboard identification for "D0".."D3" (default 3C)
  --idcode D=XXXXXXXX     IDCODE of PROM D (4 or 5)
  --prom-size BYTES       size of each PROM array (default 1024)
  --comp-version C=TEXT   version text of component C (0-5) (default 0100;
                          empty: "T" answers "X")
  --unit-version TEXT     stored "UV" text
  --option TEXT           stored "OP" text
  --erase-ms MS           time an erase takes before its "."
Faults (reproducible with --seed N, default 1):
  --resend-rate P         answer "R" to records and data blocks with chance P
  --resend-at N[,N...]    answer "R" to these record numbers (from 1)
  --bad-capture-rate P    send captured data with a wrong sum with chance P
  --fail-at POINTS        answer "X" (or "I" where a command has no "X")
  --silence-at POINTS     stop answering from that point
  --hangup-at POINTS      close the terminal at that point
  --chatter-at POINTS     from that point answer nothing, but send call signs
                          and noise at the call period
  --noise N               N random bytes before the first call sign
  --split MS              cut replies into pieces sent MS apart
  --escapes off|all|random  escape forms for 00 and 1B in captured data
POINTS: comma-separated; cmd:N (the Nth command), rec:N (the Nth record
line), or a command such as P1 or 17, with #K for its Kth occurrence (P1#2).
  --help, --version
)";
}

}  // namespace sim
