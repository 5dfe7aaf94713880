#pragma once

#include <functional>
#include <string>
#include <vector>

// Port numbers a run may select: COM1 to COM255, as Windows numbers them.
inline constexpr int kMaxPortNumber = 255;

// What the main window needs of the serial link: the link state it shares
// with the communication thread, and the thread's two speed changes. The
// product's link is the communication thread; tests use an in-memory one.
class TLinkPort {
 public:
  virtual ~TLinkPort() = default;

  virtual void SelectComPort(int n) = 0;
  // False only when the request itself fails; a port that will not open is
  // reported by the link on its own.
  virtual bool SetLinkOpen(bool open) = 0;
  // The box's text for a port that will not open; the link owns it, so the
  // window says exactly what the communication thread says.
  virtual std::string OpenErrorText() const = 0;
  virtual void PutOutgoing(const std::string& text) = 0;
  virtual std::string TakeIncoming() = 0;
  virtual void SetFastSpeed() = 0;
  virtual void SetSlowSpeed() = 0;

  // How long each reply kept the updater waiting beyond the wire time, in
  // milliseconds, oldest first: from the text put to the first piece of the
  // answer taken, less the wire time of both. Only a link that measures it
  // has any.
  virtual std::vector<double> ReplyLatenciesMs() const { return {}; }

  // Received text is waiting. Always called on the main thread, and the link
  // waits until it returns.
  std::function<void()> OnIncoming;
  // The open port's device went away, with the system's reason; the link has
  // closed the port. Always called on the main thread.
  std::function<void(const std::string& reason)> OnLineLost;
};
