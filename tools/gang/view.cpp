#include "tools/gang/view.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawGap = std::chrono::milliseconds(100);
constexpr auto kClockGap = std::chrono::milliseconds(1000);
constexpr int kBarWidth = 20;

std::size_t TerminalColumns(std::FILE* out) {
  winsize size{};
  if (::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

std::string Pad(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

// Where the run ended, then why it did not complete: one text for the
// plain line, the live line and the table.
std::string WhyNotDone(const Unit& u) {
  const std::string& at = u.StopPosition();
  return at.empty() ? u.ErrorText() : at + ": " + u.ErrorText();
}

}  // namespace

std::string FormatDuration(Clock::duration d, bool tenths) {
  const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  char buf[32];
  if (tenths) {
    std::snprintf(buf, sizeof buf, "%lld:%02lld.%lld", ms / 60000, ms / 1000 % 60, ms / 100 % 10);
  } else {
    std::snprintf(buf, sizeof buf, "%lld:%02lld", ms / 60000, ms / 1000 % 60);
  }
  return buf;
}

View::View(const std::vector<std::unique_ptr<Unit>>& units, std::FILE* out, bool terminal)
    : units_(units), out_(out), terminal_(terminal) {
  for (const auto& u : units_)
    nameWidth_ = std::max(nameWidth_, u->Name().size());
}

void View::Plain(const Unit& unit, const std::string& text) {
  std::fprintf(out_, "%s: %s\n", unit.Name().c_str(), text.c_str());
  std::fflush(out_);
}

void View::Changed(const Unit& unit, Unit::Change change) {
  if (terminal_) {
    dirty_ = true;
    return;
  }
  switch (change) {
    case Unit::Change::kIdentified:
      Plain(unit, "identified " + unit.Identity());
      break;
    case Unit::Change::kInstruction:
      Plain(unit, "started " + unit.Instruction());
      break;
    case Unit::Change::kMessage:
      Plain(unit, unit.Message());
      break;
    case Unit::Change::kNone:
    case Unit::Change::kProgress:
      break;
  }
}

void View::Finished(const Unit& unit) {
  if (terminal_) {
    dirty_ = true;
    return;
  }
  const std::string result = unit.Result();
  const std::string took = " after " + FormatDuration(unit.Elapsed(), true);
  if (result == "completed") {
    Plain(unit, "done" + took);
  } else {
    // "stopped after 0:01.7 at script.ini:17 (P4 prom1.svf), prom1.svf:4: the unit ..."
    const std::string& at = unit.StopPosition();
    Plain(unit, (result == "stopped" ? "stopped" : "failed") + took + (at.empty() ? "" : " " + at) +
                    ": " + unit.ErrorText());
  }
}

int View::NextTimeoutMs() const {
  if (!terminal_) return -1;
  const auto due = lastDraw_ + (dirty_ ? kRedrawGap : kClockGap);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

void View::Tick() {
  if (!terminal_) return;
  const auto now = Clock::now();
  if (now - lastDraw_ >= kClockGap || (dirty_ && now - lastDraw_ >= kRedrawGap)) Draw();
}

std::string View::LiveLine(const Unit& u) const {
  std::string line = Pad(u.Name(), nameWidth_) + "  " +
                     Pad(u.Identity().empty() ? "----" : u.Identity(), 4) + "  ";
  if (u.Finished()) {
    const std::string result = u.Result();
    line += result == "completed"
                ? result
                : (result == "stopped" ? "stopped: " : "failed: ") + WhyNotDone(u);
  } else if (!u.Message().empty()) {
    line += u.Message();
  } else {
    const int span = u.Max();
    const int percent = span > 0 ? std::clamp(u.Position() * 100 / span, 0, 100) : 0;
    const int filled = percent * kBarWidth / 100;
    std::string instruction = u.Instruction();
    if (instruction.size() > 24) instruction = instruction.substr(0, 23) + "~";
    line += Pad(instruction, 24) + " [" + std::string(static_cast<std::size_t>(filled), '#') +
            std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] " +
            Pad(std::to_string(percent) + "%", 4);
  }
  return line + "  " + FormatDuration(u.Elapsed(), false);
}

void View::Draw() {
  const std::size_t columns = TerminalColumns(out_);
  std::string screen;
  for (const auto& u : units_) {
    std::string line = LiveLine(*u);
    if (line.size() >= columns) line.resize(columns - 1);
    screen += line + "\033[K\n";
  }
  if (screen != shown_) {
    // Back to the first unit's line; lines never wrap, so each unit is one.
    const std::string up = drawn_ ? "\033[" + std::to_string(units_.size()) + "F" : "";
    std::fputs((up + screen).c_str(), out_);
    std::fflush(out_);
    shown_ = screen;
  }
  drawn_ = true;
  dirty_ = false;
  lastDraw_ = Clock::now();
}

void View::Close() {
  if (terminal_) Draw();
}

std::string SummaryTable(const std::vector<std::unique_ptr<Unit>>& units) {
  std::vector<std::vector<std::string>> rows = {
      {"device", "identity", "result", "duration", "resends", "error"}};
  for (const auto& u : units) {
    rows.push_back({u->Name(), u->Identity().empty() ? "-" : u->Identity(), u->Result(),
                    FormatDuration(u->Elapsed(), true), std::to_string(u->Resends()),
                    u->Result() == "completed" ? "" : WhyNotDone(*u)});
  }
  std::vector<std::size_t> width(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < row.size(); ++c)
      width[c] = std::max(width[c], row[c].size());
  }
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c)
      line += c + 1 < row.size() ? Pad(row[c], width[c]) + "  " : row[c];
    while (!line.empty() && line.back() == ' ')
      line.pop_back();
    table += line + "\n";
  }
  return table;
}

std::string SummaryJson(const std::vector<std::unique_ptr<Unit>>& units,
                        const std::vector<std::string>& reports, const std::string& result,
                        int exitStatus, long long durationMs) {
  std::string j = "{\n  \"result\": " + JsonString(result) +
                  ",\n  \"exit\": " + std::to_string(exitStatus) +
                  ",\n  \"durationMs\": " + std::to_string(durationMs) + ",\n  \"units\": [";
  for (std::size_t i = 0; i < units.size(); ++i) {
    const Unit& u = *units[i];
    j += i ? ",\n    " : "\n    ";
    j +=
        "{\"device\": " + JsonString(u.Device()) + ", \"name\": " + JsonString(u.Name()) +
        ", \"identity\": " + JsonString(u.Identity()) + ", \"result\": " + JsonString(u.Result()) +
        ", \"error\": " + JsonString(u.Result() == "completed" ? "" : u.ErrorText()) +
        ", \"durationMs\": " +
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(u.Elapsed()).count()) +
        ", \"resends\": " + std::to_string(u.Resends()) +
        ", \"exit\": " + std::to_string(u.ExitStatus()) +
        ", \"report\": " + JsonString(i < reports.size() ? reports[i] : "") + "}";
  }
  j += units.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return j;
}
