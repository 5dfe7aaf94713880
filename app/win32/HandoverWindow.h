#pragma once

// The main-thread hand-over of the window front end: the communication
// thread posts a message to a message-only window of this object and waits;
// whatever message loop the main thread is in at the time (the program's own,
// or the nested one of a modal box or dialog) dispatches it and the work runs
// there.

#include <windows.h>

#include <functional>

#include "platform/handover.h"

class HandoverWindow final : public platform::MainThreadHandover {
 public:
  // Call on the main thread: the window belongs to the thread that makes it.
  explicit HandoverWindow(HINSTANCE instance);
  // Everything that hands work over must be gone before this.
  ~HandoverWindow() override;
  HandoverWindow(const HandoverWindow&) = delete;
  HandoverWindow& operator=(const HandoverWindow&) = delete;

  // False when the window could not be made; nothing would ever run then.
  bool Valid() const { return window_ != nullptr; }

  bool RunOnMainThread(const std::function<void()>& work) override;
  void Close() override { queue_.Close(); }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  HWND window_ = nullptr;
  // One message per piece of work; the queue does the waiting and releasing.
  platform::HandoverQueue queue_;
};
