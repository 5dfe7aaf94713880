// POSIX serial ports behind comdrv::SerialBackend: termios, ioctl and poll.
// Only calls that Linux and the BSDs share belong here (CMSPAR aside, which
// is guarded); no behaviour of the component and no time-outs of its own.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "link/ComDrv32_backend.h"

namespace comdrv {
namespace {

std::optional<speed_t> SpeedCode(TComPortBaudRate speed) {
  switch (speed) {
    case br110:
      return B110;
    case br300:
      return B300;
    case br600:
      return B600;
    case br1200:
      return B1200;
    case br2400:
      return B2400;
    case br4800:
      return B4800;
    case br9600:
      return B9600;
    case br14400:
      return std::nullopt;  // no termios code for these two
    case br19200:
      return B19200;
    case br38400:
      return B38400;
    case br56000:
      return std::nullopt;
    case br57600:
      return B57600;
    case br115200:
      return B115200;
  }
  return std::nullopt;
}

tcflag_t DataBitsFlag(TComPortDataBits bits) {
  switch (bits) {
    case db5BITS:
      return CS5;
    case db6BITS:
      return CS6;
    case db7BITS:
      return CS7;
    case db8BITS:
      return CS8;
  }
  return CS8;
}

std::string ErrnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

int PollTimeout(std::uint32_t ms) {
  return static_cast<int>(std::min<std::uint32_t>(ms, INT_MAX));
}

void SleepMs(std::uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class PosixBackend final : public SerialBackend {
 public:
  PosixBackend() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
      wakeRead_ = fds[0];
      wakeWrite_ = fds[1];
    } else {
      lastError_ = ErrnoText("wake pipe");  // waits then last a millisecond at most
    }
  }

  ~PosixBackend() override {
    Close();
    if (wakeRead_ >= 0) ::close(wakeRead_);
    if (wakeWrite_ >= 0) ::close(wakeWrite_);
  }

  std::string DeviceNameFor(TComPortNumber port) const override {
    return PortDeviceName(static_cast<int>(port) + 1);
  }

  bool Open(const std::string& device) override {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      lastError_ = ErrnoText(device);
      return false;
    }
    if (!::isatty(fd)) {
      lastError_ = device + ": not a terminal";
      ::close(fd);
      return false;
    }
    // flock keeps out every other opener, this process and root included;
    // TIOCEXCL also keeps out programs that do not take the lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      lastError_ = errno == EWOULDBLOCK ? device + ": in use" : ErrnoText(device);
      ::close(fd);
      return false;
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
      lastError_ = ErrnoText(device + ": exclusive use");
      ::close(fd);
      return false;
    }
    fd_ = fd;
    gone_ = false;
    lastError_.clear();
    RequestLowLatency();
    return true;
  }

  void Close() override {
    if (fd_ < 0) return;
    // The exclusive flag outlives this descriptor on a terminal that stays
    // in use (a pseudo-terminal's master), so give it back first. Failure
    // only means the device has gone.
    (void)::ioctl(fd_, TIOCNXCL);
    RestoreLatency();
    ::close(fd_);  // the descriptor is released even when close reports an error
    fd_ = -1;
  }

  bool IsOpen() const override { return fd_ >= 0; }
  bool Gone() const override { return gone_; }

  void SetLineSettings(const LineSettings& settings) override {
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) {
      lastError_ = ErrnoText("tcgetattr");
      return;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS | HUPCL);
#ifdef CMSPAR
    tio.c_cflag &= ~CMSPAR;
