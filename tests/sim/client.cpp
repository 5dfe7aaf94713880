#include "client.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <sstream>

#include "hex/hex.h"
#include "platform/files.h"
#include "sim/record.h"

namespace simtest {

using sim::kEsc;
using Clock = std::chrono::steady_clock;

namespace {

std::string Trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 32)
    ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32)
    --end;
  return std::string(text.substr(begin, end - begin));
}

std::string Shown(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (c == kEsc) return "ESC";
  if (u < 0x20 || u > 0x7E) return "<" + ByteToHex(u) + ">";
  return std::string("'") + c + "'";
}

std::string ReverseBytes(const std::string& text) {
  std::string out;
  for (std::size_t at = text.size(); at >= 2; at -= 2)
    out += text.substr(at - 2, 2);
  return out;
}

std::string Upper(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

void AndMask(const std::string& mask, std::string& value) {
  if (mask.size() != value.size()) return;
  for (std::size_t k = 0; k < value.size(); ++k) {
    value[k] = HexDigit(HexValue(mask[k]) & HexValue(value[k]));
  }
}

}  // namespace

bool InProcessLink::Send(std::string_view bytes) {
  unit_.Receive(bytes, baud_);
  Collect();
  return true;
}

void InProcessLink::Collect() {
  for (const sim::Chunk& chunk : unit_.TakeOutput()) {
    for (char c : chunk.bytes)
      pending_ += chunk.baud == baud_ ? c : sim::Unit::Garble(c);
  }
}

bool InProcessLink::Receive(std::string& into, std::chrono::milliseconds) {
  // Nothing runs between the client's calls, so what is not here now comes
  // only when the line falls quiet: the end of a text, or the next call sign.
  if (pending_.empty()) {
    if (unit_.WantsTextEnd()) {
      unit_.EndOfText();
    } else if (unit_.WantsCallSign()) {
      unit_.EmitCallSign();
    }
    Collect();
  }
  if (pending_.empty()) return false;
  into += pending_;
  pending_.clear();
  return true;
}

TerminalLink::~TerminalLink() {
  Close();
}

bool TerminalLink::Open(const std::string& path) {
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return false;
  termios settings{};
  if (tcgetattr(fd_, &settings) != 0) return false;
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&settings, B57600);
  cfsetospeed(&settings, B57600);
  return tcsetattr(fd_, TCSANOW, &settings) == 0;
}

void TerminalLink::Close() {
  if (fd_ >= 0) (void)close(fd_);  // closing is the hang-up the unit waits for
  fd_ = -1;
}

bool TerminalLink::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd fd{fd_, POLLOUT, 0};
    if (poll(&fd, 1, 1000) < 0 && errno != EINTR) return false;
  }
  return true;
}

bool TerminalLink::Receive(std::string& into, std::chrono::milliseconds wait) {
  pollfd fd{fd_, POLLIN, 0};
  const int ready = poll(&fd, 1, static_cast<int>(wait.count()));
  if (ready < 0) return errno == EINTR;
  if (ready == 0) return true;
  char buffer[512];
  const ssize_t n = read(fd_, buffer, sizeof buffer);
  if (n > 0) {
    into.append(buffer, static_cast<std::size_t>(n));
    return true;
  }
  return n < 0 && (errno == EAGAIN || errno == EINTR);
}

bool TerminalLink::SetBaud(int baud) {
  termios settings{};
  if (tcgetattr(fd_, &settings) != 0) return false;
  const speed_t speed = baud == sim::kSlowBaud ? B19200 : B57600;
  cfsetispeed(&settings, speed);
  cfsetospeed(&settings, speed);
  return tcsetattr(fd_, TCSANOW, &settings) == 0;
}

