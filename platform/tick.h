#pragma once

#include <cstdint>
#include <functional>

namespace platform {

// Milliseconds since an arbitrary start, wrapping at 2^32 like the Windows
// tick count. Callers compare ticks by unsigned subtraction so the wrap is
// harmless.
std::uint32_t TickMs();

// Blocks the calling thread for the given number of milliseconds.
void SleepMs(std::uint32_t ms);

// Tests replace the clock and the sleep to cross the wrap or skip pauses
// without waiting; an empty function restores the real one.
void SetTickSource(std::function<std::uint32_t()> source);
void SetSleepHook(std::function<void(std::uint32_t)> hook);

}  // namespace platform