#endif
    tio.c_cflag |= DataBitsFlag(settings.dataBits);
    // termios has no 1.5 stop bits; UARTs give 1.5 for 5 data bits when 2
    // are asked.
    if (settings.stopBits != sb1BITS) tio.c_cflag |= CSTOPB;
    SetParity(tio, settings.parity);
    if (settings.hwHandshaking == hhRTSCTS) tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);  // parity is never checked
    if (settings.swHandshaking == shXONXOFF) tio.c_iflag |= IXON | IXOFF;
    tio.c_cc[VSTART] = 0x11;
    tio.c_cc[VSTOP] = 0x13;
    // Reads return at once with what is there (VTIME is in tenths of a
    // second); the component does all waiting itself.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const std::optional<speed_t> speed = SpeedCode(settings.speed);
    if (speed) {
      ::cfsetispeed(&tio, *speed);
      ::cfsetospeed(&tio, *speed);
    } else {
      lastError_ = "speed of " + std::to_string(BaudRateValue(settings.speed)) +
                   " baud not available here; the line keeps its speed";
    }
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) {
      lastError_ = ErrnoText("tcsetattr");
      return;
    }
    CheckSettingsTaken(tio);

    SetModemLine(TIOCM_DTR, settings.dtrOn);
    SetModemLine(TIOCM_RTS, settings.hwHandshaking != hhNONE);
  }

  void Purge(bool input, bool output) override {
    if (!input && !output) return;
    const int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    if (::tcflush(fd_, queue) != 0) lastError_ = ErrnoText("tcflush");
  }

  // The kernel sizes its own queues; there is nothing to ask for.
  void SetQueueSizes(std::uint16_t, std::uint16_t) override {}

  // O_NONBLOCK with VMIN = VTIME = 0 (SetLineSettings) already makes every
  // read and write return at once.
  void SetShortTimeouts() override {}

  QueueCounts Counts() override {
    QueueCounts counts;
    int n = 0;
    if (::ioctl(fd_, FIONREAD, &n) == 0 && n > 0) counts.input = static_cast<std::uint32_t>(n);
    n = 0;
    if (::ioctl(fd_, TIOCOUTQ, &n) == 0 && n > 0) counts.output = static_cast<std::uint32_t>(n);
    return counts;
  }

  std::optional<TModemLines> ModemLines() override {
    int bits = 0;
    if (::ioctl(fd_, TIOCMGET, &bits) != 0) return std::nullopt;
    TModemLines lines;
    lines.CTS = (bits & TIOCM_CTS) != 0;
    lines.DSR = (bits & TIOCM_DSR) != 0;
    lines.RING = (bits & TIOCM_RNG) != 0;
    lines.RLSD = (bits & TIOCM_CAR) != 0;
    return lines;
  }

  std::uint32_t Read(std::uint8_t* buffer, std::uint32_t count) override {
    if (count == 0) return 0;
    const ssize_t n = ::read(fd_, buffer, count);
    if (n > 0) return static_cast<std::uint32_t>(n);
    // End of file on a terminal means it hung up.
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) NoteGone("read");
    return 0;
  }

  std::uint32_t Write(const std::uint8_t* data, std::uint32_t count) override {
    if (count == 0) return 0;
    const ssize_t n = ::write(fd_, data, count);
    if (n > 0) return static_cast<std::uint32_t>(n);
    if (n < 0 && errno != EAGAIN && errno != EINTR) NoteGone("write");
    return 0;
  }

  void WaitInput(std::uint32_t maxMs) override {
    Wait(POLLIN, maxMs, false);
  }
  void WaitOutput(std::uint32_t maxMs) override {
    Wait(POLLOUT, maxMs, false);
  }

  void WaitInputOrWake(std::uint32_t maxMs) override {
    if (wakeRead_ < 0) {
      Wait(POLLIN, std::min<std::uint32_t>(maxMs, 1), false);
      return;
    }
    Wait(POLLIN, maxMs, true);
    // Empty the pipe: every wake so far has been seen. A full pipe already
    // holds a wake, so a failing write in Wake() loses nothing.
    char drain[64];
    while (::read(wakeRead_, drain, sizeof drain) > 0) {
    }
  }

  void Wake() override {
    if (wakeWrite_ < 0) return;
    const char byte = 1;
    (void)::write(wakeWrite_, &byte, 1);  // EAGAIN: a wake is already waiting
  }

  // The owner drives the poll through TCommPortDriver::PollTimerTick.
  void AttachTimer(std::function<void()>) override {}
  void StartTimer(std::uint16_t) override {}
  void StopTimer() override {}

  const std::string& LastError() const override {
    return lastError_;
  }

 private:
  static void SetParity(termios& tio, TComPortParity parity) {
    switch (parity) {
      case ptNONE:
        break;
      case ptODD:
        tio.c_cflag |= PARENB | PARODD;
        break;
      case ptEVEN:
        tio.c_cflag |= PARENB;
        break;
#ifdef CMSPAR
      case ptMARK:
        tio.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
      case ptSPACE:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
#else
      case ptMARK:
      case ptSPACE:
        break;  // no stick parity on this platform
#endif
    }
  }

  // tcsetattr succeeds when any one of the settings was taken; read them
  // back to learn whether all were.
  void CheckSettingsTaken(const termios& wanted) {
    termios now{};
    if (::tcgetattr(fd_, &now) != 0) {
      lastError_ = ErrnoText("tcgetattr");
      return;
    }
    constexpr tcflag_t kLineBits = CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS;
    if ((now.c_cflag & kLineBits) != (wanted.c_cflag & kLineBits) ||
        ::cfgetospeed(&now) != ::cfgetospeed(&wanted)) {
      lastError_ = "the device did not take every line setting";
    }
  }

  void SetModemLine(int line, bool on) {
    if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return;
    // A device without modem lines (a pseudo-terminal) is not an error.
    if (errno == ENOTTY || errno == EINVAL) return;
    lastError_ = ErrnoText("modem lines");
  }

  // A USB serial adapter holds back a short reply until its latency timer
  // runs out (16 ms by default), which a stop-and-wait dialogue pays on
  // every exchange; the low-latency flag asks the driver to pass data on at
  // once. The old flags go back at close.
  void RequestLowLatency() {
#if defined(__linux__)
    serial_struct serial{};
    if (::ioctl(fd_, TIOCGSERIAL, &serial) == 0) {
      const int old = serial.flags;
      if ((old & ASYNC_LOW_LATENCY) != 0) return;
      serial.flags |= ASYNC_LOW_LATENCY;
      if (::ioctl(fd_, TIOCSSERIAL, &serial) == 0) {
        savedSerialFlags_ = old;
        return;
      }
    }
    // Pseudo-terminals (ENOTTY) and drivers without the flag (EINVAL) simply
    // have no such setting: nothing to report.
    if (errno == ENOTTY || errno == EINVAL) return;
    lastError_ = ErrnoText("low latency");
#endif
  }

  void RestoreLatency() {
#if defined(__linux__)
    if (!savedSerialFlags_) return;
    serial_struct serial{};
    if (::ioctl(fd_, TIOCGSERIAL, &serial) == 0) {
      serial.flags = *savedSerialFlags_;
      // A device that went away keeps nothing to restore.
      (void)::ioctl(fd_, TIOCSSERIAL, &serial);
    }
    savedSerialFlags_.reset();
#endif
  }

  void NoteGone(const char* what) {
    if (!gone_) lastError_ = ErrnoText(what);
    gone_ = true;
  }

  // Waits for `event` on the port, and for a wake when `wakeable`.
  void Wait(short event, std::uint32_t maxMs, bool wakeable) {
    pollfd entries[2] = {{fd_, event, 0}, {wakeRead_, POLLIN, 0}};
    // A gone device would report its hang-up at once for ever: leave it out
    // and sleep, unless a wake can end the sleep.
    pollfd* first = gone_ ? &entries[1] : &entries[0];
    const nfds_t count = (gone_ ? 0 : 1) + (wakeable ? 1 : 0);
    if (count == 0) {
      SleepMs(maxMs);
      return;
    }
    const int ready = ::poll(first, count, PollTimeout(maxMs));
    if (ready <= 0 || gone_) return;  // time is up, a signal, or a wake
    const short revents = entries[0].revents;
    if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      errno = EIO;
      NoteGone("poll");
      const bool woken = wakeable && (entries[1].revents & POLLIN) != 0;
      if ((revents & event) == 0 && !woken) Wait(event, maxMs, wakeable);  // now without the port
      return;
    }
    // Writable by the kernel's measure while the caller found no room by the
    // component's measure: the line drains at its own pace, so look again in
    // a millisecond rather than at once.
    if (event == POLLOUT && (revents & POLLOUT) != 0) SleepMs(std::min<std::uint32_t>(maxMs, 1));
  }

  int fd_ = -1;
  int wakeRead_ = -1;  // a byte in this pipe ends WaitInputOrWake
  int wakeWrite_ = -1;
  bool gone_ = false;  // hung up or failed; cleared by the next Open

  std::optional<int> savedSerialFlags_;  // the driver's flags before low latency
  std::string lastError_;
};

}  // namespace

std::unique_ptr<SerialBackend> MakeNativeBackend() {
  return std::make_unique<PosixBackend>();
}

}  // namespace comdrv

std::optional<std::string> PortDeviceFromEnvironment(int number) {
  const std::string variable = "QSR470_COM" + std::to_string(number);
  const char* named = std::getenv(variable.c_str());
  if (named == nullptr || *named == '\0') return std::nullopt;
  return named;
}

std::string PortDeviceName(int number) {
  return PortDeviceFromEnvironment(number).value_or("/dev/ttyS" + std::to_string(number - 1));
}
