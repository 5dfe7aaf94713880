#pragma once

// A stand-in for the main window that the handler tests drive handlers
// through: the same receivers on every attached handler, the same path of
// text between the "unit" and a handler, the same status-line rule. A test
// plays the unit by appending replies with Reply(), or by answering each sent
// text through `unit`.
//
// Declare the owner before the handlers it is attached to: the handlers'
// events point at it.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "handlers/gestionnaire.h"

class TestOwner {
 public:
  // Wires the eleven events of `handler` to this owner.
  void Attach(TGestionnaire& handler);

  // Text from the unit, appended to the receive text in arrival order.
  void Reply(std::string_view text) { rx += text; }

  // For a receiver of TInstCrt::OnVersionSame.
  void VersionSame(std::int32_t component);

  // Offers a script line the way the run does: SetInstruction, one Step.
  // Returns whether the handler took it.
  template <class Handler>
  bool Offer(Handler& handler, const std::string& line) {
    handler.SetInstruction(line);
    handler.Step();
    return handler.Busy();
  }

  // Steps a busy handler until it is idle, at most maxSteps times; returns
  // the number of steps taken.
  template <class Handler>
  int StepUntilIdle(Handler& handler, int maxSteps = 10000) {
    int steps = 0;
    while (handler.Busy() && steps < maxSteps) {
      handler.Step();
      ++steps;
    }
    return steps;
  }

  template <class Handler>
  void StepTimes(Handler& handler, int n) {
    for (int i = 0; i < n; ++i)
      handler.Step();
  }

  // Forgets what was recorded so far (not the receive text, nor the flags).
  void ClearRecords();

  // Window state, as the receivers leave it.
  std::string rx;  // received and not yet consumed
  bool busy = false;
  bool stopped = false;  // an error stopped the run
  std::string lastError;
  std::int32_t deviceID = 0;
  bool updateAllowed = false;
  std::int32_t progressMax = 100;
  std::int32_t progressSteps = 0;
  int speedUps = 0;
  int speedDowns = 0;

  // Decides whether a reported device identity may be updated; the product
  // allows every device once its identity has been read.
  std::function<bool(std::int32_t)> allowDevice = [](std::int32_t) { return true; };

  // Called with each sent text after it was recorded, to play the unit.
  std::function<void(const std::string&)> unit;

  // Records.
  std::vector<std::string> sent;    // every OnSend text
  std::vector<std::string> infos;   // every OnInfo text
  std::vector<std::string> errors;  // every OnError text
  std::vector<std::string> status;  // the status display: equal neighbours kept once
  std::vector<std::int32_t> versionsSame;
  // Event names in firing order: "Send", "ChangeBufIn", "Receive",
  // "StepProgress", "ChangeMaxProgress", "Info", "Error", "ChangeBusy",
  // "ChangeDeviceID", "SpeedUp", "SpeedDown", "VersionSame".
  std::vector<std::string> events;

 private:
  void ShowLine(const std::string& text);

  std::vector<TGestionnaire*> handlers_;
};

// Replaces the tick and the sleep while it lives: time moves only when the
// test moves it, or by the amount a handler sleeps.
class FakeClock {
 public:
  explicit FakeClock(std::uint32_t start = 0);
  ~FakeClock();
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;

  void Advance(std::uint32_t ms) { now += ms; }

  std::uint32_t now;
  std::vector<std::uint32_t> sleeps;
};

// A fresh folder for image files, removed with everything in it at the end.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // Ends with a separator, like the program's folder.
  const std::string& Path() const { return path_; }
  // Writes the bytes as they are; returns the full path.
  std::string Write(const std::string& name, const std::string& bytes) const;

 private:
  std::string path_;
};
