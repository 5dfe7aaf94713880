#pragma once

// The main window's engine, without any toolkit: the run state machine, the
// receivers of the handlers' events, component skipping, and the state of
// the window's controls as plain data. A front end renders that state,
// forwards clicks, timer ticks and the link's hand-overs, and carries out
// the modal requests (error box, dialogs, closing).

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/About.h"
#include "app/CompDlg.h"
#include "app/Controls.h"
#include "app/LinkPort.h"

class TGestionnaire;
struct TJobSettings;
struct TFileFinding;
class TProgBoot;
class TInstCrt;
class TProgPsd;
class TProgJtag;

// States of the run. Values are those the run has always used, so a state
// number in a trace or a report means the same thing everywhere.
enum class TRunState : std::uint8_t {
  Idle = 0,
  Synchronise = 1,
  Load = 2,
  LetLinkOpen = 3,
  ErrorStop = 4,
  ErrorReport = 5,
  Finish = 6,
  Completed = 7,
  Unused = 8,
  NextLine = 9,
  Execute = 10,
};

// What a run did, for front ends that keep a record of it.
struct TLineRecord {
  int Number = 0;  // 1-based line of the script; 0 for the start synchronisation
  std::string Text;
  std::string Outcome;  // "done", "error", "stopped" or "skipped"
  int Resends = 0;
  std::uint32_t DurationMs = 0;
};

struct TSkipRecord {
  int Component = 0;
  std::string Reason;  // "not selected" or "version current"
};

// Where a run stood when it stopped on an error or a STOP during an
// instruction.
struct TRunPosition {
  int ScriptLine = -1;  // 1-based; 0 for the start synchronisation and the final FI; -1: none
  std::string Instruction;
  std::string File;  // the upload or Effect file as the script names it; empty for others
  int FileLine = 0;  // the file's line last sent; 0 when none was
};

struct TRunRecord {
  std::string ScriptPath;
  std::string BootChecksum;  // four hex digits, empty when none was read
  std::string DeviceId;      // four hex digits, empty when none was read
  std::vector<TLineRecord> Lines;
  std::vector<TSkipRecord> Skipped;
  std::string Result;  // "completed", "error" or "stopped"; empty while running
  std::string ErrorText;
  TRunPosition StoppedAt;
  // The unit acknowledged a command that writes to it (erase, upload,
  // record, version write, PROM session): after a stop it may be half
  // updated.
  bool UnitChanged = false;
};

// "at script.ini:3 (P1 keyb1.hex), keyb1.hex:2": where the run stopped, for
// the line a front end shows before the error. Empty when it stopped
// outside any instruction.
std::string PositionText(const TRunRecord& record);
// What a STOP left behind: that the unit was not changed, or that it may be
// incompletely updated, naming the instruction under way.
std::string AfterStopText(const TRunRecord& record);

class TMainFich {
 public:
  // The idle state's status line; it speaks of the window's button.
  static constexpr const char* kIdlePrompt = "Click on button START to begin program operation";
  static constexpr std::uint16_t AllowedDeviceIDs[] = {0};

  // `link` is the serial link the window owns for its whole life;
  // `scriptArgument` is the program's first command-line argument, if any.
  TMainFich(std::unique_ptr<TLinkPort> link, std::optional<std::string> scriptArgument);
  ~TMainFich();
  TMainFich(const TMainFich&) = delete;
  TMainFich& operator=(const TMainFich&) = delete;

  // Requests to the front end. Each may be left empty.
  std::function<void()> OnChanged;                       // any control changed
  std::function<void(const std::string&)> OnStatusLine;  // a line was added
  std::function<void(const std::string&)> OnErrorBox;    // modal; returns when dismissed
  // Before a run reaches the unit: each warning of the job check, and the
  // place of the problem that stops it, as "FILE:LINE: reason".
  std::function<void(const std::string&)> OnJobNote;
  std::function<void(TCompSelDlg&)> OnShowCompSel;    // modal
  std::function<void(const TAboutBox&)> OnShowAbout;  // modal
  std::function<void()> OnClose;                      // the window has closed

  // Window events.
  void FormPaint();
  void FormClose();
  void Close();  // closing the window by any means: Quit, system menu, error
  void StartClick();
  void ReadIdClick();
  void QuitClick();
  void Timer1Timer();
  void LinkDataArrived();
  void LineLost(const std::string& reason);
  // Com11Click .. Com91Click for port 1 .. 9; a port above 9 unchecks them all.
  void ComClick(int port);
  void MAutoClick();
  void MManualClick();
  void FastClick();
  void SlowClick();
  void AboutQSR470Updater1Click();

  // The run.
  void RunStep();
  void ShowInfo(const std::string& text);
  void ShowError(const std::string& text);
  void CheckUpdateAllowed();
  void DeselectComponents();
  void VersionSame(std::int32_t component);
  std::string DeviceIdText() const;
  void JobNote(const TFileFinding& finding);
  // The job as the next run will check it: its folder, speed and the
  // components Manual mode leaves out.
  TJobSettings JobSettings() const;
  // After an error stop at an Effect file that is full SVF, never
  // converted: the line that says what to run; empty otherwise.
  const std::string& ConverterHint() const;

