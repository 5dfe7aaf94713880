#pragma once

// The interrupt callback shared by both consoles: set and cleared by the main
// thread, called on the thread that receives the interrupt.

#include <functional>
#include <mutex>
#include <utility>

class InterruptHook {
 public:
  void Set(std::function<void()> callback) {
    std::lock_guard guard(mutex_);
    callback_ = std::move(callback);
  }
  // Holding the lock while calling is what lets Set({}) wait for a call in
  // progress.
  void Call() {
    std::lock_guard guard(mutex_);
    if (callback_) callback_();
  }

 private:
  std::mutex mutex_;
  std::function<void()> callback_;
};

InterruptHook& TheInterruptHook();
