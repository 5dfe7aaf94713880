// TCommPortDriver's behaviour, the same on every platform. Nothing here calls
// the operating system: that is the backends' job (ComDrv32_backend.h).
#include "link/ComDrv32.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

#include "link/ComDrv32_backend.h"
#include "platform/tick.h"
#include "platform/wire.h"

namespace {

constexpr std::uint32_t kBitsPerSecond[] = {110,   300,   600,   1200,  2400,  4800,  9600,
                                            14400, 19200, 38400, 56000, 57600, 115200};

constexpr std::uint16_t kClosedCount = 65535;

// Milliseconds still to wait before more than `timeoutMs` have passed since
// `mark`; at least 1, so that the waits always move the clock on.
std::uint32_t TimeLeft(std::uint32_t mark, std::uint32_t timeoutMs) {
  const std::uint32_t elapsed = platform::TickMs() - mark;
  const std::uint64_t left = std::uint64_t{timeoutMs} - elapsed + 1;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(left, INT_MAX));
}

bool TimedOut(std::uint32_t mark, std::uint32_t timeoutMs) {
  return platform::TickMs() - mark > timeoutMs;
}

}  // namespace

std::uint32_t BaudRateValue(TComPortBaudRate speed) {
  return kBitsPerSecond[speed];
}

TCommPortDriver::TCommPortDriver() : TCommPortDriver(comdrv::MakeNativeBackend()) {}

TCommPortDriver::TCommPortDriver(std::unique_ptr<comdrv::SerialBackend> backend)
    : backend_(std::move(backend)) {
  backend_->AttachTimer([this] { PollTimerTick(); });
  AllocateReceiveBuffer(inBufSize_);
}

TCommPortDriver::~TCommPortDriver() {
  ClosePort();
}

void TCommPortDriver::SetComPort(TComPortNumber Value) {
  if (!PortOpen()) comPort_ = Value;
}

void TCommPortDriver::SetDevicePath(std::string Value) {
  if (!PortOpen()) devicePath_ = std::move(Value);
}

void TCommPortDriver::SetComPortSpeed(TComPortBaudRate Value) {
  speed_ = Value;
  ApplySettings();
}

void TCommPortDriver::SetComPortDataBits(TComPortDataBits Value) {
  dataBits_ = Value;
  ApplySettings();
}

void TCommPortDriver::SetComPortStopBits(TComPortStopBits Value) {
  stopBits_ = Value;
  ApplySettings();
}

void TCommPortDriver::SetComPortParity(TComPortParity Value) {
  parity_ = Value;
  ApplySettings();
}

void TCommPortDriver::SetComPortHwHandshaking(TComPortHwHandshaking Value) {
  hwHandshaking_ = Value;
  ApplySettings();
}

void TCommPortDriver::SetComPortSwHandshaking(TComPortSwHandshaking Value) {
  swHandshaking_ = Value;
  ApplySettings();
}

void TCommPortDriver::SetComPortInBufSize(std::uint16_t Value) {
  if (PortOpen()) return;
  inBufSize_ = Value;
  AllocateReceiveBuffer(inBufSize_);
  SetPacketSize(packetSize_);
}

void TCommPortDriver::SetComPortOutBufSize(std::uint16_t Value) {
  if (!PortOpen()) outBufSize_ = Value;
}

void TCommPortDriver::SetPacketSize(std::int16_t Value) {
  packetSize_ = Value < 1 ? std::int16_t{-1} : Value;
  if (packetSize_ < 1) return;
  const auto twice = static_cast<std::uint16_t>(2 * packetSize_);
  if (packetSize_ > inBufSize_) SetComPortInBufSize(twice);
  // On an open port the queue size cannot change, but a packet must still fit
  // the buffer the poll reads it into.
  if (receiveBuffer_.size() < static_cast<std::size_t>(packetSize_)) AllocateReceiveBuffer(twice);
}

void TCommPortDriver::SetPacketTimeout(std::int32_t Value) {
  if (Value < 1) {
    Value = -1;
  } else if (Value < pollingDelay_) {
    Value = pollingDelay_ + 150;
  }
  packetTimeout_ = Value;
}

void TCommPortDriver::SetComPortPollingDelay(std::uint16_t Value) {
  if (Value == pollingDelay_) return;
  pollingDelay_ = Value;
  if (PortOpen()) {
    StopTimer();
    StartTimer();
  }
  SetPacketTimeout(packetTimeout_);
}

bool TCommPortDriver::OpenPort() {
  if (PortOpen()) return true;
  if (!backend_->Open(DeviceName())) return false;
  ApplySettings();
  backend_->SetShortTimeouts();
  StartTimer();
  return true;
}