bool TranslateEffectLine(std::string_view line, std::optional<EffectStep>& step) {
  step.reset();
  const std::string text = Trim(line);
  if (text.empty()) return false;
  if (text.starts_with("//") || text.starts_with("TRST")) return true;
  const std::size_t semicolon = text.find(';');
  if (semicolon == std::string::npos) return true;  // unterminated: yields nothing
  std::string body;
  for (char c : text.substr(0, semicolon)) {
    if (c == '(' || c == ')') {
      body += ' ';
      body += c;
      body += ' ';
    } else {
      body += c;
    }
  }
  std::istringstream in(body);
  std::vector<std::string> tokens;
  for (std::string token; in >> token;)
    tokens.push_back(token);
  if (tokens.empty()) return false;
  static const std::map<std::string, int> kStates = {
      {"RESET", 0x00},    {"IDLE", 0x01},     {"DRSELECT", 0x02},  {"DRCAPTURE", 0x03},
      {"DRSHIFT", 0x04},  {"DREXIT1", 0x05},  {"DRPAUSE", 0x06},   {"DREXIT2", 0x07},
      {"DRUPDATE", 0x08}, {"IRSELECT", 0x09}, {"IRCAPTURE", 0x0A}, {"IRSHIFT", 0x0B},
      {"IREXIT1", 0x0C},  {"IRPAUSE", 0x0D},  {"IREXIT2", 0x0E},   {"IRUPDATE", 0x0F},
  };
  const std::string& keyword = tokens[0];
  EffectStep out;
  if (keyword == "ENDIR" || keyword == "ENDDR" || keyword == "STATE") {
    std::string codes;
    for (std::size_t k = 1; k < tokens.size(); ++k) {
      const auto it = kStates.find(tokens[k]);
      if (it == kStates.end()) return false;
      codes += ByteToHex(static_cast<std::uint8_t>(it->second));
    }
    const std::uint8_t type = keyword == "STATE" ? 5 : keyword == "ENDIR" ? 6 : 7;
    if (type != 5 && codes.size() != 2) return false;
    out.record = MakeHexRecord(type, 0, codes);
  } else if (keyword == "RUNTEST") {
    if (tokens.size() != 3 || tokens[2] != "TCK") return false;
    out.record = MakeHexRecord(4, 0, LongToHex(static_cast<std::uint32_t>(std::stoul(tokens[1]))));
  } else if (keyword.starts_with("SIR") || keyword.starts_with("SDR")) {
    const bool ir = keyword[2] == 'R' && keyword[1] == 'I';
    const char variant = keyword.size() > 3 ? keyword[3] : ' ';
    std::uint8_t type = ir ? 0x02 : 0x03;
    if (variant == 'S') type |= 0x20;
    if (variant == 'E') type |= 0x40;
    if (variant != 'C' && variant != 'S' && variant != 'E') type |= 0x60;
    if (tokens.size() < 2) return false;
    const auto length = static_cast<std::uint16_t>(std::stoul(tokens[1]));
    std::map<std::string, std::string> vectors;
    for (std::size_t k = 2; k + 3 < tokens.size() + 1; k += 4) {
      if (tokens[k + 1] != "(" || tokens[k + 3] != ")") return false;
      vectors[tokens[k]] = ReverseBytes(Upper(tokens[k + 2]));
    }
    std::string tdi = vectors["TDI"];
    if (!vectors["SMASK"].empty()) AndMask(vectors["SMASK"], tdi);
    out.tdo = vectors["TDO"];
    out.mask = vectors["MASK"];
    out.capture = !out.tdo.empty();
    if (out.capture) type |= 0x10;
    if (ir) {
      out.record = MakeHexRecord(type, length, tdi);
    } else if (tdi.size() >= 2 &&
               std::all_of(tdi.begin(), tdi.end(), [&](char c) { return c == tdi[0]; })) {
      out.record = MakeHexRecord(type | 0x80, length, tdi.substr(0, 2));
    } else {
      std::vector<std::uint8_t> bytes;
      if (!sim::ParseHexBytes(tdi, bytes)) return false;
      out.data_block = tdi + ByteToHex(sim::ByteSum(bytes));
      out.record =
          MakeHexRecord(type, length, ByteToHex(static_cast<std::uint8_t>(out.data_block.size())));
    }
  } else {
    return false;
  }
  step = out;
  return true;
}

bool Client::Fail(std::string message) {
  if (error_.empty()) error_ = std::move(message);
  return false;
}

bool Client::Send(std::string_view bytes) {
  return link_.Send(bytes) || Fail("the line is closed");
}

bool Client::NextByte(char& c) {
  const auto deadline = Clock::now() + timeout_;
  while (buffer_.empty()) {
    const auto now = Clock::now();
    if (now >= deadline) return Fail("no reply from the unit");
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    if (!link_.Receive(buffer_, wait + std::chrono::milliseconds(1)) && buffer_.empty()) {
      return Fail("no reply from the unit");
    }
  }
  c = buffer_[0];
  buffer_.erase(0, 1);
  return true;
}

bool Client::Expect(std::string_view reply) {
  for (char expected : reply) {
    char c = 0;
    if (!NextByte(c)) return false;
    if (c != expected) {
      return Fail("expected " + Shown(expected) + " from the unit, got " + Shown(c));
    }
  }
  return true;
}

