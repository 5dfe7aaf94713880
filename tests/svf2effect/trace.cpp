#include "trace.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <sstream>

#include "handlers/progjtag_effect.h"
#include "sim/jtag.h"
#include "sim/record.h"

namespace svftest {

void Trace::Add(const Tick& tick, std::uint64_t count) {
  if (count == 0) return;
  if (!runs_.empty() && runs_.back().tick == tick) {
    runs_.back().count += count;
  } else {
    runs_.push_back({tick, count});
  }
}

std::uint64_t Trace::Clocks() const {
  std::uint64_t n = 0;
  for (const Run& run : runs_)
    n += run.count;
  return n;
}

std::string Trace::FirstDifference(const Trace& a, const Trace& b) {
  std::size_t i = 0, j = 0;
  std::uint64_t used_a = 0, used_b = 0, clock = 0;
  auto show = [](const Trace& t, std::size_t k) {
    if (k >= t.runs_.size()) return std::string("(end)");
    const Tick& x = t.runs_[k].tick;
    return "tms " + std::to_string(x.tms) + " tdi " + std::to_string(x.tdi) + " expect " +
           std::to_string(x.expect) + " x" + std::to_string(t.runs_[k].count);
  };
  while (i < a.runs_.size() && j < b.runs_.size()) {
    if (!(a.runs_[i].tick == b.runs_[j].tick)) break;
    const std::uint64_t step = std::min(a.runs_[i].count - used_a, b.runs_[j].count - used_b);
    used_a += step;
    used_b += step;
    clock += step;
    if (used_a == a.runs_[i].count) ++i, used_a = 0;
    if (used_b == b.runs_[j].count) ++j, used_b = 0;
  }
  if (i == a.runs_.size() && j == b.runs_.size()) return {};
  return "first difference at clock " + std::to_string(clock) + ": " + show(a, i) + " vs " +
         show(b, j);
}

namespace {

// ---------------------------------------------------------------------------
// The SVF side, from the TAP diagram and the default paths of the SVF
// standard, written out as tables.

enum St {
  RESET,
  IDLE,
  DRSELECT,
  DRCAPTURE,
  DRSHIFT,
  DREXIT1,
  DRPAUSE,
  DREXIT2,
  DRUPDATE,
  IRSELECT,
  IRCAPTURE,
  IRSHIFT,
  IREXIT1,
  IRPAUSE,
  IREXIT2,
  IRUPDATE
};
const char* const kNames[16] = {
    "RESET",    "IDLE",     "DRSELECT",  "DRCAPTURE", "DRSHIFT", "DREXIT1", "DRPAUSE", "DREXIT2",
    "DRUPDATE", "IRSELECT", "IRCAPTURE", "IRSHIFT",   "IREXIT1", "IRPAUSE", "IREXIT2", "IRUPDATE"};
const int kNext[16][2] = {
    {IDLE, RESET},       {IDLE, DRSELECT},    {DRCAPTURE, IRSELECT}, {DRSHIFT, DREXIT1},
    {DRSHIFT, DREXIT1},  {DRPAUSE, DRUPDATE}, {DRPAUSE, DREXIT2},    {DRSHIFT, DRUPDATE},
    {IDLE, DRSELECT},    {IRCAPTURE, RESET},  {IRSHIFT, IREXIT1},    {IRSHIFT, IREXIT1},
    {IRPAUSE, IRUPDATE}, {IRPAUSE, IREXIT2},  {IRSHIFT, IRUPDATE},   {IDLE, DRSELECT},
};

bool Stable(int s) {
  return s == RESET || s == IDLE || s == DRPAUSE || s == IRPAUSE;
}

const std::map<std::pair<int, int>, std::string> kDefaultPaths = {
    {{RESET, IDLE}, "0"},
    // A lone STATE of the state the TAP rests in.
    {{RESET, RESET}, "1"},
    {{IDLE, IDLE}, "0"},
    {{DRPAUSE, DRPAUSE}, "111010"},
    {{IRPAUSE, IRPAUSE}, "1111010"},
    {{RESET, DRPAUSE}, "01010"},
    {{RESET, IRPAUSE}, "011010"},
    {{IDLE, RESET}, "111"},
    {{IDLE, DRPAUSE}, "1010"},
    {{IDLE, IRPAUSE}, "11010"},
    {{DRPAUSE, RESET}, "11111"},
    {{DRPAUSE, IDLE}, "110"},
    {{DRPAUSE, IRPAUSE}, "1111010"},
    {{IRPAUSE, RESET}, "11111"},
    {{IRPAUSE, IDLE}, "110"},
    {{IRPAUSE, DRPAUSE}, "111010"},
    // From a stable state into a shift; from its own Pause without Capture.
    {{RESET, DRSHIFT}, "0100"},
    {{IDLE, DRSHIFT}, "100"},
    {{DRPAUSE, DRSHIFT}, "10"},
    {{IRPAUSE, DRSHIFT}, "11100"},
    {{RESET, IRSHIFT}, "01100"},
    {{IDLE, IRSHIFT}, "1100"},
    {{IRPAUSE, IRSHIFT}, "10"},
    {{DRPAUSE, IRSHIFT}, "111100"},
    // From Exit1 after the last bit to the end state.
    {{DREXIT1, DRPAUSE}, "0"},
    {{DREXIT1, IDLE}, "10"},
    {{DREXIT1, RESET}, "1111"},
    {{IREXIT1, IRPAUSE}, "0"},
    {{IREXIT1, IDLE}, "10"},
    {{IREXIT1, RESET}, "1111"},
};

int StateNamed(const std::string& name) {
  for (int s = 0; s < 16; ++s) {
    if (name == kNames[s]) return s;
  }
  return -1;
}

struct Tok {
  bool vector = false;
  std::string text;
};

// Exact enough for the waits of real files: mantissa digits and a power of ten.
struct Num {
  std::uint64_t mantissa = 0;
  int exponent = 0;
};

bool ReadNum(const std::string& text, Num& n) {
  n = {};
  std::size_t i = 0;
  bool point = false, any = false;
  for (; i < text.size(); ++i) {
    if (text[i] == '.') {
      point = true;
    } else if (std::isdigit(static_cast<unsigned char>(text[i]))) {
      n.mantissa = n.mantissa * 10 + static_cast<std::uint64_t>(text[i] - '0');
      if (point) --n.exponent;
      any = true;
    } else {
      break;
    }
  }
  if (i < text.size() && text[i] == 'E') n.exponent += std::stoi(text.substr(i + 1));
  return any;
}

std::uint64_t CeilTimes(const Num& a, const Num& b) {
  std::uint64_t m = a.mantissa * b.mantissa;
  int e = a.exponent + b.exponent;
  for (; e > 0; --e)
    m *= 10;
  std::uint64_t div = 1;
  for (; e < 0; ++e)
    div *= 10;
  return (m + div - 1) / div;
}

class SvfPlayer {
 public:
  bool Statement(const std::vector<Tok>& t) {
    const std::string& k = t[0].text;
    if (k == "TRST") return true;
    if (k == "FREQUENCY") {
      has_freq_ = t.size() > 1 && ReadNum(t[1].text, freq_);
      return true;
    }
    if (k == "ENDIR" || k == "ENDDR") {
      (k == "ENDIR" ? end_ir_ : end_dr_) = StateNamed(t[1].text);
      return true;
    }
    if (k == "STATE") return State(t);
    if (k == "RUNTEST") return RunTest(t);
    if (k == "SIR" || k == "SDR" || k == "HIR" || k == "HDR" || k == "TIR" || k == "TDR")
      return Scan(t);
    return false;
  }