void TCommPortDriver::ClosePort() {
  if (!PortOpen()) return;
  StopTimer();
  backend_->Close();
}

bool TCommPortDriver::PortOpen() const {
  return backend_->IsOpen();
}

std::string TCommPortDriver::DeviceName() const {
  return devicePath_.empty() ? backend_->DeviceNameFor(comPort_) : devicePath_;
}

bool TCommPortDriver::LineLost() const {
  return PortOpen() && backend_->Gone();
}

const std::string& TCommPortDriver::LastError() const {
  return backend_->LastError();
}

void TCommPortDriver::ApplySettings() {
  if (!PortOpen()) return;
  comdrv::LineSettings settings;
  settings.speed = speed_;
  settings.dataBits = dataBits_;
  settings.stopBits = stopBits_;
  settings.parity = parity_;
  settings.hwHandshaking = hwHandshaking_;
  settings.swHandshaking = swHandshaking_;
  settings.dtrOn = enableDtrOnOpen_;
  settings.inBufSize = inBufSize_;
  settings.outBufSize = outBufSize_;
  backend_->SetLineSettings(settings);
  // Whatever waited was framed at the old settings and would read as noise.
  FlushQueues(true, true);
  backend_->SetQueueSizes(inBufSize_, outBufSize_);
}

void TCommPortDriver::FlushQueues(bool Input, bool Output) {
  if (!PortOpen()) return;
  backend_->Purge(Input, Output);
  packetStart_.reset();
}

int TCommPortDriver::BytesWaiting() {
  if (!PortOpen()) return kClosedCount;
  return static_cast<int>(std::min<std::uint32_t>(backend_->Counts().input, INT_MAX));
}

std::uint16_t TCommPortDriver::OutputFree() {
  if (!PortOpen()) return kClosedCount;
  const std::uint32_t waiting = backend_->Counts().output;
  return waiting >= outBufSize_ ? 0 : static_cast<std::uint16_t>(outBufSize_ - waiting);
}

TModemLines TCommPortDriver::ModemLines() {
  if (!PortOpen()) return {};
  return backend_->ModemLines().value_or(TModemLines{});
}

std::uint32_t TCommPortDriver::WriteBytes(const std::uint8_t* Data, std::uint32_t Count) {
  return WriteBytes(Data, Count, outputTimeout_);
}

std::uint32_t TCommPortDriver::WriteBytes(const std::uint8_t* Data, std::uint32_t Count,
                                          std::uint32_t TimeoutMs) {
  if (!PortOpen()) return 0;
  std::uint32_t written = 0;
  std::uint32_t mark = platform::TickMs();
  while (written < Count) {
    const std::uint16_t room = OutputFree();
    if (room > 0) {
      if (checkLineStatus_ && ModemLines().Empty()) break;
      const std::uint32_t moved =
          backend_->Write(Data + written, std::min<std::uint32_t>(Count - written, room));
      if (moved > 0) {
        written += moved;
        mark = platform::TickMs();
        continue;
      }
    }
    if (TimedOut(mark, TimeoutMs)) break;
    backend_->WaitOutput(TimeLeft(mark, TimeoutMs));
  }
  return written;
}

bool TCommPortDriver::WriteText(const std::string& Text) {
  const auto count = static_cast<std::uint32_t>(Text.size());
  if (count == 0) return true;
  return WriteBytes(reinterpret_cast<const std::uint8_t*>(Text.data()), count) == count;
}

std::uint32_t TCommPortDriver::ReadBytes(std::uint8_t* Buffer, std::uint32_t Max) {
  if (!PortOpen()) return 0;
  struct Hold {
    TCommPortDriver& driver;
    explicit Hold(TCommPortDriver& d) : driver(d) { driver.HoldPolling(); }
    ~Hold() { driver.ReleasePolling(); }
  } hold(*this);

  std::uint32_t read = 0;
  std::uint32_t mark = platform::TickMs();
  while (read < Max) {
    const int waiting = BytesWaiting();
    if (waiting > 0) {
      // A failed read moves nothing and must not count as progress, or a
      // broken device would keep the loop going for ever.
      const std::uint32_t moved = backend_->Read(
          Buffer + read, std::min<std::uint32_t>(Max - read, static_cast<std::uint32_t>(waiting)));
      if (moved > 0) {
        read += moved;
        mark = platform::TickMs();
        continue;
      }
    }
    // With no time-out the caller wants only what already waits: once that
    // is taken, waiting for the tick to move would add up to a millisecond
    // to every reply of a stop-and-wait dialogue, for bytes that are joined
    // with the next piece anyway.
    if (inputTimeout_ == 0 && read > 0) break;
    if (TimedOut(mark, inputTimeout_)) break;
    backend_->WaitInput(TimeLeft(mark, inputTimeout_));
  }
  return read;
}