bool Client::ReadData(std::size_t count, std::string& data) {
  data.clear();
  for (std::size_t k = 0; k < count; ++k) {
    char c = 0;
    if (!NextByte(c)) return false;
    data += c;
  }
  return Expect(".");
}

bool Client::Sync() {
  char c = 0;
  do {
    if (!NextByte(c)) return false;
  } while (c != '%');
  buffer_.clear();
  if (!Send("%")) return false;
  // Call signs already on their way may come before the acknowledgement.
  do {
    if (!NextByte(c)) return false;
    if (c != '%' && c != '.') return Fail("expected '.' after the call sign, got " + Shown(c));
  } while (c != '.');
  std::string data;
  if (!Send("17") || !Expect(".") || !ReadData(8, data)) return false;
  status_.push_back("Boot Checksum : " +
                    WordToHex(static_cast<std::uint16_t>(HexToWord(data) + 0xA000)));
  status_.push_back("Device ID : " + data.substr(4));
  return true;
}

bool Client::SimpleCommand(const std::string& command) {
  return Send(command) && Expect(".");
}

bool Client::TextCommand(const std::string& command, const std::string& text) {
  return Send(command) && Expect(".") && Send(text) && Expect(".");
}

bool Client::SendRecordLine(const std::string& line, bool resend_allowed) {
  for (int attempt = 0; attempt <= 300; ++attempt) {
    char c = 0;
    if (!Send(line + "\r\n") || !NextByte(c)) return false;
    if (c == '.') return true;
    if (c != 'R' || !resend_allowed) return Fail("line " + line + " answered " + Shown(c));
    ++resends_answered_;
  }
  return Fail("Too Many Transmission Error");
}

bool Client::Upload(const std::string& command, const std::string& file, std::uint16_t first,
                    std::uint16_t last) {
  std::vector<std::string> lines;
  if (platform::ReadTextLines(files_dir_ + "/" + file, lines) != platform::ReadStatus::kOk) {
    return Fail(file + " File not found");
  }
  if (!Send(command) || !Expect(".") || !Expect(".")) return false;
  for (const std::string& line : lines) {
    if (!SendRecordLine(line, true)) return false;
  }
  const std::string checksum =
      MakeHexRecord(0x0C, 0x0000, WordToHex(HexFileChecksum(lines, first, last)));
  return SendRecordLine(checksum, command != "PB");
}

bool Client::CheckCapture(const EffectStep& step, std::size_t line_number) {
  for (int attempt = 0; attempt <= 300; ++attempt) {
    std::string decoded;
    for (;;) {
      char c = 0;
      if (!NextByte(c)) return false;
      if (c != kEsc) {
        if (HexValue(c) == 0 && c != '0') return Fail("captured data holds " + Shown(c));
        decoded += c;
        continue;
      }
      if (!NextByte(c)) return false;
      if (c == '.') break;
      if (c == kEsc) {
        decoded += "1B";
      } else if (c == '0') {
        decoded += "00";
      } else {
        return Fail("captured data holds ESC " + Shown(c));
      }
    }
    std::vector<std::uint8_t> bytes;
    if (!sim::ParseHexBytes(decoded, bytes) || bytes.empty()) {
      return Fail("captured data is not digit pairs: " + decoded);
    }
    const std::uint8_t sum = bytes.back();
    bytes.pop_back();
    if (sim::ByteSum(bytes) != sum) {
      ++resends_answered_;
      if (!Send("R")) return false;
      continue;
    }
    if (!Send(".") || !Expect(".")) return false;
    std::string data = decoded.substr(0, decoded.size() - 2);
    std::string expected = step.tdo;
    if (!step.mask.empty()) {
      AndMask(step.mask, data);
      AndMask(step.mask, expected);
    }
    if (data != expected) {
      return Fail("TDO mismatch at Effect line " + std::to_string(line_number) + ": expected " +
                  expected + ", got " + data);
    }
    ++captures_checked_;
    return true;
  }
  return Fail("Too Many Transmission Error");
}

