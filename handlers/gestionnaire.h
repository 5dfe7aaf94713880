#pragma once

// The base of every instruction handler. A handler never touches the serial
// link, the window or another handler: everything it does outside itself goes
// through one of the operations below, each of which stores its value and
// then fires one event synchronously, so the owner's receiver has run by the
// time the operation returns. Handlers rely on that, e.g. by testing BufIn()
// right after Receive().
//
// What the owner is expected to do on each event:
//   OnSend              pass SendText() to the link unchanged
//   OnReceive           SetBufIn(<everything received and not yet consumed>)
//   OnChangeBufIn       take BufIn() back as its receive text
//   OnChangeBusy        record Busy() as the run's busy flag
//   OnInfo / OnError    add InfoText() / ErrorText() to the status display;
//                       an error also stops the run
//   OnChangeMaxProgress / OnStepProgress   drive the per-instruction progress
//   OnChangeDeviceID    record DeviceID(), decide whether the unit is allowed
//                       and call SetUpdateAllowed on every handler
//   OnSpeedUp / OnSpeedDown   switch the line to 57600 / 19200 baud
//
// Each concrete handler has its own non-virtual Step(), one step of its state
// machine; the owner calls it directly. Its static Recognise(instruction)
// tells what its dispatch would take a line as, without taking it.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "handlers/messages.h"

class TGestionnaire;

// Every event carries the handler that fired it. An empty one is not called.
using TNotifyEvent = std::function<void(TGestionnaire* Sender)>;

// Removes every character with a code of 32 or less (blanks and control
// characters) from both ends, or from the front only.
std::string Trim(std::string_view text);
std::string TrimLeft(std::string_view text);

// Repeat requests answered per instruction; the next one ends it.
inline constexpr std::int32_t kMaxRetries = 300;

// File upload, the framing the boot and keyboard handlers share: the image
// file's lines go as they stand, each with CR LF, one in flight at a time;
// "." acknowledges it, "R" asks for it again.
struct TLineUpload {
  std::vector<std::string> lines;
  std::size_t next = 0;  // the line after the one in flight
};

// What one step of an upload found at the front of the received text.
enum class TUploadReply {
  None,      // nothing the upload tests: keep waiting
  Sent,      // a line was acknowledged and the next one sent, or one sent again
  Finished,  // the last line was acknowledged
  Refused,   // "X", left in place for the handler, whose message and order differ
};

// Bytes an upload moves both ways: each line with CR LF and its ".", then the
// verification record with CR LF and its ".".
std::uint64_t UploadBytes(const TLineUpload& upload);

// A problem or warning in a file a script line names (or in the script
// itself), for the listing `FILE:LINE: reason`.
struct TFileFinding {
  std::string file;
  std::int32_t line = 0;
  bool warning = false;
  std::string reason;
};

// The error stop of an image file line the unit would refuse, with the file
// name as the script gives it.
std::string HexLineError(const std::string& name, std::int32_t line);

// What a script line will do, found without a unit: each handler's static
// Plan() reads the line and the files it names the way the instruction will
// when it is reached, and counts the bytes its dialogue moves.
struct TLinePlan {
  std::string problem;          // what the instruction would report; empty when sound
  std::string action;           // what it does, in a few words
  std::string file;             // the file it uses, if any
  std::int32_t count = 0;       // the file's lines, or the Effect file's records
  std::string checksum;         // the verification sum it will send, 4 hex digits
  std::uint64_t bytes = 0;      // both ways, at 57600 baud
  std::uint64_t slowBytes = 0;  // both ways, at the PROM speed (19200 when slow)
  std::uint32_t pauseMs = 0;    // fixed pauses: the wait, the PROM's start
  // Every problem and warning found in the line's files; the first problem
  // is the one `problem` reports.
  std::vector<TFileFinding> findings;
  // For an Effect file that is full SVF, never converted: what to run.
  std::string converterHint;
};

struct HexArea;

// Reads an image file whole and checks every line as the unit will take it,
// all before anything is erased. Returns the instruction's error stop, or
// empty; `findings` (when given) gets every problem and warning with its path.
struct TImageMessages {
  std::string notFound;
  std::string_view empty;
};
std::string LoadImageFile(const std::string& folder, const std::string& name, const HexArea& area,
                          const TImageMessages& messages, std::vector<std::string>& lines,
                          std::vector<TFileFinding>* findings);

// Trims what remains after the first n characters (all of them when the text
// is shorter): how a handler cuts a keyword or an argument off its line.
std::string CutText(std::string_view text, std::size_t n);

// A handler's keywords: the first entry the instruction begins with wins, so
// the table's order is the order in which the keywords are tried.
template <typename K>
struct TKeyword {
  std::string_view text;
  K keyword;
};

template <typename K, std::size_t N>
const TKeyword<K>* FindKeyword(std::string_view instruction, const TKeyword<K> (&table)[N]) {
  for (const TKeyword<K>& entry : table) {
    if (instruction.starts_with(entry.text)) return &entry;
  }
  return nullptr;
}

class TGestionnaire {
 public:
  // The owner frees the handler (the window holds it in a unique_ptr). The
  // pointer is kept as a component keeps its owner; nothing here reads it.
  explicit TGestionnaire(void* Owner = nullptr);
  virtual ~TGestionnaire() = default;
  TGestionnaire(const TGestionnaire&) = delete;
  TGestionnaire& operator=(const TGestionnaire&) = delete;