void TCommPortDriver::WaitForInput(std::uint32_t MaxMs) {
  if (PortOpen()) backend_->WaitInputOrWake(MaxMs);
}

void TCommPortDriver::InterruptWait() {
  backend_->Wake();
}

void TCommPortDriver::PollTimerTick() {
  // The hold is checked first: on Windows this may run on the component's
  // thread while another thread uses the port under a hold.
  if (hold_ > 0 || !timerRunning_ || !PortOpen()) return;
  const int waiting = BytesWaiting();
  if (packetSize_ < 1) {
    PollWithoutPackets(waiting);
  } else {
    PollPackets(waiting);
  }
}

void TCommPortDriver::PollWithoutPackets(int waiting) {
  if (waiting <= 0) return;
  const auto count =
      std::min<std::size_t>(static_cast<std::size_t>(waiting), receiveBuffer_.size());
  const std::uint32_t moved =
      backend_->Read(receiveBuffer_.data(), static_cast<std::uint32_t>(count));
  if (moved > 0 && OnReceiveData) OnReceiveData(this, receiveBuffer_.data(), moved);
}

void TCommPortDriver::PollPackets(int waiting) {
  const auto size = static_cast<std::uint32_t>(packetSize_);
  const std::uint32_t now = platform::TickMs();

  if (static_cast<std::uint32_t>(waiting) < size) {
    const bool expired = packetTimeout_ > 0 && packetStart_ &&
                         now - *packetStart_ > static_cast<std::uint32_t>(packetTimeout_);
    if (expired) {
      const auto count =
          std::min<std::size_t>(static_cast<std::size_t>(waiting), receiveBuffer_.size());
      const std::uint32_t moved =
          backend_->Read(receiveBuffer_.data(), static_cast<std::uint32_t>(count));
      packetStart_.reset();
      if (packetMode_ == pmPass && moved > 0 && OnReceivePacket) {
        OnReceivePacket(this, receiveBuffer_.data(), moved);
      }
    } else if (waiting > 0 && !packetStart_) {
      packetStart_ = now;
    }
    return;
  }

  // The receiver may close the port or change the packet size; stop then.
  while (PortOpen() && packetSize_ == static_cast<std::int16_t>(size) &&
         static_cast<std::uint32_t>(BytesWaiting()) >= size) {
    const std::uint32_t moved = backend_->Read(receiveBuffer_.data(), size);
    if (moved == 0) return;  // a failing device; the next poll tries again
    // The next packet's first byte came one packet's transmit time after this
    // one's, but never later than now.
    if (packetStart_) {
      const std::uint32_t next = *packetStart_ + TransmitTime(speed_, size);
      packetStart_ = static_cast<std::int32_t>(now - next) < 0 ? now : next;
    }
    if (OnReceivePacket) OnReceivePacket(this, receiveBuffer_.data(), moved);
  }
  if (!PortOpen()) return;
  if (BytesWaiting() == 0) {
    packetStart_.reset();
  } else if (!packetStart_) {
    // The remainder's first byte was seen in this poll.
    packetStart_ = now;
  }
}

std::uint32_t TCommPortDriver::TransmitTime(TComPortBaudRate Speed, std::uint32_t N) {
  // Rounded as exactly as in integers: N * 10000 stays below 2^53, so the
  // quotient is the nearest double, a half is exact, and no other fraction
  // comes within half a unit of one.
  const double ms = platform::WireMs(N, BaudRateValue(Speed));
  double whole = std::floor(ms);
  const double rest = ms - whole;
  if (rest > 0.5 || (rest == 0.5 && std::fmod(whole, 2) != 0)) whole += 1;
  return static_cast<std::uint32_t>(std::min<double>(whole, UINT32_MAX));
}

void TCommPortDriver::StartTimer() {
  backend_->StartTimer(pollingDelay_);
  timerRunning_ = true;
}

void TCommPortDriver::StopTimer() {
  backend_->StopTimer();
  timerRunning_ = false;
}

void TCommPortDriver::AllocateReceiveBuffer(std::size_t size) {
  receiveBuffer_.assign(size, 0);
  receiveBuffer_.shrink_to_fit();
}

namespace comdrv {

std::uint16_t FlowControlLimit(std::uint16_t inBufSize, std::string_view platformLabel,
                               std::uint32_t version) {
  const auto quarter = static_cast<std::uint16_t>(inBufSize / 4);
  if (platformLabel == "WNT" && version >= 0x40000) return std::min<std::uint16_t>(quarter, 4096);
  return quarter;
}

}  // namespace comdrv