  // The port the next run opens: Com 1 to Com 9 of the Port menu, or a port
  // above them that a front end offers beside the menu (1 to 255).
  int CheckedPort() const;
  // Folder in which image and Effect files are looked up, for every run,
  // instead of the folder of the script that runs.
  void SetFileFolder(const std::string& folder);
  // For front ends that must not wait for ever: a run that has not moved on
  // for this long (no handler or run state changed, no waiting handler took
  // a reply it waits for, however much else the unit sent) ends as an error
  // stop. 0, the window's way, waits until STOP.
  void SetReplyTimeout(std::uint32_t seconds) { replyTimeoutS_ = seconds; }
  // After a run that ended at that time-out: one line on what the unit sent
  // while the run waited, its last bytes (at most 32, escaped) or that
  // nothing came; empty after any other end.
  const std::string& StallText() const { return stallText_; }

  // Minisign public keys trusted beside the installed ones (--trusted-key).
  std::vector<std::string> TrustedKeyFiles;

  // Fields of the run.
  std::vector<std::string> Script;
  std::string ScriptPath;
  TRunState RunState = TRunState::Idle;
  std::int32_t LineIndex = 0;
  std::string CurrentLine;
  bool Busy = false;
  std::string LastError;
  // Why a job was refused before the port opened: the key, the hashes, the
  // manifest's line. Empty for every other stop.
  std::string LastErrorDetail;
  std::string RxBuffer;
  std::int32_t DeviceID = 0;
  bool UpdateAllowed = false;
  bool Closing = false;

  std::unique_ptr<TProgBoot> ProgBoot;
  std::unique_ptr<TInstCrt> InstCrt;
  std::unique_ptr<TProgPsd> ProgPsd;
  std::unique_ptr<TProgJtag> ProgJtag;
  TCompSelDlg CompSel;
  TAboutBox AboutBox;

  // The window's controls.
  std::string Caption;  // the title
  TMemo MemoStatus;
  TProgressBar ProgressBar1;  // the current instruction
  TProgressBar ProgressBar2;  // the script
  TButton Start{"START"};
  TButton ReadId{"Read Id", true, false};
  TButton Quit{"Quit", true, false};
  TTimer Timer1;
  TMenuItem Port1{"Port1", "&Port"};
  TMenuItem Com[9];  // Com11 .. Com91
  TMenuItem Program1{"Program1", "&Mode"};
  TMenuItem MAuto{"MAuto", "&Auto"};
  TMenuItem MManual{"MManual", "&Manual"};
  TMenuItem Speed1{"Speed1", "&Speed"};
  TMenuItem Fast{"Fast", "Fast"};
  TMenuItem Slow{"Slow", "Slow"};
  TMenuItem About1{"About1", "&About"};
  TMenuItem AboutQSR470Updater1{"AboutQSR470Updater1", "&About QSR470 Updater..."};

  // The record of the current or last run.
  TRunRecord Record;

  TLinkPort& Link() { return *link_; }

 private:
  void FormCreate();
  void WireHandler(TGestionnaire& handler);
  void Changed();
  void SkipComponent(int component, const char* reason);
  void DispatchLine();
  void EndOfScript();
  void StepBusyHandlers();
  void ResetHandlers();
  void SetUpdateAllowedOnHandlers();
  void BeginRecordLine(int number, const std::string& text);
  void EndRecordLine(const char* outcome);
  void EndRun(const char* result);
  TGestionnaire* BusyHandler() const;
  // Whether the handler's line writes to the unit; and the file it sends.
  bool WritesToUnit(const TGestionnaire* handler, const std::string& line) const;
  void CountSentFileLine(const TGestionnaire* handler);
  // Ends the run when it has not moved on for the time-out.
  bool StopOnStall();
  std::uint32_t HandlerMoves() const;
  // Called after each step: notes when the run last moved on.
  void NoteProgress(TRunState before, std::uint32_t movesBefore);

  std::unique_ptr<TLinkPort> link_;
  std::optional<std::string> scriptArgument_;
  int portAboveMenu_ = 0;                  // the checked port when above Com 9
  std::optional<std::string> fileFolder_;  // SetFileFolder's, for every run
  bool stepping_ = false;                  // a step, or the modal box inside one, is running
  std::uint32_t lineStart_ = 0;
  std::uint32_t replyTimeoutS_ = 0;
  std::uint32_t lastMoved_ = 0;  // tick at the end of the last step that moved the run on
  std::string heardSinceMove_;   // the last bytes received since then, at most 32
  std::string stallText_;
  std::string converterHint_;
  TGestionnaire* recordHandler_ = nullptr;  // the handler of the recorded line
  // The recorded line's file: its name, its line count, and how many of its
  // lines have gone out (not counting repeats).
  struct TFilePlan {
    std::string name;
    std::int32_t lines = 0;
  };
  std::vector<std::pair<int, TFilePlan>> jobFiles_;  // by script line, from the job check
  TFilePlan lineFile_;
  bool lineWrites_ = false;
  std::int32_t fileLinesSent_ = 0;
  std::int32_t lastRetries_ = 0;
  std::array<TGestionnaire*, 4> handlers_{};
};
