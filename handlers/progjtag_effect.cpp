#include "handlers/progjtag_effect.h"

#include <algorithm>
#include <cstddef>

#include "hex/hex.h"

namespace {

// A record's data field holds at most 255 bytes: its count is one byte.
constexpr std::size_t kMaxRecordBytes = 255;
// A long SDR announces its data block's length in one byte.
constexpr std::size_t kMaxDataBlock = 255;
constexpr std::int64_t kMaxBitLength = 512;
constexpr std::int64_t kMaxTckCount = 2147483647;

enum class Statement { kComment, kTrst, kEndIr, kEndDr, kState, kRunTest, kSir, kSdr };

// Tested in this order; the first beginning that matches decides.
struct StatementKeyword {
  std::string_view text;
  Statement statement;
};
constexpr StatementKeyword kStatements[] = {
    {"//", Statement::kComment},  {"TRST", Statement::kTrst},   {"ENDIR", Statement::kEndIr},
    {"ENDDR", Statement::kEndDr}, {"STATE", Statement::kState}, {"RUNTEST", Statement::kRunTest},
    {"SIR", Statement::kSir},     {"SDR", Statement::kSdr},
};

struct StateName {
  std::string_view name;
  std::uint8_t code;
};
// No name is the beginning of another, so the order does not matter.
constexpr StateName kStateNames[] = {
    {"RESET", 0x00},    {"IDLE", 0x01},     {"DRSELECT", 0x02},  {"DRCAPTURE", 0x03},
    {"DRSHIFT", 0x04},  {"DREXIT1", 0x05},  {"DRPAUSE", 0x06},   {"DREXIT2", 0x07},
    {"DRUPDATE", 0x08}, {"IRSELECT", 0x09}, {"IRCAPTURE", 0x0A}, {"IRSHIFT", 0x0B},
    {"IREXIT1", 0x0C},  {"IRPAUSE", 0x0D},  {"IREXIT2", 0x0E},   {"IRUPDATE", 0x0F},
};

// ENDIR and ENDDR differ only in these values; one routine serves both so the
// two cannot drift apart.
struct EndStateRule {
  std::uint8_t record_type;
  std::string_view pause_name;
  std::uint8_t pause_code;
};
constexpr EndStateRule kEndIrRule{kEffectEndIr, "IRPAUSE", 0x0D};
constexpr EndStateRule kEndDrRule{kEffectEndDr, "DRPAUSE", 0x06};
constexpr std::uint8_t kResetCode = 0x00;
constexpr std::uint8_t kIdleCode = 0x01;

// The S and E bits of a shift, chosen by the character after SIR or SDR.
std::uint8_t VariantBits(char c) {
  switch (c) {
    case 'C':
      return 0x00;
    case 'S':
      return 0x20;
    case 'E':
      return 0x40;
    default:
      return 0x60;
  }
}

struct VectorKeyword {
  std::string_view text;
  std::string TEffectFields::*field;
};
// SMASK after MASK: it does not begin with MASK, so the order is safe.
constexpr VectorKeyword kVectors[] = {
    {"TDI", &TEffectFields::TdiText},
    {"TDO", &TEffectFields::TdoText},
    {"MASK", &TEffectFields::MaskText},
    {"SMASK", &TEffectFields::SmaskText},
};

// The unread rest of a line. Every removal is bounded by what is left.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : rest_(text) {}

  bool Empty() const { return rest_.empty(); }
  bool StartsWith(std::string_view word) const { return rest_.substr(0, word.size()) == word; }
  void Drop(std::size_t n) { rest_.remove_prefix(std::min(n, rest_.size())); }

  // Blanks here are every character with a code of 32 or less, tabs and
  // control characters included.
  void SkipBlanks() {
    while (!rest_.empty() && static_cast<unsigned char>(rest_.front()) <= 32)
      rest_.remove_prefix(1);
  }

  // Removes one character, whatever it is; 0 when none is left.
  char TakeChar() {
    if (rest_.empty()) return 0;
    const char c = rest_.front();
    rest_.remove_prefix(1);
    return c;
  }

  bool Take(std::string_view word) {
    if (!StartsWith(word)) return false;
    rest_.remove_prefix(word.size());
    return true;
  }

  // The text before the first `end`, removed; the end character stays. With
  // no end character the whole rest is taken.
  std::string_view TakeUntil(char end) {
    const std::size_t at = std::min(rest_.find(end), rest_.size());
    const std::string_view taken = rest_.substr(0, at);
    rest_.remove_prefix(at);
    return taken;
  }

