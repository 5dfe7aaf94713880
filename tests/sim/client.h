#pragma once

// A test client that plays scripts to the virtual unit the way the updater
// does, but strictly: every reply must be the one the dialogue calls for, so
// a unit that answers anything else fails the test at that byte.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/unit.h"

namespace simtest {

class Link {
 public:
  virtual ~Link() = default;
  virtual bool Send(std::string_view bytes) = 0;
  // Appends what arrives within the wait (returning at the first bytes);
  // false when the line is gone.
  virtual bool Receive(std::string& into, std::chrono::milliseconds wait) = 0;
  virtual bool SetBaud(int baud) = 0;
};

// The unit in the same process: no time passes, the call sign and the end of
// a text come when the client waits for them.
class InProcessLink : public Link {
 public:
  explicit InProcessLink(sim::Unit& unit) : unit_(unit) {}
  bool Send(std::string_view bytes) override;
  bool Receive(std::string& into, std::chrono::milliseconds wait) override;
  bool SetBaud(int baud) override {
    baud_ = baud;
    return true;
  }

 private:
  void Collect();
  sim::Unit& unit_;
  int baud_ = sim::kFastBaud;
  std::string pending_;
};

// The slave side of the program's pseudo-terminal, set up as the updater sets
// up its serial port: raw, 8N1, 57600.
class TerminalLink : public Link {
 public:
  ~TerminalLink() override;
  bool Open(const std::string& path);
  void Close();
  bool Send(std::string_view bytes) override;
  bool Receive(std::string& into, std::chrono::milliseconds wait) override;
  bool SetBaud(int baud) override;

 private:
  int fd_ = -1;
};

// One Effect statement as record, data block and expected capture.
struct EffectStep {
  std::string record;      // record line without its line end
  std::string data_block;  // for a long data-register shift, else empty
  bool capture = false;
  std::string tdo;  // transmission form
  std::string mask;
};

// Translates one Effect line; false for a malformed line. A line that yields
// nothing leaves step empty.
bool TranslateEffectLine(std::string_view line, std::optional<EffectStep>& step);

class Client {
 public:
  Client(Link& link, std::string files_dir,
         std::chrono::milliseconds timeout = std::chrono::milliseconds(10000))
      : link_(link), files_dir_(std::move(files_dir)), timeout_(timeout) {}

  void set_slow(bool slow) { slow_ = slow; }

  // A whole run: synchronisation, each line, then "FI".
  bool RunScript(const std::vector<std::string>& lines);
  bool Sync();
  bool RunLine(const std::string& line);

  const std::string& error() const { return error_; }
  const std::vector<std::string>& status() const { return status_; }
  std::uint32_t resends_answered() const { return resends_answered_; }
  std::uint32_t captures_checked() const { return captures_checked_; }

  // Building blocks, public for tests that script a dialogue by hand.
  bool Send(std::string_view bytes);
  bool Expect(std::string_view reply);                  // exactly these bytes next
  bool ReadData(std::size_t count, std::string& data);  // count bytes then "."
  bool NextByte(char& c);

 private:
  bool Fail(std::string message);
  bool Upload(const std::string& command, const std::string& file, std::uint16_t first,
              std::uint16_t last);
  bool SendRecordLine(const std::string& line, bool resend_allowed);
  bool PlayEffect(char device, const std::string& file);
  bool PlayStep(const EffectStep& step, std::size_t line_number);
  bool CheckCapture(const EffectStep& step, std::size_t line_number);
  bool SimpleCommand(const std::string& command);
  bool TextCommand(const std::string& command, const std::string& text);

  Link& link_;
  std::string files_dir_;
  std::chrono::milliseconds timeout_;
  bool slow_ = false;
  std::string buffer_;
  std::string error_;
  std::vector<std::string> status_;
  std::uint32_t resends_answered_ = 0;
  std::uint32_t captures_checked_ = 0;
};

std::vector<std::string> ReadLines(const std::string& path);

}  // namespace simtest