  Trace trace;

 private:
  struct Memory {
    bool valid = false;
    std::size_t length = 0;
    std::vector<int> tdi, mask, smask;
  };
  struct Part {
    std::vector<int> tdi, expect;
  };

  void Clock(bool tms, int tdi = -1, int expect = -1) {
    trace.Add({tms, tdi, expect});
    at_ = kNext[at_][tms ? 1 : 0];
  }
  void Walk(int to) {
    if (at_ == to) return;
    for (char c : kDefaultPaths.at({at_, to}))
      Clock(c == '1');
  }

  bool State(const std::vector<Tok>& t) {
    for (std::size_t k = 1; k < t.size(); ++k) {
      const int s = StateNamed(t[k].text);
      if (s < 0) return false;
      if (s == at_ && Stable(s) && t.size() == 2) {
        // Alone and already there: the default path all the same.
        for (char c : kDefaultPaths.at({s, s}))
          Clock(c == '1');
      } else if (s == at_ && Stable(s)) {
        Clock(s == RESET);
      } else if (kNext[at_][0] == s) {
        Clock(false);
      } else if (kNext[at_][1] == s) {
        Clock(true);
      } else if (Stable(at_) && Stable(s)) {
        Walk(s);
      } else {
        return false;
      }
    }
    return true;
  }

  bool RunTest(const std::vector<Tok>& t) {
    std::size_t i = 1;
    if (StateNamed(t[i].text) >= 0) {
      run_ = run_end_ = StateNamed(t[i].text);
      ++i;
    }
    std::uint64_t clocks = 0;
    while (i < t.size()) {
      Num n;
      if (t[i].text == "ENDSTATE") {
        run_end_ = StateNamed(t[i + 1].text);
        i += 2;
      } else if (t[i].text == "MAXIMUM") {
        i += 3;
      } else if (ReadNum(t[i].text, n) && i + 1 < t.size() && t[i + 1].text == "TCK") {
        clocks = std::max(clocks, CeilTimes(n, Num{1, 0}));
        i += 2;
      } else if (ReadNum(t[i].text, n) && i + 1 < t.size() && t[i + 1].text == "SEC") {
        if (!has_freq_) return false;
        clocks = std::max(clocks, CeilTimes(n, freq_));
        i += 2;
      } else {
        return false;
      }
    }
    Walk(run_);
    trace.Add({run_ == RESET, -1, -1}, clocks);
    Walk(run_end_);
    return true;
  }

