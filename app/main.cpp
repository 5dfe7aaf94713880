#include "app/main.h"

#include "app/About.h"
#include "app/JobCheck.h"
#include "app/JobManifest.h"
#include "app/StopText.h"

#include <string>
#include <string_view>
#include <utility>

#include "handlers/InstCourante.h"
#include "handlers/gestionnaire.h"
#include "handlers/progboot.h"
#include "handlers/progjtag.h"
#include "handlers/progpsd.h"
#include "hex/hex.h"
#include "platform/files.h"
#include "platform/tick.h"

namespace {

constexpr const char* kStartDevice = "Start the device while pushing the ENTER button";
constexpr const char* kCompleted = "Program operation completed";
// Enough of what a stalled unit sent to tell chatter from a stray reply.
constexpr std::size_t kStallBytesShown = 32;

// Printable characters as they are, the rest as C escapes, so a line of
// call signs and noise stays one readable line.
std::string EscapeBytes(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (u < 0x20 || u > 0x7E) {
      out += "\\x" + ByteToHex(u);
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

TMainFich::TMainFich(std::unique_ptr<TLinkPort> link, std::optional<std::string> scriptArgument)
    : link_(std::move(link)), scriptArgument_(std::move(scriptArgument)) {
  // The job's files are looked up beside its script, so the script must keep
  // meaning the file the user named even if the current folder changes.
  if (scriptArgument_) scriptArgument_ = platform::AbsolutePath(*scriptArgument_);
  static const char* const kComNames[9] = {"Com11", "Com21", "Com31", "Com41", "Com51",
                                           "Com61", "Com71", "Com81", "Com91"};
  for (int i = 0; i < 9; ++i) {
    Com[i].Name = kComNames[i];
    Com[i].Caption = "Com " + std::to_string(i + 1);
  }
  FormCreate();
}

// Members go in the reverse of their declaration order, so the link, declared
// after the handlers, goes before them: its destructor stops the communication thread, after
// which no hand-over can step a handler. The handlers go after it; being
// destroyed fires none of their events, so none reaches the link.
TMainFich::~TMainFich() = default;

void TMainFich::FormCreate() {
  ComClick(1);
  link_->OnIncoming = [this] { LinkDataArrived(); };
  link_->OnLineLost = [this](const std::string& reason) { LineLost(reason); };
  Script.clear();
  RunState = TRunState::Idle;
  Timer1.Interval = kRunTickMs;
  Timer1.Enabled = true;
  MemoStatus.Lines.clear();
  DeviceID = 0;
  UpdateAllowed = false;
  Caption = std::string(kProgramTitle) + "  " + DeviceIdText();
  // The component selection dialog is a member: it lives as long as the window.
  if (platform::FileExists("readid.ini")) {
    ReadId.Visible = true;
    Quit.Visible = true;
  }
  ProgBoot = std::make_unique<TProgBoot>(this);
  WireHandler(*ProgBoot);
  InstCrt = std::make_unique<TInstCrt>(this);
  WireHandler(*InstCrt);
  InstCrt->OnVersionSame = [this](TGestionnaire*, std::int32_t component) {
    VersionSame(component);
  };
  ProgPsd = std::make_unique<TProgPsd>(this);
  WireHandler(*ProgPsd);
  ProgJtag = std::make_unique<TProgJtag>(this);
  WireHandler(*ProgJtag);
  handlers_ = {ProgBoot.get(), InstCrt.get(), ProgPsd.get(), ProgJtag.get()};
  MAuto.Checked = false;
  MManual.Checked = true;
  Fast.Checked = true;
  Slow.Checked = false;
}

void TMainFich::WireHandler(TGestionnaire& handler) {
  handler.OnSend = [this](TGestionnaire* s) {
    CountSentFileLine(s);
    link_->PutOutgoing(s->SendText());
  };
  handler.OnChangeBufIn = [this](TGestionnaire* s) {
    // A reply taken while a writing instruction is under way is the unit
    // acknowledging it: from here on a stop may leave the unit half updated.
    if (lineWrites_ && s == recordHandler_ && s->BufIn().size() < RxBuffer.size()) {
      Record.UnitChanged = true;
    }
    RxBuffer = s->BufIn();
  };
  handler.OnReceive = [this](TGestionnaire* s) { s->SetBufIn(RxBuffer); };
  handler.OnStepProgress = [this](TGestionnaire*) {
    ProgressBar1.StepIt();
    Changed();
  };
  handler.OnChangeMaxProgress = [this](TGestionnaire* s) {
    ProgressBar1.SetMax(s->MaxProgress());
    Changed();
  };
  handler.OnInfo = [this](TGestionnaire* s) { ShowInfo(s->InfoText()); };
  handler.OnError = [this](TGestionnaire* s) { ShowError(s->ErrorText()); };
  handler.OnChangeBusy = [this](TGestionnaire* s) { Busy = s->Busy(); };
  handler.OnChangeDeviceID = [this](TGestionnaire* s) {
    DeviceID = s->DeviceID();
    // Only synchronisation reports an identity, together with the boot checksum.
    Record.DeviceId = WordToHex(static_cast<std::uint16_t>(DeviceID));
    Record.BootChecksum = WordToHex(ProgBoot->BootChecksum());
    CheckUpdateAllowed();
    SetUpdateAllowedOnHandlers();
    FormPaint();
  };
  handler.OnSpeedUp = [this](TGestionnaire*) { link_->SetFastSpeed(); };
  handler.OnSpeedDown = [this](TGestionnaire*) { link_->SetSlowSpeed(); };
}

void TMainFich::SetFileFolder(const std::string& folder) {
  fileFolder_ = folder;
  for (TGestionnaire* h : handlers_)
    h->SetFileFolder(folder);
}

void TMainFich::Changed() {
  if (OnChanged) OnChanged();
}

std::string TMainFich::DeviceIdText() const {
  if (DeviceID == 0) return "(Device Id Unknown)";
  return "(Device Id : " + WordToHex(static_cast<std::uint16_t>(DeviceID)) + ")";
}

const std::string& TMainFich::ConverterHint() const {
  return converterHint_;
}

void TMainFich::JobNote(const TFileFinding& finding) {
  if (OnJobNote) OnJobNote(FindingText(finding));
}

void TMainFich::FormPaint() {
  Caption = std::string(kProgramTitle) + "  " + DeviceIdText();
  Changed();
}

void TMainFich::FormClose() {
  Timer1.Enabled = false;
  link_->SetLinkOpen(false);
  Script.clear();
}

void TMainFich::Close() {
  if (Closing) return;
  Closing = true;
  FormClose();
  Changed();
  if (OnClose) OnClose();
}

void TMainFich::ShowInfo(const std::string& text) {
  const auto& lines = MemoStatus.Lines;
  const std::string& last = lines.empty() ? std::string() : lines.back();
  if (text == last) return;
  MemoStatus.Lines.push_back(text);
  if (OnStatusLine) OnStatusLine(text);
  Changed();
}

void TMainFich::ShowError(const std::string& text) {
  LastError = text;
  RunState = TRunState::ErrorStop;
  ShowInfo(text);
}

void TMainFich::CheckUpdateAllowed() {
  UpdateAllowed = false;
  if (AllowedDeviceIDs[0] == 0) {
    UpdateAllowed = true;
    return;
  }
  for (const std::uint16_t id : AllowedDeviceIDs) {
    if (DeviceID == id) UpdateAllowed = true;
  }
}

void TMainFich::SetUpdateAllowedOnHandlers() {
  for (TGestionnaire* h : handlers_)
    h->SetUpdateAllowed(UpdateAllowed);
}

void TMainFich::ResetHandlers() {
  for (TGestionnaire* h : handlers_)
    h->Reset();
}

TGestionnaire* TMainFich::BusyHandler() const {
  for (TGestionnaire* h : handlers_) {
    if (h->Busy()) return h;
  }
  return nullptr;
}

// --- component skipping ---

void TMainFich::SkipComponent(int component, const char* reason) {
  SkipComponentLines(Script, component);
  Record.Skipped.push_back({component, reason});
}

TJobSettings TMainFich::JobSettings() const {
  TJobSettings settings;
  settings.script = ScriptPath;
  settings.folder = ProgBoot->FileFolder();
  settings.slow = Slow.Checked;
  for (int component = 0; component < kComponentCount; ++component)
    settings.skipped[component] = MManual.Checked && !CompSel.Selected(component);
  return settings;
}

void TMainFich::DeselectComponents() {
  for (int component = 0; component <= 5; ++component) {
    if (!CompSel.Selected(component)) SkipComponent(component, "not selected");
  }
}

void TMainFich::VersionSame(std::int32_t component) {
  if (!MAuto.Checked) return;
  if (component >= 4 && component <= 15) {
    SkipComponent(component, "version current");
  } else if (component >= 0 && component <= 3) {
    for (int bank = 0; bank <= 3; ++bank)
      SkipComponent(bank, "version current");
  }
}

// --- buttons, menus, timer, link ---

int TMainFich::CheckedPort() const {
  if (portAboveMenu_ != 0) return portAboveMenu_;
  for (int i = 1; i < 9; ++i) {
    if (Com[i].Checked) return i + 1;
  }
  return 1;
}

void TMainFich::StartClick() {
  switch (RunState) {
    case TRunState::Idle:
      ScriptPath = StartScriptPath(scriptArgument_);
      Quit.Enabled = false;
      RunState = TRunState::Load;
      break;
    case TRunState::Completed:
      Close();
      break;
    case TRunState::Synchronise:
    case TRunState::Load:
    case TRunState::LetLinkOpen:
    case TRunState::ErrorStop:
    case TRunState::ErrorReport:
    case TRunState::Finish:
    case TRunState::Unused:
    case TRunState::NextLine:
    case TRunState::Execute:
    default:
      link_->SetLinkOpen(false);
      RunState = TRunState::Idle;
      Quit.Enabled = true;
      EndRecordLine("stopped");
      EndRun("stopped");
      break;
  }
  Changed();
}

void TMainFich::ReadIdClick() {
  ScriptPath = "readid.ini";
  RunState = TRunState::Load;
  Changed();
}

void TMainFich::QuitClick() {
  Close();
}

void TMainFich::Timer1Timer() {
  Timer1.Enabled = false;
  RunStep();
  if (!Closing) Timer1.Enabled = true;
}

void TMainFich::LinkDataArrived() {
  if (Closing) return;
  // A hand-over that comes while a step (or the modal box inside one) is
  // running keeps its text for the next step but must not start one.
  const std::string incoming = link_->TakeIncoming();
  RxBuffer += incoming;
  heardSinceMove_ += incoming;
  if (heardSinceMove_.size() > kStallBytesShown) {
    heardSinceMove_.erase(0, heardSinceMove_.size() - kStallBytesShown);
  }
  if (stepping_) return;
  Timer1.Enabled = false;
  RunStep();
  if (!Closing) Timer1.Enabled = true;
}

void TMainFich::LineLost(const std::string& reason) {
  switch (RunState) {
    case TRunState::LetLinkOpen:
    case TRunState::Synchronise:
    case TRunState::Execute:
    case TRunState::NextLine:
    case TRunState::Finish:
      ShowError("Serial line lost (" + reason + ")");
      break;
    case TRunState::Idle:
    case TRunState::Load:
    case TRunState::ErrorStop:
    case TRunState::ErrorReport:
    case TRunState::Completed:
    case TRunState::Unused:
      break;  // no run is using the line, or it is already ending
  }
}

bool TMainFich::StopOnStall() {
  if (replyTimeoutS_ == 0 || platform::TickMs() - lastMoved_ < replyTimeoutS_ * 1000u) return false;
  stallText_ = heardSinceMove_.empty()
                   ? std::string("Nothing came from the unit while the run waited")
                   : "Last bytes from the unit while the run waited: \"" +
                         EscapeBytes(heardSinceMove_) + "\"";
  ShowError("No reply from the unit for " + std::to_string(replyTimeoutS_) + " s");
  return true;
}

std::uint32_t TMainFich::HandlerMoves() const {
  std::uint32_t moves = 0;
  for (const TGestionnaire* h : handlers_)
    moves += h->Moves();
  return moves;
}

void TMainFich::NoteProgress(TRunState before, std::uint32_t movesBefore) {
  // A running wait and the time spent inside the step (the PROM handler's
  // pause after it opens its file) are the run's own, not the unit's.
  if (RunState == before && HandlerMoves() == movesBefore && !InstCrt->Waiting()) return;
  lastMoved_ = platform::TickMs();
  heardSinceMove_.clear();
}

void TMainFich::ComClick(int port) {
  portAboveMenu_ = port > 9 ? port : 0;
  for (int i = 0; i < 9; ++i)
    Com[i].Checked = (i == port - 1);
  Changed();
}

void TMainFich::MAutoClick() {
  MAuto.Checked = true;
  MManual.Checked = false;
  Changed();
}

void TMainFich::MManualClick() {
  MManual.Checked = true;
  MAuto.Checked = false;
  Changed();
  if (OnShowCompSel) OnShowCompSel(CompSel);
}

void TMainFich::FastClick() {
  Fast.Checked = true;
  Slow.Checked = false;
  Changed();
}

void TMainFich::SlowClick() {
  Slow.Checked = true;
  Fast.Checked = false;
  Changed();
}

void TMainFich::AboutQSR470Updater1Click() {
  if (OnShowAbout) OnShowAbout(AboutBox);
}

// --- the run ---

void TMainFich::RunStep() {
  if (Closing || stepping_) return;
  stepping_ = true;
  const TRunState before = RunState;
  const std::uint32_t movesBefore = HandlerMoves();
  switch (RunState) {
    case TRunState::Idle:
      Port1.Enabled = true;
      Speed1.Enabled = true;
      Program1.Enabled = true;
      ProgressBar1.SetPosition(0);
      Start.Caption = "START";
      if (ReadId.Visible) ReadId.Enabled = true;
      ShowInfo(kIdlePrompt);
      ResetHandlers();
      DeviceID = 0;
      UpdateAllowed = false;
      break;

    case TRunState::Load: {
      Record = TRunRecord{};
      stallText_.clear();
      converterHint_.clear();
      LastErrorDetail.clear();
      Record.ScriptPath = ScriptPath;
      // From here every file of the job is read from the disk once; the
      // check, the manifest's hashes and the run all see those bytes.
      platform::HoldJobFiles(true);
      if (ScriptTooLarge(ScriptPath)) {
        JobNote(ScriptTooLargeFinding(ScriptPath));
        ShowError(kSyntaxError + std::string("1"));
        break;
      }
      if (platform::ReadTextLines(ScriptPath, Script) != platform::ReadStatus::kOk) {
        ShowError(ScriptPath + kNotFound);
        break;
      }
      // A job is a folder: its files lie beside its script, wherever that is.
      for (TGestionnaire* h : handlers_)
        h->SetFileFolder(fileFolder_.value_or(platform::FolderOf(ScriptPath)));
      link_->SelectComPort(CheckedPort());
      Port1.Enabled = false;
      Program1.Enabled = false;
      Start.Caption = "STOP";
      if (ReadId.Visible) ReadId.Enabled = false;
      ProgressBar1.SetPosition(0);
      int counted = 1;
      for (const std::string& line : Script) {
        if (!line.empty() && line.find("rem") == std::string::npos) ++counted;
      }
      ProgressBar2.SetMax(counted);
      ProgressBar2.SetPosition(0);
      for (TGestionnaire* h : handlers_)
        h->SetSlowLink(Slow.Checked);
      // A job that would fail part way must fail before the unit is told
      // anything: a half-updated unit is worse than one left alone.
      const TJobSettings settings = JobSettings();
      const TJob job = CheckJob(Script, settings);
      jobFiles_.clear();
      for (const TJobLine& line : job.lines) {
        if (!line.plan.file.empty())
          jobFiles_.push_back({line.number, {line.plan.file, line.plan.count}});
      }
      // The factory's manifest speaks first, so that a changed file reports
      // as changed and not as whatever its changed bytes break.
      const TJobFiles files = CheckJobFiles(settings.folder, ScriptPath, JobFileNames(job),
                                            GatherTrustedKeys(TrustedKeyFiles));
      if (!files.note.empty()) ShowInfo(files.note);
      if (!files.problem.empty()) {
        LastErrorDetail = files.detail;
        ShowError(files.problem);
        break;
      }
      const TJobLine* bad = job.FirstProblem();
      for (const TFileFinding& finding : job.Findings()) {
        if (finding.warning) JobNote(finding);
      }
      if (bad) {
        // The error stop's place: the first problem of the line that stops.
        for (const TFileFinding& finding : bad->plan.findings) {
          if (finding.warning) continue;
          JobNote(finding);
          break;
        }
        converterHint_ = bad->plan.converterHint;
        ShowError(bad->plan.problem);
        break;
      }
      RunState = TRunState::LetLinkOpen;
      // The unit starts every run at 57600 baud; a run stopped during a slow
      // transfer must not leave the next one listening at 19200.
      link_->SetFastSpeed();
      if (!link_->SetLinkOpen(true)) ShowError(link_->OpenErrorText());
      break;
    }

    case TRunState::LetLinkOpen:
      RunState = TRunState::Synchronise;
      break;

    case TRunState::Synchronise:
      LineIndex = 0;
      RxBuffer.clear();
      if (MManual.Checked) DeselectComponents();
      ShowInfo(kStartDevice);
      RunState = TRunState::Execute;
      ProgBoot->SetInstruction("SYN");
      ProgBoot->Step();
      BeginRecordLine(0, "SYN");
      break;

    case TRunState::Execute:
      if (StopOnStall()) break;
      StepBusyHandlers();
      if (!Busy && RunState != TRunState::ErrorStop) {
        ProgressBar2.StepIt();
        EndRecordLine("done");
        RunState = TRunState::NextLine;
      }
      break;

    case TRunState::NextLine:
      if (LineIndex < static_cast<std::int32_t>(Script.size())) {
        CurrentLine = Trim(Script[static_cast<std::size_t>(LineIndex)]);
        ++LineIndex;
        ProgressBar1.SetPosition(ProgressBar1.Min);
        if (CurrentLine.empty() || CurrentLine.starts_with("rem")) break;
        DispatchLine();
      } else {
        EndOfScript();
      }
      break;

    case TRunState::Finish:
      if (StopOnStall()) break;
      InstCrt->Step();
      if (!Busy && RunState != TRunState::ErrorStop) {
        EndRecordLine("done");
        RunState = TRunState::Completed;
      }
      break;

    case TRunState::Completed:
      RxBuffer.clear();
      ShowInfo(kCompleted);
      Quit.Enabled = true;
      if (ReadId.Visible) {
        ReadId.Enabled = true;
        Start.Caption = "START";
      } else {
        Start.Caption = "QUIT";
      }
      link_->SetLinkOpen(false);
      RunState = TRunState::Idle;
      Port1.Enabled = true;
      Speed1.Enabled = true;
      Program1.Enabled = true;
      ProgressBar1.SetPosition(0);
      EndRun("completed");
      break;

    case TRunState::ErrorStop:
      RxBuffer.clear();
      link_->SetLinkOpen(false);
      EndRecordLine("error");
      EndRun("error");
      RunState = TRunState::ErrorReport;
      break;

    case TRunState::ErrorReport:
      Changed();
      if (OnErrorBox) OnErrorBox(LastError);
      stepping_ = false;
      Close();
      return;

    case TRunState::Unused:
    default:
      RunState = TRunState::Idle;
      break;
  }
  NoteProgress(before, movesBefore);
  stepping_ = false;
  Changed();
}

void TMainFich::StepBusyHandlers() {
  if (ProgBoot->Busy()) ProgBoot->Step();
  if (InstCrt->Busy()) InstCrt->Step();
  if (ProgPsd->Busy()) ProgPsd->Step();
  if (ProgJtag->Busy()) ProgJtag->Step();
}

void TMainFich::DispatchLine() {
  ProgBoot->SetInstruction(CurrentLine);
  ProgBoot->Step();
  InstCrt->SetInstruction(CurrentLine);
  InstCrt->Step();
  ProgPsd->SetInstruction(CurrentLine);
  ProgPsd->Step();
  ProgJtag->SetInstruction(CurrentLine);
  ProgJtag->Step();
  if (Busy) {
    BeginRecordLine(LineIndex, CurrentLine);
    RunState = TRunState::Execute;
  } else {
    ShowError(kSyntaxError + std::to_string(LineIndex));
  }
}

void TMainFich::EndOfScript() {
  CurrentLine = "FI";
  InstCrt->SetInstruction("FI");
  InstCrt->Step();
  if (Busy) {
    BeginRecordLine(0, "FI");
    RunState = TRunState::Finish;
  } else {
    ShowError(kSyntaxError + std::to_string(LineIndex));
  }
}

// --- the run record ---

void TMainFich::BeginRecordLine(int number, const std::string& text) {
  lineStart_ = platform::TickMs();
  recordHandler_ = BusyHandler();
  Record.Lines.push_back({number, text, "", 0, 0});
  lineWrites_ = WritesToUnit(recordHandler_, text);
  lineFile_ = {};
  fileLinesSent_ = 0;
  lastRetries_ = 0;
  // Only uploads and Effect files send a file. Auto mode may have turned
  // the checked line into "NP" since, which sends none.
  if (!lineWrites_ || recordHandler_ == InstCrt.get()) return;
  for (const auto& [at, file] : jobFiles_) {
    if (at == number) lineFile_ = file;
  }
  // The handler's first send came in the dispatch, before the line was
  // recorded: an upload sends its command then, never a file line.
}

bool TMainFich::WritesToUnit(const TGestionnaire* handler, const std::string& line) const {
  if (handler == nullptr) return false;
  if (handler == ProgBoot.get()) {
    return TProgBoot::Recognise(line) == TProgBoot::TCommand::ProgramBoot;
  }
  if (handler == InstCrt.get()) {
    const auto command = TInstCrt::Recognise(line);
    return command == TInstCrt::TCommand::kV || command == TInstCrt::TCommand::kUv ||
           command == TInstCrt::TCommand::kOp;
  }
  if (handler == ProgPsd.get()) {
    const auto command = TProgPsd::Recognise(line);
    return command && command->kind == TProgPsd::TCommand::Kind::Program;
  }
  if (handler == ProgJtag.get()) {
    return TProgJtag::Recognise(line) == TProgJtag::TCommand::Program;
  }
  return false;
}

// Uploads send each file line with CR LF, and a line asked for again with
// a repeat request counted first; what comes after the last file line is
// the verification record.
void TMainFich::CountSentFileLine(const TGestionnaire* handler) {
  if (handler != recordHandler_ || lineFile_.name.empty() || handler == ProgJtag.get()) return;
  if (!handler->SendText().ends_with("\r\n")) return;
  if (handler->RetryCount() != lastRetries_) {
    lastRetries_ = handler->RetryCount();
    return;
  }
  if (fileLinesSent_ < lineFile_.lines) ++fileLinesSent_;
}

void TMainFich::EndRecordLine(const char* outcome) {
  if (Record.Lines.empty() || !Record.Lines.back().Outcome.empty()) return;
  TLineRecord& line = Record.Lines.back();
  line.Outcome = outcome;
  line.DurationMs = platform::TickMs() - lineStart_;
  line.Resends = recordHandler_ ? recordHandler_->RetryCount() : 0;
  if (line.Outcome == "done") {
    if (lineWrites_) Record.UnitChanged = true;
    return;
  }
  TRunPosition& at = Record.StoppedAt;
  at.ScriptLine = line.Number;
  at.Instruction = line.Text;
  at.File = lineFile_.name;
  // The Effect file is read as it is played; its reader knows the line.
  at.FileLine =
      recordHandler_ == ProgJtag.get() && !at.File.empty() ? ProgJtag->LinesRead() : fileLinesSent_;
}

namespace {

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string PositionText(const TRunRecord& record) {
  const TRunPosition& at = record.StoppedAt;
  if (at.ScriptLine < 0) return {};
  std::string text = "at " + BaseName(record.ScriptPath) + ":" + std::to_string(at.ScriptLine) +
                     " (" + at.Instruction + ")";
  if (!at.File.empty() && at.FileLine > 0) {
    text += ", " + BaseName(at.File) + ":" + std::to_string(at.FileLine);
  }
  return text;
}

std::string AfterStopText(const TRunRecord& record) {
  const TRunPosition& at = record.StoppedAt;
  return "Stopped: " +
         StopVerdict(record.UnitChanged, at.ScriptLine >= 0 ? at.Instruction : std::string()) + ".";
}

void TMainFich::EndRun(const char* result) {
  if (!Record.Result.empty()) return;
  platform::HoldJobFiles(false);
  Record.Result = result;
  if (Record.Result == "error") Record.ErrorText = LastError;
}
