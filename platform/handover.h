#pragma once

// Hand-over of work to the main thread. The communication thread uses it for
// everything that must not overlap a step of the run (the notification of
// received data, the message box of a failed open): it hands the work over and
// waits until the main thread has run it.
//
// Each front end implements MainThreadHandover in its own event loop (the
// Windows front end with a message to a window of its own); HandoverQueue is a
// ready-made one for loops that are not a GUI (the command line, tests).

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

namespace platform {

class MainThreadHandover {
 public:
  virtual ~MainThreadHandover() = default;

  // Called by a thread other than the main thread: runs `work` on the main
  // thread and returns true once it has run. Returns false without running it
  // once Close() has been called, also to a caller that was already waiting
  // when its work had not started yet. Never call it from the main thread:
  // it would wait for itself.
  virtual bool RunOnMainThread(const std::function<void()>& work) = 0;

  // Closing has begun: refuse work from now on and release every caller
  // whose work has not started. Work already running finishes. Called on the
  // main thread; idempotent.
  virtual void Close() = 0;
};

// The main thread blocks in WaitAndRunUntil/WaitAndRunOne and is woken by a
// hand-over, a deadline or Close(); nothing spins. An event loop that also
// has a timer passes the timer's next due time as the deadline. The queue
// must outlive every thread that hands work to it.
class HandoverQueue final : public MainThreadHandover {
 public:
  // `onArrival`, when given, is called on the handing thread each time work
  // is queued (under the queue's lock, so keep it short and non-blocking):
  // an event loop that cannot block here uses it to wake itself, and then
  // runs the work with a deadline in the past.
  explicit HandoverQueue(std::function<void()> onArrival = {}) : onArrival_(std::move(onArrival)) {}
  HandoverQueue(const HandoverQueue&) = delete;
  HandoverQueue& operator=(const HandoverQueue&) = delete;

  bool RunOnMainThread(const std::function<void()>& work) override;
  void Close() override;
  bool Closed() const;

  // Main thread: waits until work has been handed over, then runs the oldest
  // piece and returns true; returns false at the deadline, or at once once
  // closed. A deadline in the past runs work already waiting, if any.
  bool WaitAndRunUntil(std::chrono::steady_clock::time_point deadline);
  bool WaitAndRunOne(std::chrono::milliseconds timeout);

 private:
  struct Item {
    const std::function<void()>* work;
    bool done = false;       // ran (or threw) on the main thread
    bool cancelled = false;  // refused by Close() before it started
  };

  mutable std::mutex mutex_;
  std::condition_variable arrived_;   // main thread waits for items
  std::condition_variable finished_;  // callers wait for their item
  std::deque<Item*> queue_;
  bool closed_ = false;
  std::function<void()> onArrival_;
};

}  // namespace platform
