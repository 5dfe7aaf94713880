#include "platform/handover.h"

namespace platform {

bool HandoverQueue::RunOnMainThread(const std::function<void()>& work) {
  // The item lives on this caller's stack; the queue only points to it, and
  // this function does not return before the main thread is done with it.
  Item item{&work};
  std::unique_lock lock(mutex_);
  if (closed_) return false;
  queue_.push_back(&item);
  if (onArrival_) onArrival_();
  // Woken while this thread still held the lock, the main thread would only
  // block on it again: a second wake-up on every hand-over.
  lock.unlock();
  arrived_.notify_one();
  lock.lock();
  finished_.wait(lock, [&] { return item.done || item.cancelled; });
  return item.done;
}

void HandoverQueue::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  for (Item* item : queue_)
    item->cancelled = true;
  queue_.clear();
  finished_.notify_all();
  arrived_.notify_all();
}

bool HandoverQueue::Closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

bool HandoverQueue::WaitAndRunUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  if (!arrived_.wait_until(lock, deadline, [&] { return closed_ || !queue_.empty(); })) {
    return false;
  }
  if (closed_) return false;
  Item* item = queue_.front();
  queue_.pop_front();
  lock.unlock();

  // The caller must be released even when the work throws, or it would wait
  // for ever; the exception itself belongs to the main thread.
  struct MarkDone {
    HandoverQueue& queue;
    Item* item;
    ~MarkDone() {
      {
        std::lock_guard relock(queue.mutex_);
        item->done = true;
      }
      // Outside the lock, for the same reason as the arrival; the item may
      // be gone by now, the queue is not.
      queue.finished_.notify_all();
    }
  } mark{*this, item};
  (*item->work)();
  return true;
}

bool HandoverQueue::WaitAndRunOne(std::chrono::milliseconds timeout) {
  return WaitAndRunUntil(std::chrono::steady_clock::now() + timeout);
}

}  // namespace platform
