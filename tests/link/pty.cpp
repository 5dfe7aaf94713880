#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace linktest {

Pty::Pty() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    throw std::runtime_error("no pseudo-terminal");
  }
  slavePath_ = ::ptsname(master_);
  // Raw from the start, so that nothing sent before the component sets the
  // line up is echoed back or translated.
  termios tio{};
  ::tcgetattr(master_, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(master_, TCSANOW, &tio);
}

Pty::~Pty() {
  CloseMaster();
}

void Pty::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

void Pty::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(master_, bytes.data(), bytes.size());
    if (n <= 0) throw std::runtime_error("write to master failed");
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string Pty::Receive(std::chrono::milliseconds wait) {
  pollfd entry{master_, POLLIN, 0};
  if (::poll(&entry, 1, static_cast<int>(wait.count())) <= 0 || (entry.revents & POLLIN) == 0) {
    return {};
  }
  char buffer[512];
  const ssize_t n = ::read(master_, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string Pty::ReceiveExactly(std::size_t count) {
  std::string got;
  const auto deadline = Clock::now() + kPatience;
  while (got.size() < count && Clock::now() < deadline) {
    got += Receive(std::chrono::milliseconds(100));
  }
  return got;
}

termios Pty::SlaveSettings() const {
  // On a pseudo-terminal the master reports the slave's settings.
  termios tio{};
  ::tcgetattr(master_, &tio);
  return tio;
}

bool Pty::WaitSlaveClosed() {
  // The master sees a hang-up once the last holder of the slave closed it.
  const auto deadline = Clock::now() + kPatience;
  while (Clock::now() < deadline) {
    pollfd entry{master_, 0, 0};
    if (::poll(&entry, 1, 100) > 0 && (entry.revents & POLLHUP) != 0) return true;
  }
  return false;
}

bool WaitFor(const std::function<bool()>& done, const std::function<void()>& step) {
  const auto deadline = Clock::now() + kPatience;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    step();
  }
  return true;
}

}  // namespace linktest
