#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tools/gang/event_line.h"

// One unit on the line: its qsr470-update child, the pipes it writes, and
// what its progress objects have said so far.
class Unit {
 public:
  using Clock = std::chrono::steady_clock;

  // What a line of the child's output changed, for the plain display.
  enum class Change { kNone, kIdentified, kInstruction, kMessage, kProgress };

  Unit(std::string name, std::string device) : name_(std::move(name)), device_(std::move(device)) {}
  ~Unit();
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;

  // Starts the updater with `argv`, its stdout and stderr on pipes. A child
  // that cannot be started is a unit that failed, not an error of the gang.
  void Start(const std::vector<std::string>& argv);
  void Interrupt();  // STOP, as Ctrl-C is for the updater
  // Reaps the child if it has ended; true once it has been reaped.
  bool Reap();

  int OutFd() const { return outFd_; }
  int ErrFd() const { return errFd_; }
  // Reads what is waiting on `fd`; each whole line of stdout is applied and
  // reported to `changed`. At the end of a pipe the pipe is closed.
  void Read(int fd, const std::function<void(Change)>& changed);

  bool Finished() const { return reaped_ && outFd_ < 0 && errFd_ < 0; }
  bool Completed() const { return Finished() && exitStatus_ == 0 && result_ == "completed"; }

  const std::string& Name() const { return name_; }
  const std::string& Device() const { return device_; }
  const std::string& Identity() const { return identity_; }
  const std::string& Instruction() const { return instruction_; }
  const std::string& Message() const { return message_; }  // shown while no run shows
  int Position() const { return position_; }
  int Max() const { return max_; }
  // "completed", "error", "stopped" or "failed" once finished.
  std::string Result() const;
  // Why the unit did not complete; for a stop, whether it was changed.
  std::string ErrorText() const;
  // "at script.ini:3 (P1 keyb1.hex), keyb1.hex:2" when the run ended during
  // an instruction, as the updater says it; empty otherwise.
  const std::string& StopPosition() const { return stopPosition_; }
  long long Resends() const { return resends_; }
  int ExitStatus() const { return exitStatus_; }
  Clock::duration Elapsed() const { return (reaped_ ? end_ : Clock::now()) - start_; }

 private:
  static constexpr std::size_t kLongestLine = 64 * 1024;

  Change Apply(const std::string& line);
  bool ReadSome(int& fd, std::string& buffer);

  std::string name_;
  std::string device_;
  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  bool reaped_ = false;
  int exitStatus_ = -1;
  std::string startError_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point end_ = start_;
  std::string out_;
  std::string err_;
  std::string firstErrLine_;  // an updater that ends at once says why first
  std::string lastErrLine_;

  bool ended_ = false;  // the end object came
  std::string identity_;
  std::string instruction_;
  std::string message_;
  int position_ = 0;
  int max_ = 0;
  std::string result_;
  std::string error_;
  long long resends_ = 0;
  bool unitChanged_ = false;
  std::string stopInstruction_;
  std::string stopPosition_;
};
