#include "tools/svf2effect/svf2effect.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include "handlers/effect_check.h"
#include "handlers/progjtag_effect.h"

namespace svf2effect {

namespace {

// What one Effect record can carry.
constexpr std::uint64_t kMaxShiftBits = 512;
constexpr std::size_t kMaxStateCodes = 255;
constexpr std::uint64_t kMaxRunTestCount = 2147483647;
// Clocks in Run-Test/Idle that one statement may ask for: a few RUNTEST
// records, enough for any wait a PROM needs.
constexpr std::uint64_t kMaxIdleClocks = kMaxRunTestCount * 8;

// ---------------------------------------------------------------------------
// The TAP, with the names SVF and the Effect form share.

enum class Tap : std::uint8_t {
  kReset,
  kIdle,
  kDrSelect,
  kDrCapture,
  kDrShift,
  kDrExit1,
  kDrPause,
  kDrExit2,
  kDrUpdate,
  kIrSelect,
  kIrCapture,
  kIrShift,
  kIrExit1,
  kIrPause,
  kIrExit2,
  kIrUpdate,
};

struct TapInfo {
  std::string_view name;
  Tap on_tms0;
  Tap on_tms1;
};

// Indexed by Tap.
constexpr std::array<TapInfo, 16> kTap = {{
    {"RESET", Tap::kIdle, Tap::kReset},
    {"IDLE", Tap::kIdle, Tap::kDrSelect},
    {"DRSELECT", Tap::kDrCapture, Tap::kIrSelect},
    {"DRCAPTURE", Tap::kDrShift, Tap::kDrExit1},
    {"DRSHIFT", Tap::kDrShift, Tap::kDrExit1},
    {"DREXIT1", Tap::kDrPause, Tap::kDrUpdate},
    {"DRPAUSE", Tap::kDrPause, Tap::kDrExit2},
    {"DREXIT2", Tap::kDrShift, Tap::kDrUpdate},
    {"DRUPDATE", Tap::kIdle, Tap::kDrSelect},
    {"IRSELECT", Tap::kIrCapture, Tap::kReset},
    {"IRCAPTURE", Tap::kIrShift, Tap::kIrExit1},
    {"IRSHIFT", Tap::kIrShift, Tap::kIrExit1},
    {"IREXIT1", Tap::kIrPause, Tap::kIrUpdate},
    {"IRPAUSE", Tap::kIrPause, Tap::kIrExit2},
    {"IREXIT2", Tap::kIrShift, Tap::kIrUpdate},
    {"IRUPDATE", Tap::kIdle, Tap::kDrSelect},
}};

const TapInfo& Info(Tap state) {
  return kTap[static_cast<std::size_t>(state)];
}

std::string Name(Tap state) {
  return std::string(Info(state).name);
}

std::optional<Tap> TapFromName(std::string_view word) {
  for (std::size_t i = 0; i < kTap.size(); ++i) {
    if (kTap[i].name == word) return static_cast<Tap>(i);
  }
  return std::nullopt;
}

bool IsStable(Tap state) {
  return state == Tap::kReset || state == Tap::kIdle || state == Tap::kDrPause ||
         state == Tap::kIrPause;
}

bool IsNext(Tap from, Tap to) {
  return Info(from).on_tms0 == to || Info(from).on_tms1 == to;
}

// ---------------------------------------------------------------------------
// Text: statements end at ";", comments run from "!" or "//" to the line end,
// and scan data sits between parentheses, possibly across lines.

struct Token {
  bool vector = false;
  std::string text;  // a word in upper case, or the digits of a vector
};

struct Statement {
  int line = 0;  // where its first token is
  std::vector<Token> tokens;
  std::string error;
};

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  // The next statement; false at the end of the text.
  bool Next(Statement& statement) {
    statement = Statement{};
    bool started = false;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (SkipSpaceOrComment()) continue;
      if (!started) {
        statement.line = line_;
        started = true;
      }
      if (c == ';') {
        ++pos_;
        return true;
      }
      if (c == '(') {
        ReadVector(statement);
      } else if (c == ')') {
        Fail(statement, "a ')' without its '('");
        ++pos_;
      } else {
        ReadWord(statement);
      }
    }
    if (started) Fail(statement, "the statement has no ';' before the end of the file");
    return started;
  }

 private:
  bool CommentStarts() const {
    return text_[pos_] == '!' ||
           (text_[pos_] == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/');
  }

  // Line ends, blanks and comments; false when none is at the cursor.
  bool SkipSpaceOrComment() {
    const char c = text_[pos_];
    if (c == '\n' || c == '\r') {
      ++line_;
      ++pos_;
      if (c == '\r' && pos_ < text_.size() && text_[pos_] == '\n') ++pos_;
      return true;
    }
    if (static_cast<unsigned char>(c) <= 32) {
      ++pos_;
      return true;
    }
    if (CommentStarts()) {
      while (pos_ < text_.size() && text_[pos_] != '\n' && text_[pos_] != '\r')
        ++pos_;
      return true;
    }
    return false;
  }

  static void Fail(Statement& statement, std::string message) {
    if (statement.error.empty()) statement.error = std::move(message);
  }

  void ReadWord(Statement& statement) {
    Token token;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (static_cast<unsigned char>(c) <= 32 || c == ';' || c == '(' || c == ')' ||
          CommentStarts())
        break;
      token.text += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
      ++pos_;
    }
    statement.tokens.push_back(std::move(token));
  }

