// The hand-over queue that non-GUI main loops (the command line, these
// tests) use to run the communication thread's work on the main thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/handover.h"

namespace linktest {
namespace {

using std::chrono::milliseconds;

TEST(HandoverQueue, RunsWorkOnTheMainThreadAndReleasesTheCallerAfterwards) {
  platform::HandoverQueue queue;
  const auto mainThread = std::this_thread::get_id();
  std::thread::id ranOn;
  int value = 0;
  bool result = false;
  std::atomic<bool> returned = false;
  std::thread worker([&] {
    result = queue.RunOnMainThread([&] {
      ranOn = std::this_thread::get_id();
      value = 42;
    });
    returned = true;
  });
  while (!queue.WaitAndRunOne(milliseconds(100))) {
  }
  worker.join();
  EXPECT_TRUE(returned);
  EXPECT_TRUE(result);
  EXPECT_EQ(ranOn, mainThread);
  EXPECT_EQ(value, 42);
}

TEST(HandoverQueue, DeadlineWithNothingHandedOverReturnsFalse) {
  platform::HandoverQueue queue;
  EXPECT_FALSE(queue.WaitAndRunUntil(std::chrono::steady_clock::now() - milliseconds(1)));
  EXPECT_FALSE(queue.WaitAndRunOne(milliseconds(0)));
}

TEST(HandoverQueue, CloseRefusesWorkAndReleasesAWaitingCallerWithoutRunningIt) {
  platform::HandoverQueue queue;
  bool ran = false;
  bool result = true;
  // Whether the worker is already waiting or not yet there when Close()
  // comes, the outcome is the same.
  std::thread worker([&] { result = queue.RunOnMainThread([&] { ran = true; }); });
  queue.Close();
  worker.join();
  EXPECT_FALSE(result);
  EXPECT_FALSE(queue.WaitAndRunOne(milliseconds(0)));
  EXPECT_FALSE(ran);
  EXPECT_FALSE(queue.RunOnMainThread([&] { ran = true; }));
  EXPECT_FALSE(ran);
  EXPECT_TRUE(queue.Closed());
}

TEST(HandoverQueue, WorkThatThrowsStillReleasesItsCaller) {
  platform::HandoverQueue queue;
  bool result = false;
  std::thread worker(
      [&] { result = queue.RunOnMainThread([] { throw std::runtime_error("x"); }); });
  bool thrown = false;
  while (!thrown) {
    try {
      queue.WaitAndRunOne(milliseconds(100));
    } catch (const std::runtime_error&) {
      thrown = true;
    }
  }
  worker.join();
  EXPECT_TRUE(result);
}

TEST(HandoverQueue, EveryPieceFromSeveralCallersRunsExactlyOnce) {
  platform::HandoverQueue queue;
  int runs = 0;
  std::thread workers[4];
  for (auto& w : workers) {
    w = std::thread([&] {
      for (int i = 0; i < 25; ++i)
        queue.RunOnMainThread([&] { ++runs; });
    });
  }
  while (runs < 100)
    queue.WaitAndRunOne(milliseconds(100));
  for (auto& w : workers)
    w.join();
  EXPECT_EQ(runs, 100);
  EXPECT_FALSE(queue.WaitAndRunOne(milliseconds(0)));
}

TEST(HandoverQueue, ArrivalWakesALoopThatRunsWorkWithoutBlocking) {
  // How a GUI loop uses it: the notifier posts a message, and the message
  // runs what waits with a deadline that has already passed.
  std::atomic<int> posted = 0;
  platform::HandoverQueue queue([&] { ++posted; });
  EXPECT_FALSE(queue.WaitAndRunUntil(std::chrono::steady_clock::now()));
  bool ran = false;
  std::thread worker([&] { EXPECT_TRUE(queue.RunOnMainThread([&] { ran = true; })); });
  while (posted == 0)
    std::this_thread::yield();
  EXPECT_TRUE(queue.WaitAndRunUntil(std::chrono::steady_clock::now()));
  worker.join();
  EXPECT_TRUE(ran);
  EXPECT_EQ(posted, 1);
}

}  // namespace
}  // namespace linktest