  static std::vector<int> Bits(const std::string& hex, std::size_t length) {
    std::vector<int> bits(length, 0);
    for (std::size_t k = 0; k < hex.size(); ++k) {
      const char c = hex[hex.size() - 1 - k];
      const int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : c - 'A' + 10;
      for (std::size_t j = 0; j < 4; ++j) {
        if (4 * k + j < length) bits[4 * k + j] = (v >> j) & 1;
      }
    }
    return bits;
  }

  bool Scan(const std::vector<Tok>& t) {
    const std::string& kind = t[0].text;
    const std::size_t length = std::stoul(t[1].text);
    std::map<std::string, std::vector<int>> given;
    for (std::size_t i = 2; i + 1 < t.size(); i += 2)
      given[t[i].text] = Bits(t[i + 1].text, length);
    Memory& m = memory_[kind];
    const bool same = m.valid && m.length == length;
    auto pick = [&](const char* key, const std::vector<int>& carried, int fill) {
      if (given.count(key)) return given[key];
      return same ? carried : std::vector<int>(length, fill);
    };
    if (!given.count("TDI") && !same && length > 0) return false;
    m = Memory{true, length, pick("TDI", m.tdi, 0), pick("MASK", m.mask, 1),
               pick("SMASK", m.smask, 1)};
    Part own;
    for (std::size_t i = 0; i < length; ++i) {
      own.tdi.push_back(m.tdi[i] & m.smask[i]);
      own.expect.push_back(given.count("TDO") && m.mask[i] ? given["TDO"][i] : -1);
    }
    const bool ir = kind[1] == 'I';
    if (kind[0] == 'H' || kind[0] == 'T') {
      (kind[0] == 'H' ? header_ : trailer_)[ir] = own;
      return true;
    }
    Part all = header_[ir];
    for (const Part* p : {&own, &trailer_[ir]}) {
      all.tdi.insert(all.tdi.end(), p->tdi.begin(), p->tdi.end());
      all.expect.insert(all.expect.end(), p->expect.begin(), p->expect.end());
    }
    Walk(ir ? IRSHIFT : DRSHIFT);
    for (std::size_t i = 0; i < all.tdi.size(); ++i)
      Clock(i + 1 == all.tdi.size(), all.tdi[i], all.expect[i]);
    Walk(ir ? end_ir_ : end_dr_);
    return true;
  }