  // Blanks, line ends and comments inside the parentheses are left out.
  void ReadVector(Statement& statement) {
    ++pos_;
    Token token{true, {}};
    while (pos_ < text_.size()) {
      if (SkipSpaceOrComment()) continue;
      const char c = text_[pos_++];
      if (c == ')') {
        statement.tokens.push_back(std::move(token));
        return;
      }
      if (c == '(' || c == ';') {
        Fail(statement, "a '(' without its ')'");
        --pos_;  // the ";" still ends the statement
        return;
      }
      token.text += c;
    }
    Fail(statement, "a '(' without its ')'");
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int line_ = 1;
};

// ---------------------------------------------------------------------------
// Real numbers, kept exact as digits times a power of ten, so that a wait of
// 165E-6 SEC at 4E6 HZ is 660 clocks and not 661 after a rounding error.

struct Decimal {
  std::string digits;  // no leading zeros; empty for zero
  int exponent = 0;
};

std::optional<Decimal> ParseDecimal(std::string_view text) {
  constexpr std::size_t kMaxDigits = 40;
  constexpr int kMaxExponent = 400;
  std::size_t i = 0;
  if (i < text.size() && text[i] == '+') ++i;
  Decimal d;
  int fraction = 0;
  bool any = false, point = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && !point) {
      point = true;
    } else if (c >= '0' && c <= '9') {
      any = true;
      if (d.digits.empty() && c == '0') {
        if (point) ++fraction;
        continue;
      }
      if (d.digits.size() >= kMaxDigits) return std::nullopt;
      d.digits += c;
      if (point) ++fraction;
    } else {
      break;
    }
  }
  if (!any) return std::nullopt;
  int exponent = 0;
  if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const std::size_t start = i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      exponent = exponent * 10 + (text[i] - '0');
      if (exponent > kMaxExponent) return std::nullopt;
    }
    if (i == start) return std::nullopt;
    if (negative) exponent = -exponent;
  }
  if (i != text.size()) return std::nullopt;
  if (d.digits.empty()) return Decimal{};
  d.exponent = exponent - fraction;
  while (d.digits.back() == '0') {
    d.digits.pop_back();
    ++d.exponent;
  }
  return d;
}

