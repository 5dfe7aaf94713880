#include "handlers/effect_check.h"

#include <algorithm>
#include <optional>

#include "handlers/progjtag_effect.h"
#include "hex/hex.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// TAP state codes as the records carry them.
constexpr std::uint8_t kReset = 0x00;
constexpr std::uint8_t kIdle = 0x01;
constexpr std::uint8_t kDrShift = 0x04;
constexpr std::uint8_t kDrPause = 0x06;
constexpr std::uint8_t kIrShift = 0x0B;
constexpr std::uint8_t kIrPause = 0x0D;

// The state after one TCK, indexed by code, for TMS 0 and TMS 1.
constexpr std::uint8_t kNext[16][2] = {
    {0x01, 0x00}, {0x01, 0x02}, {0x03, 0x09}, {0x04, 0x05}, {0x04, 0x05}, {0x06, 0x08},
    {0x06, 0x07}, {0x04, 0x08}, {0x01, 0x02}, {0x0A, 0x00}, {0x0B, 0x0C}, {0x0B, 0x0C},
    {0x0D, 0x0F}, {0x0D, 0x0E}, {0x0B, 0x0F}, {0x01, 0x02},
};

bool IsResting(std::uint8_t state) {
  return state == kReset || state == kIdle || state == kDrPause || state == kIrPause;
}

std::string Name(std::uint8_t state) {
  return std::string(EffectStateName(state));
}

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

std::string_view SkipBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front()))
    text.remove_prefix(1);
  return text;
}

std::string_view Word(std::string_view text) {
  std::size_t n = 0;
  while (n < text.size() &&
         ((text[n] >= 'A' && text[n] <= 'Z') || (text[n] >= 'a' && text[n] <= 'z')))
    ++n;
  return text.substr(0, n);
}

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

// Statements of full SVF that the subset lacks, and those it shares.
constexpr std::string_view kSvfOnly[] = {"FREQUENCY", "HIR",      "HDR", "TIR",
                                         "TDR",       "ENDSTATE", "PIO", "PIOMAP"};
constexpr std::string_view kShared[] = {"SIR", "SDR", "STATE", "RUNTEST", "ENDIR", "ENDDR", "TRST"};

bool In(std::string_view word, const auto& list) {
  return std::find(std::begin(list), std::end(list), word) != std::end(list);
}

// The vectors of a shift statement, as digit counts; nullopt when absent.
struct Vectors {
  std::optional<std::size_t> tdi, tdo, mask, smask;
};

// Reads the elements between a shift's length and its ";". The interpreter
// has accepted the line, so the elements are keyword and vector pairs; what
// it lets pass without a look (the character meant to be "(") is held to
// the form here.
std::string ReadVectors(std::string_view text, Vectors& v) {
  struct Key {
    std::string_view text;
    std::optional<std::size_t> Vectors::*field;
  };
  static constexpr Key kKeys[] = {{"TDI", &Vectors::tdi},
                                  {"TDO", &Vectors::tdo},
                                  {"MASK", &Vectors::mask},
                                  {"SMASK", &Vectors::smask}};
  for (text = SkipBlanks(text); !text.empty() && text.front() != ';'; text = SkipBlanks(text)) {
    const auto* key = std::find_if(std::begin(kKeys), std::end(kKeys),
                                   [&](const Key& k) { return text.starts_with(k.text); });
    if (key == std::end(kKeys)) return "unexpected text in the shift";
    text = SkipBlanks(text.substr(key->text.size()));
    if (text.empty() || text.front() != '(')
      return std::string(key->text) + " is not followed by '('";
    const std::size_t close = text.find(')');
    if (close == std::string_view::npos) return std::string(key->text) + " has no ')'";
    v.*(key->field) = close - 1;
    text.remove_prefix(close + 1);
  }
  return {};
}

std::string Digits(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " digit" : " digits");
}