bool Client::PlayStep(const EffectStep& step, std::size_t line_number) {
  const std::string where = " at Effect line " + std::to_string(line_number);
  for (int attempt = 0; attempt <= 300; ++attempt) {
    char c = 0;
    if (!Send(step.record + "\r\n") || !NextByte(c)) return false;
    if (c == 'R') {
      ++resends_answered_;
      continue;
    }
    if (!step.data_block.empty()) {
      if (c != kEsc) return Fail("expected ESC, got " + Shown(c) + where);
      if (!Expect(".") || !Send(step.data_block) || !NextByte(c)) return false;
      if (c == 'R') {
        ++resends_answered_;
        continue;
      }
    }
    if (step.capture && c != 'X') {
      buffer_.insert(buffer_.begin(), c);
      return CheckCapture(step, line_number);
    }
    if (c != '.') return Fail("statement answered " + Shown(c) + where);
    return true;
  }
  return Fail("Too Many Transmission Error");
}

bool Client::PlayEffect(char device, const std::string& file) {
  std::vector<std::string> lines;
  if (platform::ReadTextLines(files_dir_ + "/" + file, lines) != platform::ReadStatus::kOk) {
    return Fail(file + " File not found");
  }
  const std::string digit(1, device);
  if (slow_) {
    if (!SimpleCommand("S" + digit) || !link_.SetBaud(sim::kSlowBaud)) return false;
  }
  if (!SimpleCommand("P" + digit)) return false;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    std::optional<EffectStep> step;
    if (!TranslateEffectLine(lines[k], step)) {
      return Fail("Error in Effect file line : " + std::to_string(k + 1));
    }
    if (step && !PlayStep(*step, k + 1)) return false;
  }
  if (!SimpleCommand(":00000001FF\r\n")) return false;
  return link_.SetBaud(sim::kFastBaud) || Fail("cannot set the speed");
}

bool Client::RunLine(const std::string& raw) {
  const std::string line = Trim(raw);
  if (line.empty() || line.starts_with("rem")) return true;
  if (line.starts_with("P") && Trim(line.substr(1)).starts_with("B")) {
    std::string rest = Trim(Trim(line.substr(1)).substr(1));
    return Upload("PB", rest.substr(0, rest.find(' ')), 0x4000, 0x5FFF);
  }
  if (line.starts_with("prompt")) {
    status_.push_back(Trim(line.substr(6)));
    return true;
  }
  if (line.starts_with("wait")) return true;  // nothing to wait for here
  for (const char* bare : {"RS", "NP", "FI"}) {
    if (line.starts_with(bare)) return SimpleCommand(bare);
  }
  if (line.starts_with("V") || line.starts_with("T")) {
    const std::string rest = Trim(line.substr(1));
    if (rest.empty()) return Fail("no component");
    const std::string command = line.substr(0, 1) + rest[0];
    const std::string text = Trim(rest.substr(1));
    if (line[0] == 'V') return TextCommand(command, text);
    std::string version;
    if (!Send(command) || !Expect(".") || !ReadData(4, version)) return false;
    status_.push_back(version == text ? "Version current" : "Version " + version);
    return true;
  }
  if (line.starts_with("UV") || line.starts_with("OP")) {
    return TextCommand(line.substr(0, 2), Trim(line.substr(2)));
  }
  const char letter = line[0];
  const std::string rest = Trim(line.substr(1));
  const char digit = rest.empty() ? '\0' : rest[0];
  if (letter == 'P' && digit >= '0' && digit <= '3') {
    return Upload(std::string("P") + digit, Trim(rest.substr(1)), digit == '0' ? 0x0000 : 0x8000,
                  digit == '0' ? 0x7FFF : 0xFFFF);
  }
  if (letter == 'P' && (digit == '4' || digit == '5'))
    return PlayEffect(digit, Trim(rest.substr(1)));
  if (letter == 'D' && digit >= '0' && digit <= '5') {
    std::string id;
    const std::size_t length = digit <= '3' ? 2 : 16;
    if (!Send(std::string("D") + digit) || !Expect(".") || !ReadData(length, id)) return false;
    status_.push_back("ID Number : " + (length == 16 ? ReverseBytes(id) : id));
    return true;
  }
  if (letter == 'F' && digit >= '0' && digit <= '5') return SimpleCommand(std::string("F") + digit);
  return Fail("Syntax Error in script line: " + line);
}

bool Client::RunScript(const std::vector<std::string>& lines) {
  if (!Sync()) return false;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    if (!RunLine(lines[k])) {
      error_ = "script line " + std::to_string(k + 1) + ": " + error_;
      return false;
    }
  }
  return SimpleCommand("FI");
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  if (platform::ReadTextLines(path, lines) != platform::ReadStatus::kOk) lines.clear();
  return lines;
}

}  // namespace simtest