// The digit string (most significant first) as a number, if it is at most max.
std::optional<std::uint64_t> DigitsValue(std::string_view digits, std::uint64_t max) {
  std::uint64_t value = 0;
  for (char c : digits) {
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

enum class IntegerCheck { kOk, kFraction, kTooLarge };

IntegerCheck ToInteger(const Decimal& d, std::uint64_t max, std::uint64_t& value) {
  value = 0;
  if (d.digits.empty()) return IntegerCheck::kOk;
  if (d.exponent < 0) return IntegerCheck::kFraction;
  if (d.digits.size() + static_cast<std::size_t>(d.exponent) > 20) return IntegerCheck::kTooLarge;
  const std::string all = d.digits + std::string(static_cast<std::size_t>(d.exponent), '0');
  const auto v = DigitsValue(all, max);
  if (!v) return IntegerCheck::kTooLarge;
  value = *v;
  return IntegerCheck::kOk;
}

// ceil(a x b); nothing when that exceeds max.
std::optional<std::uint64_t> CeilProduct(const Decimal& a, const Decimal& b, std::uint64_t max) {
  if (a.digits.empty() || b.digits.empty()) return 0;
  // Schoolbook product, least significant digit first.
  std::vector<int> product(a.digits.size() + b.digits.size(), 0);
  for (std::size_t i = 0; i < a.digits.size(); ++i) {
    for (std::size_t j = 0; j < b.digits.size(); ++j) {
      product[i + j] +=
          (a.digits[a.digits.size() - 1 - i] - '0') * (b.digits[b.digits.size() - 1 - j] - '0');
    }
  }
  for (std::size_t k = 0; k + 1 < product.size(); ++k) {
    product[k + 1] += product[k] / 10;
    product[k] %= 10;
  }
  std::string digits;
  for (auto it = product.rbegin(); it != product.rend(); ++it)
    digits += static_cast<char>('0' + *it);
  const int exponent = a.exponent + b.exponent;
  bool fraction = false;
  if (exponent >= 0) {
    if (digits.size() + static_cast<std::size_t>(exponent) > 40) return std::nullopt;
    digits += std::string(static_cast<std::size_t>(exponent), '0');
  } else {
    const std::size_t cut = static_cast<std::size_t>(-exponent);
    const std::size_t keep = digits.size() > cut ? digits.size() - cut : 0;
    fraction = digits.find_first_not_of('0', keep) != std::string::npos;
    digits.resize(keep);
  }
  const std::size_t first = digits.find_first_not_of('0');
  digits = first == std::string::npos ? std::string() : digits.substr(first);
  if (digits.size() > 20) return std::nullopt;
  auto value = DigitsValue(digits, max);
  if (!value) return std::nullopt;
  if (fraction) {
    if (*value == max) return std::nullopt;
    ++*value;
  }
  return value;
}

// ---------------------------------------------------------------------------
// Bit vectors: bit 0 is the first bit shifted, the lowest bit of the
// rightmost hex digit.

struct Bits {
  std::uint64_t size = 0;
  std::vector<std::uint8_t> bytes;  // (size + 7) / 8 of them, unused high bits 0
};

Bits MakeBits(std::uint64_t size, bool ones) {
  Bits b{size, std::vector<std::uint8_t>((size + 7) / 8, ones ? 0xFF : 0x00)};
  if (ones && size % 8 != 0) b.bytes.back() = static_cast<std::uint8_t>((1u << (size % 8)) - 1);
  return b;
}

bool GetBit(const Bits& b, std::uint64_t i) {
  return (b.bytes[i / 8] >> (i % 8)) & 1;
}

void SetBit(Bits& b, std::uint64_t i, bool value) {
  const auto m = static_cast<std::uint8_t>(1u << (i % 8));
  b.bytes[i / 8] = static_cast<std::uint8_t>(value ? b.bytes[i / 8] | m : b.bytes[i / 8] & ~m);
}

Bits And(Bits a, const Bits& b) {
  for (std::size_t i = 0; i < a.bytes.size(); ++i)
    a.bytes[i] &= b.bytes[i];
  return a;
}

bool AnySet(const Bits& b) {
  return std::any_of(b.bytes.begin(), b.bytes.end(), [](std::uint8_t x) { return x != 0; });
}

bool AllSet(const Bits& b) {
  return b.bytes == MakeBits(b.size, true).bytes;
}

int HexNibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Empty on success, else why the vector does not fit the length.
std::string BitsFromHex(std::string_view hex, std::uint64_t size, Bits& out) {
  out = MakeBits(size, false);
  if (hex.empty()) return "is empty";
  const std::size_t n = hex.size();
  for (std::size_t k = 0; k < n; ++k) {  // k counts digits from the right
    const int v = HexNibble(hex[n - 1 - k]);
    if (v < 0) return "holds '" + std::string(1, hex[n - 1 - k]) + "', which is not a hex digit";
    for (std::uint64_t j = 0; j < 4; ++j) {
      if (((v >> j) & 1) == 0) continue;
      const std::uint64_t bit = 4 * static_cast<std::uint64_t>(k) + j;
      if (bit >= size) return "holds bits above its length of " + std::to_string(size);
      SetBit(out, bit, true);
    }
  }
  return {};
}

// Two upper-case digits per byte, the last byte first: the SVF order that the
// interpreter reverses into transmission form.
std::string ToHex(const Bits& b) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(b.bytes.size() * 2);
  for (auto it = b.bytes.rbegin(); it != b.bytes.rend(); ++it) {
    hex += kDigits[*it >> 4];
    hex += kDigits[*it & 0xF];
  }
  return hex;
}

Bits Slice(const Bits& b, std::uint64_t from, std::uint64_t size) {
  Bits out = MakeBits(size, false);
  if (from % 8 == 0) {
    std::copy_n(b.bytes.begin() + static_cast<std::ptrdiff_t>(from / 8), out.bytes.size(),
                out.bytes.begin());
    if (size % 8 != 0) out.bytes.back() &= static_cast<std::uint8_t>((1u << (size % 8)) - 1);
    return out;
  }
  for (std::uint64_t i = 0; i < size; ++i)
    SetBit(out, i, GetBit(b, from + i));
  return out;
}

void Place(Bits& into, std::uint64_t at, const Bits& part) {
  for (std::uint64_t i = 0; i < part.size; ++i)
    SetBit(into, at + i, GetBit(part, i));
}

// ---------------------------------------------------------------------------

// One scan's bits as the unit sees them: what goes in, which bits of what
// comes out are compared, and the value they must have.
struct Segment {
  Bits tdi;
  Bits compare;
  Bits expect;
};

Segment Concat(const Segment& header, const Segment& own, const Segment& trailer) {
  const std::uint64_t size = header.tdi.size + own.tdi.size + trailer.tdi.size;
  Segment all{MakeBits(size, false), MakeBits(size, false), MakeBits(size, false)};
  std::uint64_t at = 0;
  for (const Segment* part : {&header, &own, &trailer}) {
    Place(all.tdi, at, part->tdi);
    Place(all.compare, at, part->compare);
    Place(all.expect, at, part->expect);
    at += part->tdi.size;
  }
  return all;
}

enum class Keyword {
  kEndDr,
  kEndIr,
  kFrequency,
  kHdr,
  kHir,
  kPio,
  kPioMap,
  kRunTest,
  kSdr,
  kSir,
  kState,
  kTdr,
  kTir,
  kTrst,
};

struct KeywordName {
  std::string_view name;
  Keyword keyword;
};
constexpr KeywordName kKeywords[] = {
    {"ENDDR", Keyword::kEndDr},
    {"ENDIR", Keyword::kEndIr},
    {"FREQUENCY", Keyword::kFrequency},
    {"HDR", Keyword::kHdr},
    {"HIR", Keyword::kHir},
    {"PIO", Keyword::kPio},
    {"PIOMAP", Keyword::kPioMap},
    {"RUNTEST", Keyword::kRunTest},
    {"SDR", Keyword::kSdr},
    {"SIR", Keyword::kSir},
    {"STATE", Keyword::kState},
    {"TDR", Keyword::kTdr},
    {"TIR", Keyword::kTir},
    {"TRST", Keyword::kTrst},
};

// The six statements that shift, each with its own carried-over vectors.
enum class Scan { kSir, kSdr, kHir, kHdr, kTir, kTdr };

struct ScanMemory {
  bool known = false;
  std::uint64_t size = 0;
  bool has_tdi = false;
  Bits tdi, mask, smask;
};

// A refusal: the statement cannot be converted exactly.
struct Refusal {
  std::string message;
};

class Converter {
 public:
  explicit Converter(const Options& options) : options_(options) {
    for (char c : options.source_name)
      source_ += static_cast<unsigned char>(c) < 32 ? '?' : c;
  }

  Result Run(std::string_view svf) {
    if (!options_.tck_hz.empty()) {
      default_frequency_ = ParseDecimal(options_.tck_hz);
      if (!default_frequency_ || default_frequency_->digits.empty()) {
        result_.problems.push_back({0, "--tck-hz " + options_.tck_hz + " is not a frequency"});
      }
      frequency_ = default_frequency_;
    }
    // The output's first line; the statements follow it in the same text.
    body_ = "// Effect file converted by qsr470-svf2effect from " + source_ +
            "; each statement names its line there.\n";
    Lexer lexer(svf);
    Statement statement;
    while (lexer.Next(statement)) {
      ++result_.summary.statements;
      line_ = statement.line;
      const int records = result_.summary.records;
      split_ = folded_ = false;
      why_dropped_.clear();
      records_before_ = records;
      std::optional<Refusal> refusal;
      if (!statement.error.empty()) {
        refusal = Refusal{statement.error};
      } else {
        refusal = Convert(statement.tokens);
      }
      if (refusal) {
        result_.problems.push_back({line_, std::move(refusal->message)});
        tap_.reset();  // whatever comes next, the TAP is no longer known
        continue;
      }
      if (split_) ++result_.summary.split;
      if (folded_) {
        ++result_.summary.folded;
      } else if (result_.summary.records == records) {
        ++result_.summary.dropped;
        result_.dropped.push_back(
            {line_, why_dropped_.empty() ? "it changes nothing on the chain" : why_dropped_});
      }
    }
    if (result_.problems.empty()) {
      if (const std::string reason = output_check_.End(); !reason.empty())
        result_.problems.push_back(
            {line_, "internal fault: the job check refuses the converted file (" + reason + ")"});
    }
    if (result_.problems.empty() && body_.size() > options_.max_output_bytes) {
      TooLarge();  // the last lines joined a clock or two
    }
    if (!result_.problems.empty()) {
      body_.clear();
    } else {
      result_.effect = std::move(body_);  // no second copy of a large file
    }
    return std::move(result_);
  }

 private:
  std::optional<Refusal> Convert(const std::vector<Token>& tokens) {
    if (tokens.empty()) {
      why_dropped_ = "an empty statement";
      return std::nullopt;
    }
    if (tokens[0].vector) return Refusal{"a statement cannot begin with '('"};
    const auto* const match =
        std::find_if(std::begin(kKeywords), std::end(kKeywords),
                     [&](const KeywordName& k) { return k.name == tokens[0].text; });
    if (match == std::end(kKeywords)) return Refusal{"unknown statement " + tokens[0].text};
    switch (match->keyword) {
      case Keyword::kSir:
        return ScanStatement(Scan::kSir, tokens);
      case Keyword::kSdr:
        return ScanStatement(Scan::kSdr, tokens);
      case Keyword::kHir:
        return ScanStatement(Scan::kHir, tokens);
      case Keyword::kHdr:
        return ScanStatement(Scan::kHdr, tokens);
      case Keyword::kTir:
        return ScanStatement(Scan::kTir, tokens);
      case Keyword::kTdr:
        return ScanStatement(Scan::kTdr, tokens);
      case Keyword::kEndIr:
        return EndState(true, tokens);
      case Keyword::kEndDr:
        return EndState(false, tokens);
      case Keyword::kState:
        return StateStatement(tokens);
      case Keyword::kRunTest:
        return RunTest(tokens);
      case Keyword::kFrequency:
        return Frequency(tokens);
      case Keyword::kTrst:
        return Trst(tokens);
      case Keyword::kPio:
      case Keyword::kPioMap:
        return Refusal{tokens[0].text +
                       ": parallel vectors have no form in an Effect file (the unit drives "
                       "a JTAG chain only)"};
    }
    return Refusal{"unknown statement " + tokens[0].text};
  }

  // The output would be larger than the updater takes: said once, at the
  // statement that crossed the limit, and nothing more is kept.
  void TooLarge() {
    too_large_ = true;
    body_.clear();
    body_.shrink_to_fit();
    const std::uint64_t limit = options_.max_output_bytes;
    const std::string size = limit % (1u << 20) == 0 ? std::to_string(limit >> 20) + " MiB"
                                                     : std::to_string(limit) + " bytes";
    result_.problems.push_back({line_, "the Effect file would be larger than the updater takes (" +
                                           size + "); nothing is written"});
  }

  // Writes one Effect statement with its source line, and checks it with the
  // updater's own job check: a line it would refuse must never be written.
  void Emit(const std::string& statement) {
    if (too_large_) return;
    std::string line = statement + "; // " + source_ + ":" + std::to_string(line_);
    if (body_.size() + line.size() + 1 > options_.max_output_bytes) {
      TooLarge();
      return;
    }
    last_line_at_ = body_.size();
    last_state_names_ = 0;
    body_ += line;
    body_ += '\n';
    ++result_.summary.records;
    // Once a statement has been refused nothing is written, and the lines
    // after it follow from a state the refused one never left the TAP in:
    // only output that can be written is checked.
    if (!result_.problems.empty()) return;
    TEffectFields fields;
    std::vector<LineFinding> findings;
    // The header comment is the output's first line.
    const std::int32_t outputLine = result_.summary.records + 1;
    const std::string record = output_check_.Line(line, outputLine, findings, fields);
    const auto refused = std::find_if(findings.begin(), findings.end(),
                                      [](const LineFinding& f) { return !f.warning; });
    if (refused != findings.end() || record.empty() || record[0] != ':') {
      const std::string reason = refused != findings.end() ? refused->reason : "no record";
      result_.problems.push_back(
          {line_, "internal fault: the job check refuses the converted line " + line + " (" +
                      reason + ")"});
    }
  }

  // STATE records of at most kMaxStateCodes names each; every name is one
  // move on the unit, so cutting the list changes nothing.
  void EmitStates(const std::vector<Tap>& states) {
    for (std::size_t at = 0; at < states.size(); at += kMaxStateCodes) {
      std::string text = "STATE";
      const std::size_t stop = std::min(states.size(), at + kMaxStateCodes);
      for (std::size_t k = at; k < stop; ++k)
        text += " " + Name(states[k]);
      Emit(text);
      last_state_names_ = stop - at;
    }
    if (states.size() > kMaxStateCodes) split_ = true;
  }

  // A record of one state that names the state the TAP rests in means
  // different things on units that follow the SVF path table (a round
  // through Update for a Pause state, a clock in Run-Test/Idle) and on units
  // that hold or stay. So clocks held in a Pause state go out only in
  // records of two or more states, and a single one is refused.
  std::optional<Refusal> EmitMoves(const std::vector<Tap>& moves) {
    if (moves.empty()) return std::nullopt;
    const bool lone_hold = moves.size() == 1 && tap_ == moves[0];
    if (lone_hold) {
      if (JoinHeldClock(moves[0])) return std::nullopt;
      return Refusal{"one clock held in " + Name(moves[0]) +
                     " where the TAP already rests has no form that every unit plays alike "
                     "(a STATE of that state alone goes round through Update on some)"};
    }
    // Cut into records so that the last is never one held state alone.
    std::size_t at = 0;
    while (at < moves.size()) {
      std::size_t take = std::min(kMaxStateCodes, moves.size() - at);
      if (moves.size() - at - take == 1) --take;
      EmitStates(std::vector<Tap>(moves.begin() + static_cast<std::ptrdiff_t>(at),
                                  moves.begin() + static_cast<std::ptrdiff_t>(at + take)));
      at += take;
    }
    if (moves.size() > kMaxStateCodes) split_ = true;
    tap_ = moves.back();
    return std::nullopt;
  }

  // One clock held in `pause` added to the STATE record just written, when
  // that record led the TAP there: a second name of a state in a record of
  // two or more states holds it one clock on every unit.
  bool JoinHeldClock(Tap pause) {
    if (too_large_ || last_state_names_ == 0 || last_state_names_ >= kMaxStateCodes) return false;
    const std::size_t end = body_.find("; // ", last_line_at_);
    if (end == std::string::npos) return false;
    const std::string_view record(body_.data() + last_line_at_, end - last_line_at_);
    const std::string name = " " + Name(pause);
    if (!record.ends_with(name)) return false;
    body_.insert(end, name);
    ++last_state_names_;
    folded_ = true;
    return true;
  }

  void MoveTo(Tap target) {
    if (tap_ == target) return;
    EmitStates({target});
    tap_ = target;
  }

  std::optional<Refusal> ScanStatement(Scan scan, const std::vector<Token>& tokens) {
    const std::string& name = tokens[0].text;
    if (tokens.size() < 2 || tokens[1].vector) return Refusal{name + " needs a length"};
    std::uint64_t size = 0;
    const auto length = ParseDecimal(tokens[1].text);
    if (!length || tokens[1].text.find_first_not_of("0123456789") != std::string::npos ||
        ToInteger(*length, options_.max_scan_bits, size) != IntegerCheck::kOk) {
      return Refusal{name + " length " + tokens[1].text + " is not a whole number from 0 to " +
                     std::to_string(options_.max_scan_bits)};
    }
    std::optional<Bits> tdi, tdo, mask, smask;
    for (std::size_t i = 2; i < tokens.size(); i += 2) {
      const std::string& key = tokens[i].text;
      std::optional<Bits>* slot = nullptr;
      if (!tokens[i].vector) {
        if (key == "TDI") slot = &tdi;
        if (key == "TDO") slot = &tdo;
        if (key == "MASK") slot = &mask;
        if (key == "SMASK") slot = &smask;
      }
      if (slot == nullptr) {
        return Refusal{name + ": " + (tokens[i].vector ? "(" + key + ")" : key) +
                       " is not TDI, TDO, MASK or SMASK"};
      }
      if (i + 1 >= tokens.size() || !tokens[i + 1].vector)
        return Refusal{name + ": " + key + " needs its value in parentheses"};
      if (*slot) return Refusal{name + ": " + key + " is given twice"};
      Bits bits;
      const std::string why = BitsFromHex(tokens[i + 1].text, size, bits);
      if (!why.empty()) return Refusal{name + ": " + key + " " + why};
      *slot = std::move(bits);
    }

    // Left-out vectors repeat the last ones of the same statement while the
    // length stays; TDO never does.
    ScanMemory& memory = memory_[static_cast<std::size_t>(scan)];
    const bool same = memory.known && memory.size == size;
    if (!tdi) {
      if (same && memory.has_tdi) {
        tdi = memory.tdi;
      } else if (size > 0) {
        return Refusal{name + ": TDI must be given" +
                       (memory.known ? " again, as the length changed" : std::string())};
      } else {
        tdi = MakeBits(0, false);
      }
    }
    if (!mask) mask = same ? memory.mask : MakeBits(size, true);
    if (!smask) smask = same ? memory.smask : MakeBits(size, true);
    memory = ScanMemory{true, size, true, *tdi, *mask, *smask};

    Segment own;
    own.tdi = And(*tdi, *smask);
    own.compare = tdo ? *mask : MakeBits(size, false);
    own.expect = tdo ? And(*tdo, own.compare) : MakeBits(size, false);

    switch (scan) {
      case Scan::kSir:
        return Shift(true, own);
      case Scan::kSdr:
        return Shift(false, own);
      case Scan::kHir:
      case Scan::kHdr:
      case Scan::kTir:
      case Scan::kTdr: {
        const bool ir = scan == Scan::kHir || scan == Scan::kTir;
        const bool header = scan == Scan::kHir || scan == Scan::kHdr;
        (header ? header_ : trailer_)[ir ? 0 : 1] = std::move(own);
        folded_ = size > 0;
        why_dropped_ = name + " 0: no " + (header ? "header" : "trailer") + " bits";
        return std::nullopt;
      }
    }
    return std::nullopt;
  }

  // The header's bits go first, then the scan's own, then the trailer's; a
  // scan longer than one record is cut into S, C and E parts that the unit
  // shifts as one, each with its own slice of every vector.
  std::optional<Refusal> Shift(bool ir, const Segment& own) {
    const Segment all = Concat(header_[ir ? 0 : 1], own, trailer_[ir ? 0 : 1]);
    const std::uint64_t size = all.tdi.size;
    const std::string name = ir ? "SIR" : "SDR";
    if (size == 0) return Refusal{name + " of no bits has no form in an Effect file"};
    if (size > options_.max_scan_bits) {
      return Refusal{name + " with its headers and trailers is " + std::to_string(size) +
                     " bits, more than " + std::to_string(options_.max_scan_bits)};
    }
    const std::uint64_t parts = (size + kMaxShiftBits - 1) / kMaxShiftBits;
    for (std::uint64_t p = 0; p < parts; ++p) {
      const std::uint64_t from = p * kMaxShiftBits;
      const std::uint64_t count = std::min(kMaxShiftBits, size - from);
      std::string variant;
      if (parts > 1) variant = p == 0 ? "S" : p + 1 == parts ? "E" : "C";
      WriteShift(name + variant, count, Slice(all.tdi, from, count),
                 Slice(all.compare, from, count), Slice(all.expect, from, count), !ir);
    }
    if (parts > 1) split_ = true;
    tap_ = ir ? end_ir_ : end_dr_;
    return std::nullopt;
  }

  void WriteShift(const std::string& keyword, std::uint64_t size, Bits tdi, const Bits& compare,
                  const Bits& expect, bool data_register) {
    // All-ones data fills its unused high bits too, so that the interpreter
    // sends it as one repeated byte instead of a data block; the unit shifts
    // only the length, so those bits never reach the chain.
    if (data_register && AllSet(tdi)) std::fill(tdi.bytes.begin(), tdi.bytes.end(), 0xFF);
    std::string text = keyword + " " + std::to_string(size) + " TDI (" + ToHex(tdi) + ")";
    if (AnySet(compare)) {
      text += " TDO (" + ToHex(expect) + ")";
      // Without a MASK the unit's whole bytes are compared, unused high bits
      // included; they read as 0, but only a MASK says they do not count.
      if (size % 8 != 0 || !AllSet(compare)) text += " MASK (" + ToHex(compare) + ")";
    }
    Emit(text);
  }

  std::optional<Refusal> EndState(bool ir, const std::vector<Token>& tokens) {
    const std::string& name = tokens[0].text;
    const auto state =
        tokens.size() == 2 && !tokens[1].vector ? TapFromName(tokens[1].text) : std::nullopt;
    if (!state || !IsStable(*state))
      return Refusal{name + " takes one of IRPAUSE, DRPAUSE, RESET and IDLE"};
    const Tap other_pause = ir ? Tap::kDrPause : Tap::kIrPause;
    if (*state == other_pause) {
      return Refusal{name + " " + Name(*state) + " has no form in an Effect file: its " + name +
                     " takes " + (ir ? "IRPAUSE" : "DRPAUSE") + ", RESET or IDLE"};
    }
    Emit(name + " " + Name(*state));
    (ir ? end_ir_ : end_dr_) = *state;
    return std::nullopt;
  }

  std::optional<Refusal> StateStatement(const std::vector<Token>& tokens) {
    if (tokens.size() < 2) return Refusal{"STATE needs at least one state"};
    std::vector<Tap> path;
    for (std::size_t i = 1; i < tokens.size(); ++i) {
      const auto state = tokens[i].vector ? std::nullopt : TapFromName(tokens[i].text);
      if (!state) return Refusal{"STATE: " + tokens[i].text + " is not a TAP state"};
      path.push_back(*state);
    }
    if (!IsStable(path.back())) {
      return Refusal{"STATE must end in IRPAUSE, DRPAUSE, RESET or IDLE, not " + Name(path.back())};
    }
    if (path.size() == 1 && tap_ == path[0]) return StayStatement(path[0]);
    // Each named state in turn: one TCK to a neighbour, the default path
    // between two stable states, one TCK held where the TAP already is.
    std::vector<Tap> moves;
    std::optional<Tap> at = tap_;
    for (const Tap next : path) {
      if (at && *at == next && IsStable(next)) {
        if (next == Tap::kReset) continue;  // a clock with TMS 1 there changes nothing
        if (next == Tap::kIdle) {
          // Written as a RUNTEST, which every unit clocks alike.
          if (auto refusal = EmitMoves(moves)) return refusal;
          moves.clear();
          Emit("RUNTEST 1 TCK");
          continue;
        }
      } else if (!at && !IsStable(next)) {
        // With no known start, only the standard path into a resting state
        // means the same on every unit.
        return Refusal{"STATE: a path cannot begin at " + Name(next) +
                       " before the TAP's state is known"};
      } else if (at && !IsNext(*at, next) && !(IsStable(*at) && IsStable(next))) {
        return Refusal{"STATE: " + Name(next) + " cannot follow " + Name(*at) + " in a path"};
      }
      moves.push_back(next);
      at = next;
    }
    if (auto refusal = EmitMoves(moves)) return refusal;
    tap_ = path.back();
    if (result_.summary.records == records_before_) {
      why_dropped_ = "STATE RESET where the TAP already rests in Test-Logic-Reset";
    }
    return std::nullopt;
  }

  // A lone stable state named where the TAP rests: SVF's path table moves it
  // all the same, so the converter writes that move in a form with one
  // meaning (see EmitMoves).
  std::optional<Refusal> StayStatement(Tap state) {
    switch (state) {
      case Tap::kIdle:
        Emit("RUNTEST 1 TCK");
        break;
      case Tap::kDrPause:
        EmitStates({Tap::kDrExit2, Tap::kDrUpdate, Tap::kDrSelect, Tap::kDrCapture, Tap::kDrExit1,
                    Tap::kDrPause});
        break;
      case Tap::kIrPause:
        EmitStates({Tap::kIrExit2, Tap::kIrUpdate, Tap::kDrSelect, Tap::kIrSelect, Tap::kIrCapture,
                    Tap::kIrExit1, Tap::kIrPause});
        break;
      case Tap::kReset:
        why_dropped_ = "STATE RESET where the TAP already rests in Test-Logic-Reset";
        break;
      case Tap::kDrSelect:
      case Tap::kDrCapture:
      case Tap::kDrShift:
      case Tap::kDrExit1:
      case Tap::kDrExit2:
      case Tap::kDrUpdate:
      case Tap::kIrSelect:
      case Tap::kIrCapture:
      case Tap::kIrShift:
      case Tap::kIrExit1:
      case Tap::kIrExit2:
      case Tap::kIrUpdate:
        return Refusal{"STATE must end in IRPAUSE, DRPAUSE, RESET or IDLE, not " + Name(state)};
    }
    return std::nullopt;
  }

  std::optional<Refusal> RunTest(const std::vector<Token>& tokens) {
    std::size_t i = 1;
    auto word = [&](std::size_t k) -> std::string {
      return k < tokens.size() && !tokens[k].vector ? tokens[k].text : std::string();
    };
    auto stable_at = [&](std::size_t k) -> std::optional<Tap> {
      const auto state = TapFromName(word(k));
      if (state && IsStable(*state)) return state;
      return std::nullopt;
    };
    std::optional<Tap> run_state, end_state;
    if (TapFromName(word(i))) {
      run_state = stable_at(i);
      if (!run_state)
        return Refusal{"RUNTEST: the run state must be IRPAUSE, DRPAUSE, RESET or IDLE"};
      ++i;
    }
    std::uint64_t count = 0;
    std::optional<Decimal> min_time;
    const auto first = ParseDecimal(word(i));
    if (!first) return Refusal{"RUNTEST needs a clock count or a time in SEC"};
    if (word(i + 1) == "TCK") {
      switch (ToInteger(*first, kMaxIdleClocks, count)) {
        case IntegerCheck::kOk:
          break;
        case IntegerCheck::kFraction:
          return Refusal{"RUNTEST: the count " + word(i) + " is not a whole number"};
        case IntegerCheck::kTooLarge:
          return Refusal{"RUNTEST: the count " + word(i) + " is more than " +
                         std::to_string(kMaxIdleClocks) + " clocks"};
      }
      i += 2;
      if (const auto time = ParseDecimal(word(i)); time && word(i + 1) == "SEC") {
        min_time = time;
        i += 2;
      }
    } else if (word(i + 1) == "SCK") {
      return Refusal{"RUNTEST: clocks of the system clock (SCK) have no form in an Effect file"};
    } else if (word(i + 1) == "SEC") {
      min_time = first;
      i += 2;
    } else {
      return Refusal{"RUNTEST: " + word(i) + " must be followed by TCK, SCK or SEC"};
    }
    if (word(i) == "MAXIMUM") {
      if (!ParseDecimal(word(i + 1)) || word(i + 2) != "SEC")
        return Refusal{"RUNTEST: MAXIMUM needs a time in SEC"};
      ++result_.summary.maximum_ignored;
      result_.dropped.push_back(
          {line_, "MAXIMUM " + word(i + 1) + " SEC ignored: the wait keeps only its minimum"});
      i += 3;
    }
    if (word(i) == "ENDSTATE") {
      end_state = stable_at(i + 1);
      if (!end_state) return Refusal{"RUNTEST: ENDSTATE takes IRPAUSE, DRPAUSE, RESET or IDLE"};
      i += 2;
    }
    if (i < tokens.size()) {
      return Refusal{"RUNTEST: unexpected " +
                     (tokens[i].vector ? "(" + tokens[i].text + ")" : tokens[i].text)};
    }

    if (min_time) {
      if (!frequency_) {
        return Refusal{
            "RUNTEST in SEC needs a FREQUENCY before it, or --tck-hz, to turn "
            "seconds into clocks"};
      }
      const auto clocks = CeilProduct(*min_time, *frequency_, kMaxIdleClocks);
      if (!clocks) {
        return Refusal{"RUNTEST: the wait is more than " + std::to_string(kMaxIdleClocks) +
                       " clocks"};
      }
      count = std::max(count, *clocks);
    }

    // A run state given here stays for later RUNTESTs and becomes the end
    // state too, unless an ENDSTATE says otherwise.
    const Tap run = run_state.value_or(run_state_);
    const Tap end = end_state.value_or(run_state ? *run_state : run_end_);
    if (count > 0 && run == Tap::kReset) {
      return Refusal{"RUNTEST: clocks held in RESET have no exact form in an Effect file"};
    }
    if ((run == Tap::kDrPause || run == Tap::kIrPause) && count > options_.max_pause_clocks) {
      return Refusal{"RUNTEST: " + std::to_string(count) + " clocks held in " + Name(run) +
                     " are more than the " + std::to_string(options_.max_pause_clocks) +
                     " this converter writes"};
    }
    run_state_ = run;
    run_end_ = end;

    if (run == Tap::kIdle) {
      MoveTo(run);
      if (count > kMaxRunTestCount) split_ = true;
      for (std::uint64_t left = count; left > 0;) {
        const std::uint64_t now = std::min(left, kMaxRunTestCount);
        Emit("RUNTEST " + std::to_string(now) + " TCK");
        left -= now;
      }
    } else {
      // The path into the Pause state, then one more name of it for each
      // clock held there, in the same record.
      std::vector<Tap> moves;
      if (tap_ != run) moves.push_back(run);
      moves.resize(moves.size() + static_cast<std::size_t>(count), run);
      if (auto refusal = EmitMoves(moves)) return refusal;
    }
    MoveTo(end);
    if (result_.summary.records == records_before_) {
      why_dropped_ = "RUNTEST of no clocks where the TAP already is";
    }
    return std::nullopt;
  }

  std::optional<Refusal> Frequency(const std::vector<Token>& tokens) {
    why_dropped_ = "FREQUENCY only turns later waits in SEC into clocks";
    if (tokens.size() == 1) {
      frequency_ = default_frequency_;
      return std::nullopt;
    }
    const auto hz =
        tokens.size() == 3 && !tokens[1].vector ? ParseDecimal(tokens[1].text) : std::nullopt;
    if (!hz || hz->digits.empty() || tokens[2].vector || tokens[2].text != "HZ")
      return Refusal{"FREQUENCY takes a positive number of HZ, or nothing"};
    frequency_ = hz;
    return std::nullopt;
  }

  std::optional<Refusal> Trst(const std::vector<Token>& tokens) {
    const std::string mode = tokens.size() == 2 && !tokens[1].vector ? tokens[1].text : "";
    if (mode == "OFF" || mode == "Z" || mode == "ABSENT") {
      why_dropped_ = "TRST " + mode + ": the unit drives no test reset line";
      return std::nullopt;
    }
    if (mode == "ON")
      return Refusal{"TRST ON asserts the test reset line, which the unit does not drive"};
    return Refusal{"TRST takes ON, OFF, Z or ABSENT"};
  }

  const Options& options_;
  std::string source_;
  Result result_;
  std::string body_;
  bool too_large_ = false;            // the output crossed the limit: nothing more is kept
  std::size_t last_line_at_ = 0;      // where the last line written begins in body_
  std::size_t last_state_names_ = 0;  // names in it when it is a STATE record, else 0
  TEffectFileCheck output_check_;     // walks what is written as the unit will play it
  int line_ = 0;
  bool split_ = false;
  bool folded_ = false;
  std::string why_dropped_;  // for a statement that writes no record
  int records_before_ = 0;   // records written before the statement

  std::optional<Tap> tap_;  // unknown until a statement puts it somewhere
  Tap end_ir_ = Tap::kIdle;
  Tap end_dr_ = Tap::kIdle;
  Tap run_state_ = Tap::kIdle;
  Tap run_end_ = Tap::kIdle;
  std::optional<Decimal> frequency_;
  std::optional<Decimal> default_frequency_;
  std::array<ScanMemory, 6> memory_{};
  std::array<Segment, 2> header_{};  // [0] instruction register, [1] data register
  std::array<Segment, 2> trailer_{};
};

}  // namespace

Result Convert(std::string_view svf, const Options& options) {
  return Converter(options).Run(svf);
}

bool IsFrequency(std::string_view text) {
  const auto d = ParseDecimal(text);
  return d && !d->digits.empty();
}

std::string SummaryText(const Summary& s) {
  return std::to_string(s.statements) + " statements read, " + std::to_string(s.records) +
         " records written, " + std::to_string(s.split) + " split, " + std::to_string(s.dropped) +
         " dropped, " + std::to_string(s.folded) + " folded, " + std::to_string(s.maximum_ignored) +
         " MAXIMUM ignored";
}

}  // namespace svf2effect
