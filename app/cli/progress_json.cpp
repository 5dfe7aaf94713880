#include "app/cli/progress_json.h"

#include "app/cli/report.h"
#include "hex/hex.h"

namespace {

std::string Field(const char* name, const std::string& json) {
  return std::string(",\"") + name + "\":" + json;
}

std::string Field(const char* name, long long value) {
  return Field(name, std::to_string(value));
}

}  // namespace

ProgressJson::ProgressJson(TMainFich& main, std::FILE* out)
    : main_(main), out_(out), start_(std::chrono::steady_clock::now()) {
  main_.OnChanged = [this] { Sync(); };
}

void ProgressJson::Write(const std::string& event, const std::string& fields) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start_)
                      .count();
  const std::string line =
      "{\"t\":" + std::to_string(ms) + ",\"event\":" + JsonString(event) + fields + "}\n";
  std::fputs(line.c_str(), out_);
  // A watcher reads line by line as the run goes, not when a buffer fills.
  std::fflush(out_);
}

void ProgressJson::Status(const std::string& line) {
  // A status line may come in the same step as an instruction's start; the
  // start goes first so that the line belongs to it.
  Sync();
  Write("status", Field("text", JsonString(line)));
}

void ProgressJson::Message(const std::string& text) {
  Write("message", Field("text", JsonString(text)));
}

void ProgressJson::Sync() {
  const TRunRecord& record = main_.Record;
  // The record starts afresh when a run loads its script.
  if (record.Lines.size() < linesBegun_ || record.Skipped.size() < skipped_) {
    linesBegun_ = linesEnded_ = skipped_ = 0;
  }
  if (main_.DeviceID != 0 && main_.DeviceID != deviceId_) {
    Write("identity",
          Field("deviceId", JsonString(WordToHex(static_cast<std::uint16_t>(main_.DeviceID)))));
  }
  deviceId_ = main_.DeviceID;
  for (; skipped_ < record.Skipped.size(); ++skipped_) {
    const TSkipRecord& s = record.Skipped[skipped_];
    Write("skipped", Field("component", s.Component) + Field("reason", JsonString(s.Reason)));
  }
  while (linesEnded_ < record.Lines.size()) {
    const TLineRecord& l = record.Lines[linesEnded_];
    if (linesBegun_ <= linesEnded_) {
      Write("instruction", Field("line", l.Number) + Field("text", JsonString(l.Text)));
      linesBegun_ = linesEnded_ + 1;
    }
    if (l.Outcome.empty()) break;
    Write("instructionEnd", Field("line", l.Number) + Field("text", JsonString(l.Text)) +
                                Field("outcome", JsonString(l.Outcome)) +
                                Field("resends", l.Resends) + Field("durationMs", l.DurationMs));
    ++linesEnded_;
  }
  const TProgressBar& b1 = main_.ProgressBar1;
  const TProgressBar& b2 = main_.ProgressBar2;
  if (b1.Position != bar1_.Position || b1.Max != bar1_.Max || b2.Position != bar2_.Position ||
      b2.Max != bar2_.Max) {
    Write("progress", Field("position", b1.Position) + Field("max", b1.Max) +
                          Field("scriptPosition", b2.Position) + Field("scriptMax", b2.Max));
    bar1_ = b1;
    bar2_ = b2;
  }
}

void ProgressJson::End(int exitStatus) {
  Sync();
  const TRunRecord& record = main_.Record;
  long long resends = 0;
  for (const TLineRecord& l : record.Lines)
    resends += l.Resends;
  std::string position = Field("unitChanged", record.UnitChanged ? "true" : "false");
  if (record.StoppedAt.ScriptLine >= 0) {
    const TRunPosition& at = record.StoppedAt;
    position += Field("stopLine", at.ScriptLine) +
                Field("stopInstruction", JsonString(at.Instruction)) +
                Field("stopFile", JsonString(at.File)) + Field("stopFileLine", at.FileLine) +
                Field("stopPosition", JsonString(PositionText(record)));
  }
  Write("end", Field("result", JsonString(record.Result.empty() ? "unfinished" : record.Result)) +
                   Field("error", JsonString(record.ErrorText)) + Field("exit", exitStatus) +
                   Field("resends", resends) + position);
}
