#include "platform/tick.h"

#include <chrono>
#include <thread>
#include <utility>

namespace platform {
namespace {

std::function<std::uint32_t()>& TickSource() {
  static std::function<std::uint32_t()> source;
  return source;
}

std::function<void(std::uint32_t)>& SleepHook() {
  static std::function<void(std::uint32_t)> hook;
  return hook;
}

}  // namespace

std::uint32_t TickMs() {
  if (const auto& source = TickSource()) return source();
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
  return static_cast<std::uint32_t>(ms);
}

void SleepMs(std::uint32_t ms) {
  if (const auto& hook = SleepHook()) {
    hook(ms);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SetTickSource(std::function<std::uint32_t()> source) {
  TickSource() = std::move(source);
}

void SetSleepHook(std::function<void(std::uint32_t)> hook) {
  SleepHook() = std::move(hook);
}

}  // namespace platform