  // A count runs to the first space (a tab does not end it); with no space
  // after it there is no count at all.
  std::string_view TakeCount() {
    const std::size_t at = rest_.find(' ');
    if (at == std::string_view::npos) return {};
    const std::string_view taken = rest_.substr(0, at);
    rest_.remove_prefix(at);
    return taken;
  }

 private:
  std::string_view rest_;
};

// Decimal digits with an optional sign, from 0 to max. Negative values are
// refused: they fit neither the 4-byte count nor the 16-bit length field.
bool ReadNumber(std::string_view text, std::int64_t max, std::int64_t& value) {
  std::size_t at = 0;
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    at = 1;
  }
  if (at == text.size()) return false;
  value = 0;
  for (; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9') return false;
    value = value * 10 + (text[at] - '0');
    if (value > max) return false;
  }
  if (negative) value = -value;
  return value >= 0;
}

std::string Malformed() {
  return std::string(kEffectLineError);
}

std::string ParseEndState(Cursor& text, const EndStateRule& rule) {
  text.SkipBlanks();
  std::uint8_t code = kIdleCode;
  if (text.Take(rule.pause_name)) {
    code = rule.pause_code;
  } else if (text.Take("RESET")) {
    code = kResetCode;
  } else {
    text.Drop(4);  // any four characters stand for IDLE
  }
  text.SkipBlanks();
  if (!text.StartsWith(";")) return Malformed();
  return MakeHexRecord(rule.record_type, 0, ByteToHex(code));
}

std::string ParseStatePath(Cursor& text) {
  text.SkipBlanks();
  std::string codes;
  while (!text.Empty()) {
    const auto* const match =
        std::find_if(std::begin(kStateNames), std::end(kStateNames),
                     [&](const StateName& s) { return text.StartsWith(s.name); });
    if (match != std::end(kStateNames)) {
      text.Drop(match->name.size());
      codes += ByteToHex(match->code);
      // A longer path would not fit the record's one-byte count.
      if (codes.size() / 2 > kMaxRecordBytes) return Malformed();
      text.SkipBlanks();
    } else if (text.StartsWith(";")) {
      return MakeHexRecord(kEffectState, 0, codes);
    } else {
      return Malformed();
    }
  }
  return {};  // no ";": the line yields nothing
}

std::string ParseRunTest(Cursor& text) {
  text.SkipBlanks();
  std::int64_t count = 0;
  if (!ReadNumber(text.TakeCount(), kMaxTckCount, count)) return Malformed();
  text.SkipBlanks();
  if (!text.Take("TCK")) return Malformed();
  text.SkipBlanks();
  if (!text.StartsWith(";")) return Malformed();
  return MakeHexRecord(kEffectRunTest, 0, LongToHex(static_cast<std::uint32_t>(count)));
}

// Upper-cases a vector in place; false unless it is whole bytes of hex digits.
// Anything else has no byte form the unit could be sent.
bool NormaliseVector(std::string& vector) {
  if (vector.size() % 2 != 0) return false;
  for (char& c : vector) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    const bool digit = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    if (!digit) return false;
  }
  return true;
}

std::string CompleteShift(Statement statement, TEffectFields& f) {
  for (const VectorKeyword& v : kVectors) {
    std::string& vector = f.*(v.field);
    if (!NormaliseVector(vector)) return Malformed();
    vector = ReverseHexBytes(vector);
  }
  if (!f.SmaskText.empty()) AndHexMask(f.SmaskText, f.TdiText);
  if (!f.TdoText.empty()) f.ShiftType |= kShiftCapture;

  if (statement == Statement::kSir) {
    if (f.TdiText.size() / 2 > kMaxRecordBytes) return Malformed();
    return MakeHexRecord(f.ShiftType, static_cast<std::uint16_t>(f.BitLength), f.TdiText);
  }
  // An SDR without TDI bits has nothing to shift in.
  if (f.TdiText.empty()) return Malformed();
  char c = 0;
  if (IsUniformHex(f.TdiText, c)) {
    f.ShiftType |= kShiftCompressed;
    return MakeHexRecord(f.ShiftType, static_cast<std::uint16_t>(f.BitLength), std::string(2, c));
  }
  AppendHexSum(f.TdiText);
  if (f.TdiText.size() > kMaxDataBlock) return Malformed();
  f.DataPending = true;
  return MakeHexRecord(f.ShiftType, static_cast<std::uint16_t>(f.BitLength),
                       ByteToHex(static_cast<std::uint8_t>(f.TdiText.size())));
}

