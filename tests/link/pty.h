#pragma once

// A pseudo-terminal standing in for the unit: the component opens the slave
// side by its path, the test plays the other side on the master.

#include <termios.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace linktest {

using Clock = std::chrono::steady_clock;
inline constexpr std::chrono::seconds kPatience{10};

class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& SlavePath() const { return slavePath_; }
  // Sends bytes to whoever holds the slave side.
  void Send(std::string_view bytes);
  // Whatever the slave side wrote and is already there; waits at most `wait`
  // for the first byte.
  std::string Receive(std::chrono::milliseconds wait);
  // Keeps receiving until `count` bytes came or kPatience ran out.
  std::string ReceiveExactly(std::size_t count);
  // The slave side's line settings.
  termios SlaveSettings() const;
  // True once nobody holds the slave side open any more, within kPatience.
  bool WaitSlaveClosed();
  void CloseMaster();

 private:
  int master_ = -1;
  std::string slavePath_;
};

// Calls `step` until `done` holds or kPatience ran out; returns `done`.
bool WaitFor(const std::function<bool()>& done, const std::function<void()>& step);

}  // namespace linktest