// The unit shifts exactly the length, from exactly the bytes it needs.
std::string CheckVectorLengths(const Vectors& v, std::int64_t bits) {
  const std::size_t need = 2 * static_cast<std::size_t>((bits + 7) / 8);
  if (v.tdi && *v.tdi != need)
    return "TDI has " + Digits(*v.tdi) + ", " + std::to_string(bits) + " bits need " +
           std::to_string(need);
  const std::size_t tdi = v.tdi.value_or(need);
  const std::pair<const char*, std::optional<std::size_t>> others[] = {
      {"TDO", v.tdo}, {"MASK", v.mask}, {"SMASK", v.smask}};
  for (const auto& [name, digits] : others) {
    if (digits && *digits != tdi)
      return std::string(name) + " has " + Digits(*digits) + ", TDI " + std::to_string(tdi);
  }
  return {};
}

// What the statement text says beyond what the interpreter reads: its ";",
// nothing after it but a comment, the shift's variant and vector lengths.
// `rest` is the line after the keyword.
std::string CheckStatementText(std::string_view keyword, std::string_view rest,
                               std::optional<LineFinding>& warning) {
  const std::size_t semicolon = rest.find(';');
  if (semicolon == std::string_view::npos) return "statement has no ';'";
  const std::string_view tail = SkipBlanks(rest.substr(semicolon + 1));
  if (!tail.empty() && !tail.starts_with("//"))
    return "text after the ';': " + std::string(tail.substr(0, 20)) +
           (tail.size() > 20 ? "..." : "");
  const std::string_view body = rest.substr(0, semicolon);
  if (keyword == "SIR" || keyword == "SDR") {
    if (body.empty() || (!IsBlank(body[0]) && body[0] != 'C' && body[0] != 'S' && body[0] != 'E'))
      return std::string(keyword) + " is followed by " +
             DescribeChar(body.empty() ? ';' : body[0]) + ", not C, S, E or a blank";
    std::string_view text = SkipBlanks(body.substr(1));
    const std::size_t space = std::min(text.find(' '), text.size());
    std::int64_t bits = 0;
    for (char c : text.substr(0, space)) {
      if (c >= '0' && c <= '9') bits = bits * 10 + (c - '0');
    }
    Vectors v;
    if (std::string reason = ReadVectors(text.substr(space), v); !reason.empty()) return reason;
    return CheckVectorLengths(v, bits);
  }
  if (keyword == "ENDIR" || keyword == "ENDDR") {
    const std::string_view name = SkipBlanks(body);
    const std::string pause = Name(keyword == "ENDIR" ? kIrPause : kDrPause);
    if (!name.starts_with(pause) && !name.starts_with("RESET") && !name.starts_with("IDLE"))
      warning = LineFinding{0, true,
                            std::string(keyword) + " " + std::string(name.substr(0, 4)) +
                                ": the unit takes any state but " + pause + " and RESET as IDLE"};
  }
  return {};
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

std::string Quoted(std::string_view text) {
  return "'" + std::string(text.substr(0, 20)) + (text.size() > 20 ? "...'" : "'");
}

// A whole number of at most `max`, or a reason in words that names `what`.
std::string CheckCount(std::string_view token, std::uint64_t max, const std::string& what) {
  if (token.empty() ||
      !std::all_of(token.begin(), token.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return what + " " + Quoted(token) + " is not a whole number";
  std::uint64_t value = 0;
  for (char c : token) {
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > max) return what + " " + Quoted(token) + " is more than " + std::to_string(max);
  }
  return {};
}

std::string_view NextToken(std::string_view& text) {
  text = SkipBlanks(text);
  std::size_t n = 0;
  while (n < text.size() && !IsBlank(text[n]) && text[n] != ';' && text[n] != '(')
    ++n;
  const std::string_view token = text.substr(0, n);
  text.remove_prefix(n);
  return token;
}

// What in a shift or wait the interpreter cannot read; empty when it is
// none of the things looked at here.
std::string ShiftOrWaitDetail(std::string_view keyword, std::string_view rest) {
  if (keyword == "RUNTEST") {
    if (std::string reason = CheckCount(NextToken(rest), 2147483647, "the count"); !reason.empty())
      return reason;
    if (NextToken(rest) != "TCK") return "the count is not followed by TCK";
    return {};
  }
  if (!rest.empty() && (rest[0] == 'C' || rest[0] == 'S' || rest[0] == 'E')) rest.remove_prefix(1);
  if (std::string reason = CheckCount(NextToken(rest), 512, "the length"); !reason.empty())
    return reason;
  bool tdi = false;
  for (;;) {
    const std::string_view key = NextToken(rest);
    if (key.empty()) return keyword == "SDR" && !tdi ? "an SDR needs TDI" : "";
    tdi = tdi || key == "TDI";
    if (key != "TDI" && key != "TDO" && key != "MASK" && key != "SMASK")
      return Quoted(key) + " is not TDI, TDO, MASK or SMASK";
    rest = SkipBlanks(rest);
    if (rest.empty() || rest[0] != '(') return std::string(key) + " is not followed by '('";
    const std::size_t close = rest.find(')');
    if (close == std::string_view::npos) return std::string(key) + " has no ')'";
    const std::string_view digits = rest.substr(1, close - 1);
    const auto bad =
        std::find_if(digits.begin(), digits.end(), [](char c) { return !IsHexDigit(c); });
    if (bad != digits.end())
      return std::string(key) + " holds " + DescribeChar(*bad) + ", not a hex digit";
    if (digits.size() % 2 != 0)
      return std::string(key) + " has " + Digits(digits.size()) + ", not whole bytes";
    rest.remove_prefix(close + 1);
  }
}

// Why the interpreter refuses the line, in words, where one can say more
// than "malformed".
std::string MalformedReason(std::string_view line) {
  const std::string_view text = SkipBlanks(line);
  if (text.empty()) return "blank line (an Effect file has none)";
  if (std::string sign = FullSvfSign(line); !sign.empty())
    return "full SVF, outside the Effect subset (" + sign + ")";
  if ((text.starts_with("SIR") || text.starts_with("SDR")) && text.size() > 3 &&
      !IsBlank(text[3]) && text[3] != 'C' && text[3] != 'S' && text[3] != 'E')
    return std::string(text.substr(0, 3)) + " is followed by " + DescribeChar(text[3]) +
           ", not C, S, E or a blank";
  const std::string_view word = Word(text);
  if (!In(word, kShared) && word != "SIRC" && word != "SIRS" && word != "SIRE" && word != "SDRC" &&
      word != "SDRS" && word != "SDRE")
    return "not a statement of the Effect subset";
  if (word == "RUNTEST" || word.starts_with("SIR") || word.starts_with("SDR")) {
    const std::string_view keyword = word.substr(0, word == "RUNTEST" ? 7 : 3);
    if (std::string detail = ShiftOrWaitDetail(keyword, text.substr(keyword.size()));
        !detail.empty())
      return std::string(word) + ": " + detail;
  }
  if (word == "ENDIR" || word == "ENDDR")
    return std::string(word) + " takes IDLE, RESET or " +
           (word == "ENDIR" ? "IRPAUSE" : "DRPAUSE") + ", then ';'";
  return "malformed " + std::string(word.substr(0, std::min<std::size_t>(word.size(), 7))) +
         " statement";
}

}  // namespace

std::string FullSvfSign(std::string_view line) {
  const std::string_view text = SkipBlanks(line);
  if (text.starts_with("!")) return "a '!' comment";
  const std::string_view word = Word(text);
  if (word.empty()) return {};
  const std::string upper = Upper(word);
  if (!In(upper, kSvfOnly) && !In(upper, kShared)) return {};
  if (word != upper) return "lower-case " + std::string(word);
  if (In(upper, kSvfOnly)) return upper;
  if (text.find(';') == std::string_view::npos) return "a statement continued on the next line";
  return {};
}

std::string TEffectFileCheck::Line(std::string_view line, std::int32_t number,
                                   std::vector<LineFinding>& findings, TEffectFields& fields) {
  auto problem = [&](std::string reason) {
    findings.push_back({number, false, std::move(reason)});
  };
  if (line.size() > kMaxEffectLineLength) {
    problem("line is longer than an Effect line can be (" + std::to_string(kMaxEffectLineLength) +
            " characters)");
    return {};
  }
  if (number == 1 && line.starts_with(kByteOrderMark)) {
    problem("the file begins with a UTF-8 byte order mark");
    return {};
  }
  if (const std::size_t nul = line.find('\0'); nul != std::string_view::npos) {
    problem("a NUL byte at character " + std::to_string(nul + 1));
    return {};
  }
  std::string record = ParseEffectLine(line, fields);
  if (record == kEffectLineError) {
    problem(MalformedReason(line));
    return {};
  }
  const std::string_view text = SkipBlanks(line);
  if (text.starts_with("//")) return record;
  // The keyword as the interpreter matched it: its first letters.
  static constexpr std::string_view kKeywords[] = {"TRST",    "ENDIR", "ENDDR", "STATE",
                                                   "RUNTEST", "SIR",   "SDR"};
  const auto* keyword = std::find_if(std::begin(kKeywords), std::end(kKeywords),
                                     [&](std::string_view k) { return text.starts_with(k); });
  if (keyword == std::end(kKeywords)) return record;  // the interpreter refuses these
  std::optional<LineFinding> warning;
  if (std::string reason = CheckStatementText(*keyword, text.substr(keyword->size()), warning);
      !reason.empty()) {
    problem(std::move(reason));
    return {};
  }
  if (warning) {
    warning->line = number;
    findings.push_back(*warning);
  }
  if (record.empty()) return record;
  std::string shown(*keyword);
  if (shown.size() == 3 && text.size() > 3 && !IsBlank(text[3])) shown += text[3];  // SDRS
  if (std::string reason = Walk(record, shown); !reason.empty()) problem(std::move(reason));
  return record;
}

std::string TEffectFileCheck::End() const {
  if (IsResting(state_)) return {};
  return "the file ends with the TAP in " + Name(state_) +
         ", where it cannot rest: a shift is left open";
}

std::string TEffectFileCheck::Walk(std::string_view line, std::string_view keyword) {
  HexRecord record;
  if (!ParseHexRecord(line, record)) return "the statement makes no record";
  const std::uint8_t type = record.type;
  if (type == kEffectRunTest) {
    if (!IsResting(state_)) return "RUNTEST from " + Name(state_) + ", where the TAP cannot rest";
    state_ = kIdle;
    return {};
  }
  if (type == kEffectState) {
    for (std::uint8_t to : record.data) {
      const bool oneTck = kNext[state_][0] == to || kNext[state_][1] == to;
      if (!oneTck && !(IsResting(state_) && IsResting(to)) && to != kReset)
        return "STATE cannot go from " + Name(state_) + " to " + Name(to) +
               ": neither one TCK away nor between resting states";
      state_ = to;
    }
    return {};
  }
  if (type == kEffectEndIr || type == kEffectEndDr) {
    (type == kEffectEndIr ? endIr_ : endDr_) = record.data.empty() ? kIdle : record.data[0];
    return {};
  }
  const bool ir = (type & 0x0F) == kShiftSir;
  const std::uint8_t shift = ir ? kIrShift : kDrShift;
  const std::string name(keyword);
  if ((type & 0x20) != 0) {
    if (!IsResting(state_)) return name + " from " + Name(state_) + ", where the TAP cannot rest";
  } else if (state_ != shift) {
    return name + " continues a shift, but none is open (the TAP is in " + Name(state_) + ")";
  }
  if (ir) {
    if (record.data.empty() && record.address != lastSirLength_)
      return "SIR without TDI, and no earlier SIR of " + std::to_string(record.address) +
             " bits to repeat";
    lastSirLength_ = record.address;
  }
  state_ = (type & 0x40) != 0 ? (ir ? endIr_ : endDr_) : shift;
  return {};
}
