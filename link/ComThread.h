#pragma once

// The communication thread and the link state through which it meets the
// main thread.
//
// The main thread never touches the port. It selects the port, sets the open
// flag, puts the text to send and takes the text received, all through the
// link state below; the thread follows the open flag, writes what was put,
// reads what arrives (at most 100 bytes at a time, while nothing received
// waits to be taken) and has the main thread run OnIncoming for each piece,
// waiting until it has returned. So a receiver never overlaps a step of the
// run on the main thread. With nothing to do the thread sleeps until the
// line or the link state changes.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "link/ComDrv32.h"

namespace platform {
class MainThreadHandover;
}

// ---- Link state: one for the process, every operation under one lock and
// callable from any thread.

// Puts every item back to its initial value: COM1, no device path, open flag
// clear, nothing pending either way. ComThread's constructor calls it.
void InitLinkState();
// n = 1..kMaxComPortNumber selects COMn; any other n selects COM1. Ports
// beyond TComPortNumber's sixteen are opened by their device name.
void SelectComPort(int n);
// A device to open instead of the selected port number (the command line's
// --device); an empty path goes back to the port number.
void SelectComDevice(std::string path);
int LinkComPort();  // 1 for COM1
std::string LinkComDevice();
// The thread sees the flag only when it looks: a clear followed by a set
// before its next cycle leaves the port as it was.
void SetLinkOpen(bool flag);
bool LinkOpen();
// Replaces a text that the thread has not taken yet. A text put while the
// port is closed is written right after the next successful open.
void PutOutgoing(std::string text);
// Returns the received text waiting and empties the slot ("" when none).
std::string TakeIncoming();

// The text of the message shown when the selected port cannot be opened.
inline constexpr char kOpenErrorText[] = "Error while opening ";

class ComThread {
 public:
  using TNotifyEvent = std::function<void(ComThread* Sender)>;
  // Message is kOpenErrorText; Detail is the system's reason, for a front
  // end that has somewhere to put it.
  using TOpenErrorEvent =
      std::function<void(ComThread* Sender, const std::string& Message, const std::string& Detail)>;
  // Reason is the system's account of the loss.
  using TLineLostEvent = std::function<void(ComThread* Sender, const std::string& Reason)>;

  // Initialises the link state, makes the port component (COM1, 57600 baud,
  // 8N1, DTR and RTS on, no flow control) and starts the thread. The
  // notifications run through `handover`, which must outlive this object.
  // After a failed open is reported, the thread waits `openRetryPause`, or
  // until the open flag is cleared, before it tries again.
  explicit ComThread(platform::MainThreadHandover& handover,
                     std::chrono::milliseconds openRetryPause = std::chrono::seconds(1));
  // Ends the thread in order: stop requested, the hand-over closed (so a
  // notification in flight cannot wait for a main thread that is busy here),
  // thread joined; then the port is closed and the component goes. Call it
  // on the main thread, never from inside OnIncoming or OnOpenError.
  ~ComThread();
  ComThread(const ComThread&) = delete;
  ComThread& operator=(const ComThread&) = delete;

  // 57600 and 19200 baud. Called on the main thread; the thread applies the
  // speed between its cycles, before it writes the next text, never during a
  // read or a write. On an open port that discards what waits in the queues.
  void SetFastSpeed();
  void SetSlowSpeed();

  // Run on the main thread; assign them on the main thread, right after
  // construction. OnIncoming fires after every read that returned data, with
  // the piece waiting in TakeIncoming(); OnOpenError after every failed open.
  TNotifyEvent OnIncoming;
  TOpenErrorEvent OnOpenError;
  // Once when the open port's device goes away (a cable or adapter pulled,
  // the other end hung up). The port is closed and stays closed until the
  // open flag is cleared and set again.
  TLineLostEvent OnLineLost;

 private:
  enum class PortState { kClosed, kOpen };

  void Execute();
  void ApplyRequestedSpeed();
  void OpenSelectedPort();
  void Transfer();
  void ReportLineLost();
  void RequestSpeed(TComPortBaudRate speed);
  void Wake();

  platform::MainThreadHandover& handover_;
  const std::chrono::milliseconds openRetryPause_;
  std::unique_ptr<TCommPortDriver> driver_;
  std::array<std::uint8_t, 100> readBuffer_{};
  std::atomic<bool> stop_ = false;
  std::atomic<int> requestedSpeed_ = -1;  // a TComPortBaudRate, or -1 for none
  // The open flag's clear count when the line was lost: until the flag is
  // cleared again the thread leaves the port closed.
  std::optional<std::uint64_t> lostAtClears_;
  std::thread thread_;  // last: starts once the rest is built
};