  int at_ = RESET;
  int end_ir_ = IDLE, end_dr_ = IDLE;
  int run_ = IDLE, run_end_ = IDLE;
  bool has_freq_ = false;
  Num freq_;
  std::map<std::string, Memory> memory_;
  Part header_[2], trailer_[2];
};

// Comments out, then one statement per ";", words upper case and every
// parenthesised vector one token without blanks.
std::vector<std::vector<Tok>> Statements(std::string_view svf) {
  std::string text;
  for (std::size_t i = 0; i < svf.size(); ++i) {
    if (svf[i] == '!' || (svf[i] == '/' && i + 1 < svf.size() && svf[i + 1] == '/')) {
      while (i < svf.size() && svf[i] != '\n' && svf[i] != '\r')
        ++i;
      text += ' ';
      continue;
    }
    const char c = svf[i];
    if (c == '(' || c == ')' || c == ';') {
      text += std::string(" ") + c + " ";
    } else {
      text += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  std::vector<std::vector<Tok>> statements(1);
  std::istringstream words(text);
  std::string word;
  bool inside = false;
  while (words >> word) {
    auto& current = statements.back();
    if (word == ";") {
      statements.emplace_back();
    } else if (word == "(") {
      inside = true;
      current.push_back({true, ""});
    } else if (word == ")") {
      inside = false;
    } else if (inside) {
      current.back().text += word;
    } else {
      current.push_back({false, word});
    }
  }
  statements.pop_back();
  return statements;
}

}  // namespace

std::uint64_t ClocksFor(const std::string& seconds, const std::string& hz) {
  Num time, rate;
  if (!ReadNum(seconds, time) || !ReadNum(hz, rate)) return 0;
  return CeilTimes(time, rate);
}

Trace TraceSvf(std::string_view svf, std::string& error) {
  SvfPlayer player;
  for (const auto& statement : Statements(svf)) {
    if (!statement.empty() && !player.Statement(statement)) {
      error = "the test's SVF reader cannot play " + statement[0].text;
      break;
    }
  }
  return player.trace;
}

// ---------------------------------------------------------------------------
// The Effect side: the updater's interpreter makes each record, and the
// unit's TAP model carries it out.

namespace {

std::vector<std::uint8_t> TransmissionBytes(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  sim::ParseHexBytes(text, bytes);
  return bytes;
}

}  // namespace

Trace TraceEffect(std::string_view effect, std::string& error, std::vector<int>* lone_stays) {
  sim::PromDevice device(0x0470A0D3, 1024);
  sim::JtagPort port(device);
  Trace trace;
  bool shifting = false;  // inside a shift record: clocks in a shift state are its bits
  std::vector<int> expect;
  std::size_t bit = 0;
  device.SetClockObserver([&](bool tms, bool tdi, std::uint32_t count) {
    const bool in_shift =
        device.state() == sim::TapState::kDrShift || device.state() == sim::TapState::kIrShift;
    if (shifting && in_shift) {
      trace.Add({tms, tdi ? 1 : 0, bit < expect.size() ? expect[bit] : -1}, count);
      ++bit;
    } else {
      trace.Add({tms, -1, -1}, count);
    }
  });

  std::size_t start = 0;
  for (int number = 1; start < effect.size(); ++number) {
    const std::size_t end = std::min(effect.find('\n', start), effect.size());
    const std::string line(effect.substr(start, end - start));
    start = end + 1;
    auto fail = [&](const std::string& why) {
      error = "Effect line " + std::to_string(number) + " (" + line + "): " + why;
      return trace;
    };
    TEffectFields fields;
    const std::string text = ParseEffectLine(line, fields);
    if (text.empty()) continue;
    sim::Record record;
    if (text == kEffectLineError || !sim::ParseRecordLine(text, record))
      return fail("the interpreter refuses it");
    const std::uint8_t kind = record.type & 0x0F;
    bool ok = true;
    if (record.type == kEffectState) {
      if (lone_stays && record.data.size() == 1 &&
          static_cast<std::uint8_t>(device.state()) == record.data[0] &&
          device.state() != sim::TapState::kReset && sim::IsStableState(device.state()))
        lone_stays->push_back(number);
      for (std::uint8_t code : record.data)
        ok = ok && port.MoveTo(*sim::TapStateFromCode(code), record.data.size() == 1);
    } else if (record.type == kEffectRunTest) {
      std::uint32_t count = 0;
      for (std::uint8_t b : record.data)
        count = count << 8 | b;
      ok = port.RunTest(count);
    } else if (record.type == kEffectEndIr || record.type == kEffectEndDr) {
      ok = port.SetEndState(record.type == kEffectEndIr, *sim::TapStateFromCode(record.data[0]));
    } else if (kind == kShiftSir || kind == kShiftSdr) {
      sim::ShiftRequest request;
      request.instruction_register = kind == kShiftSir;
      request.start = (record.type & 0x20) != 0;
      request.end = (record.type & 0x40) != 0;
      request.length = record.address;
      const std::size_t bytes = (request.length + 7u) / 8u;
      if (request.instruction_register) {
        request.tdi = record.data;
      } else if ((record.type & kShiftCompressed) != 0) {
        request.tdi.assign(bytes, record.data[0]);
      } else {
        // The data block: the digits, then the two of their sum, as the unit
        // checks them.
        if (record.data[0] != 2 * bytes + 2 || fields.TdiText.size() != 2 * bytes + 2)
          return fail("the data block does not fit the length");
        request.tdi = TransmissionBytes(fields.TdiText.substr(0, 2 * bytes));
      }
      expect.assign(request.length, -1);
      if ((record.type & kShiftCapture) != 0) {
        // The updater compares whole captured bytes, under MASK when given;
        // the unit sends unused high bits as 0.
        const auto tdo = TransmissionBytes(fields.TdoText);
        const auto mask = fields.MaskText.empty() ? std::vector<std::uint8_t>(bytes, 0xFF)
                                                  : TransmissionBytes(fields.MaskText);
        if (tdo.size() != bytes || mask.size() != bytes)
          return fail("TDO or MASK does not have the captured length");
        for (std::size_t i = 0; i < bytes * 8; ++i) {
          const bool compared = (mask[i / 8] >> (i % 8)) & 1;
          const int value = (tdo[i / 8] >> (i % 8)) & 1;
          if (i < request.length) {
            expect[i] = compared ? value : -1;
          } else if (compared && value != 0) {
            return fail("compares a bit above the length with 1");
          }
        }
      }
      shifting = true;
      bit = 0;
      std::vector<std::uint8_t> captured;
      ok = port.Shift(request, captured);
      shifting = false;
    } else {
      return fail("unknown record type");
    }
    if (!ok) return fail("the unit answers X");
  }
  return trace;
}

}  // namespace svftest