std::string ParseShift(Cursor& text, Statement statement, TEffectFields& f) {
  const std::uint8_t reg = statement == Statement::kSir ? kShiftSir : kShiftSdr;
  f.ShiftType = static_cast<std::uint8_t>(reg | VariantBits(text.TakeChar()));
  text.SkipBlanks();
  std::int64_t length = 0;
  if (!ReadNumber(text.TakeCount(), kMaxBitLength, length)) return Malformed();
  f.BitLength = static_cast<std::int32_t>(length);
  text.SkipBlanks();
  while (!text.Empty()) {
    const auto* const vector =
        std::find_if(std::begin(kVectors), std::end(kVectors),
                     [&](const VectorKeyword& v) { return text.StartsWith(v.text); });
    if (vector != std::end(kVectors)) {
      text.Drop(vector->text.size());
      text.SkipBlanks();
      text.TakeChar();  // meant to be "("
      f.*(vector->field) = std::string(text.TakeUntil(')'));
      text.Drop(1);
    } else if (text.StartsWith(";")) {
      return CompleteShift(statement, f);
    } else {
      return Malformed();
    }
    text.SkipBlanks();
  }
  return {};  // no ";": the line yields nothing
}

}  // namespace

bool LooksLikeFullSvf(std::string_view line) {
  // Statement keywords, and the words that begin the continuation of a
  // statement wrapped after one of its parameters.
  static constexpr std::string_view kSvfWords[] = {
      "ENDDR", "ENDIR", "FREQUENCY", "HDR",     "HIR", "PIO",  "PIOMAP", "RUNTEST",
      "SDR",   "SIR",   "STATE",     "TDR",     "TIR", "TRST", "TDI",    "TDO",
      "MASK",  "SMASK", "ENDSTATE",  "MAXIMUM", "TCK", "SCK",  "SEC",    "HZ",
  };
  Cursor text(line);
  text.SkipBlanks();
  if (text.Empty() || text.StartsWith("!")) return true;
  const std::string_view rest = text.TakeUntil(';');
  if (rest.empty()) return false;
  const std::size_t end = std::min(rest.find_first_of(" \t("), rest.size());
  std::string word(rest.substr(0, end));
  for (char& c : word) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (std::find(std::begin(kSvfWords), std::end(kSvfWords), word) != std::end(kSvfWords))
    return true;
  // Scan data wrapped onto this line: hex digits up to the closing ")".
  if (rest.front() == ')') return true;
  const std::string_view data = rest.substr(0, std::min(rest.find(')'), rest.size()));
  return !data.empty() &&
         data.find_first_not_of("0123456789ABCDEFabcdef \t") == std::string_view::npos;
}

std::string_view EffectStateName(std::uint8_t code) {
  for (const StateName& s : kStateNames) {
    if (s.code == code) return s.name;
  }
  return {};
}

std::string ReverseHexBytes(std::string_view text) {
  std::string reversed;
  reversed.reserve(text.size());
  for (std::size_t end = text.size(); end > 0;) {
    const std::size_t start = end % 2 == 0 ? end - 2 : end - 1;
    reversed.append(text.substr(start, end - start));
    end = start;
  }
  return reversed;
}

void AndHexMask(std::string_view mask, std::string& value) {
  if (mask.size() != value.size()) return;
  for (std::size_t i = 0; i < value.size(); ++i)
    value[i] = HexDigit(HexValue(mask[i]) & HexValue(value[i]));
}

bool IsUniformHex(std::string_view text, char& first) {
  if (text.size() < 2) return false;
  if (text.find_first_not_of(text[0]) != std::string_view::npos) return false;
  first = text[0];
  return true;
}

void AppendHexSum(std::string& text) {
  unsigned sum = 0;
  for (std::size_t at = 0; at + 1 < text.size(); at += 2)
    sum += static_cast<unsigned>(HexValue(text[at]) * 16 + HexValue(text[at + 1]));
  text += ByteToHex(static_cast<std::uint8_t>(sum % 256));
}

std::string ParseEffectLine(std::string_view line, TEffectFields& fields) {
  fields = TEffectFields{};
  Cursor text(line);
  text.SkipBlanks();
  const auto* const keyword =
      std::find_if(std::begin(kStatements), std::end(kStatements),
                   [&](const StatementKeyword& k) { return text.StartsWith(k.text); });
  if (keyword == std::end(kStatements)) return Malformed();
  text.Drop(keyword->text.size());
  switch (keyword->statement) {
    case Statement::kComment:
    case Statement::kTrst:  // whatever follows
      return {};
    case Statement::kEndIr:
      return ParseEndState(text, kEndIrRule);
    case Statement::kEndDr:
      return ParseEndState(text, kEndDrRule);
    case Statement::kState:
      return ParseStatePath(text);
    case Statement::kRunTest:
      return ParseRunTest(text);
    case Statement::kSir:
      return ParseShift(text, Statement::kSir, fields);
    case Statement::kSdr:
      return ParseShift(text, Statement::kSdr, fields);
  }
  return Malformed();
}