  // Events, in their declaration order.
  TNotifyEvent OnSend;
  TNotifyEvent OnChangeBufIn;
  TNotifyEvent OnReceive;
  TNotifyEvent OnStepProgress;
  TNotifyEvent OnChangeMaxProgress;
  TNotifyEvent OnInfo;
  TNotifyEvent OnError;
  TNotifyEvent OnChangeBusy;
  TNotifyEvent OnChangeDeviceID;
  TNotifyEvent OnSpeedUp;
  TNotifyEvent OnSpeedDown;

  // Read accessors.
  const std::string& Instruction() const { return instruction_; }
  const std::string& SendText() const { return sendText_; }
  const std::string& BufIn() const { return bufIn_; }
  const std::string& ErrorText() const { return errorText_; }
  const std::string& InfoText() const { return infoText_; }
  std::int32_t MaxProgress() const { return maxProgress_; }
  std::int32_t DeviceID() const { return deviceID_; }
  bool UpdateAllowed() const { return updateAllowed_; }
  std::int32_t RetryCount() const { return retryCount_; }
  bool SlowLink() const { return slowLink_; }
  bool Busy() const { return busy_; }
  void* Owner() const { return owner_; }
  // How often the handler has moved on: became busy or idle, sent, or took
  // a reply it waits for. Characters it drops or leaves unread do not count,
  // so an owner that watches this number sees a unit that talks but never
  // answers as one that has stopped. Reset() leaves it alone: it only grows.
  std::uint32_t Moves() const { return moves_; }

  // Owner-side operations; none of them fires an event.
  void SetInstruction(std::string Text) { instruction_ = std::move(Text); }
  void SetBufIn(std::string Text) { bufIn_ = std::move(Text); }
  void SetUpdateAllowed(bool Flag) { updateAllowed_ = Flag; }
  void SetSlowLink(bool Flag) { slowLink_ = Flag; }

  // Folder in which image and Effect files are looked up, ending with a
  // separator; the program's folder unless the owner names another one.
  // Reset() leaves it alone: it is a setting, not run state.
  void SetFileFolder(std::string Folder);
  const std::string& FileFolder() const { return fileFolder_; }

  // Back to the values after construction, in place and without any event:
  // a busy handler becomes idle without OnChangeBusy. Overrides also put
  // their state machine back to idle and empty their lists.
  virtual void Reset();

  // Stores the message and fires OnError. Overrides also clear Busy and park
  // their state machine in its failed state until Reset().
  virtual void Error(const std::string& Text);

 protected:
  // Handler-side operations: each stores its value (if any), then fires its
  // event, also when the value does not change.
  void SetBusy();
  void ClearBusy();
  void Info(const std::string& Text);
  void SetMaxProgress(std::int32_t N);
  void StepProgress();
  void Send(const std::string& Text);
  void Receive();
  // Drops as many characters from the front of BufIn as Text has (all of
  // them when BufIn is shorter); the characters are not compared with Text.
  void Consume(std::string_view Text);
  void ClearBufIn();
  // Drops the first character of BufIn, if any, as Consume does, for a state
  // that throws away what it does not wait for: not a move.
  void DropJunk();
  void SetDeviceID(std::int32_t N);
  void SpeedUp();
  void SpeedDown();

  // Reply tests on the front of BufIn.
  bool ReplyIs(char marker) const { return !bufIn_.empty() && bufIn_.front() == marker; }
  // A data reply of `length` characters is complete when the first "." in
  // BufIn stands right behind them.
  bool DataReplyReady(std::size_t length) const { return bufIn_.find('.') == length; }

  // Drops the first n characters of the instruction text (all of them when it
  // is shorter) and trims the rest.
  void CutInstruction(std::size_t n);

  // Drops the reply character at the front of BufIn, then fails with `message`.
  void Refuse(const std::string& message);
  // Counts one repeat request of the current instruction; past the budget it
  // fails the instruction and returns false.
  bool CountRetry();

  // Sends a file line or a record: CR LF ends it on the line.
  void SendLine(const std::string& line);
  // Sends the first line of an upload.
  void StartUpload(TLineUpload& upload);
  // One step of an upload's wait: "." steps the progress and sends the next
  // line, "R" sends the line in flight again within the retry budget.
  TUploadReply AwaitUploadReply(TLineUpload& upload);
  // The verification record: type 0x0C at address 0 carrying four hex digits.
  void SendChecksumRecord(const std::string& digits);

  // The handlers cut their keywords and arguments off this text in place.
  std::string instruction_;
  // Repeat requests of the current instruction; set to 0 when one starts.
  std::int32_t retryCount_ = 0;

 private:
  static void Fire(const TNotifyEvent& event, TGestionnaire* sender);
  void ResetFields();

  void* owner_;
  std::string bufIn_;
  std::string sendText_;
  std::string errorText_;
  std::string infoText_;
  std::int32_t maxProgress_ = 100;
  std::int32_t deviceID_ = 0;
  bool updateAllowed_ = false;
  bool slowLink_ = false;
  bool busy_ = false;
  std::string fileFolder_;
  std::uint32_t moves_ = 0;
};
