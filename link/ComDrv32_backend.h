#pragma once

// The one interface between TCommPortDriver's behaviour (ComDrv32.cpp) and
// the operating system's serial ports (ComDrv32_posix.cpp,
// ComDrv32_win32.cpp). A backend does what it is told, at once: no
// operation but the two waits may block, and none keeps its own time-outs,
// so that every platform shows the same timing.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "link/ComDrv32.h"

namespace comdrv {

struct LineSettings {
  TComPortBaudRate speed = br9600;
  TComPortDataBits dataBits = db8BITS;
  TComPortStopBits stopBits = sb1BITS;
  TComPortParity parity = ptNONE;
  TComPortHwHandshaking hwHandshaking = hhNONERTSON;
  TComPortSwHandshaking swHandshaking = shNONE;
  bool dtrOn = true;
  std::uint16_t inBufSize = 2048;  // queue sizes, in bytes
  std::uint16_t outBufSize = 2048;
};

struct QueueCounts {
  std::uint32_t input = 0;   // bytes received and not yet read
  std::uint32_t output = 0;  // bytes written and not yet sent
};

// Every operation but DeviceNameFor, Open, IsOpen, Wake, AttachTimer and
// LastError is only called while the port is open.
class SerialBackend {
 public:
  virtual ~SerialBackend() = default;

  virtual std::string DeviceNameFor(TComPortNumber port) const = 0;
  // For reading and writing, not shared with anyone else; false, with
  // LastError() set, when that is not possible.
  virtual bool Open(const std::string& device) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  virtual void SetLineSettings(const LineSettings& settings) = 0;
  // Discards what waits in the chosen queues, aborting pending transfers.
  virtual void Purge(bool input, bool output) = 0;
  virtual void SetQueueSizes(std::uint16_t input, std::uint16_t output) = 0;
  // Makes reads and writes of the platform return at once (within 1 ms).
  virtual void SetShortTimeouts() = 0;

  // Zero counts when the query fails.
  virtual QueueCounts Counts() = 0;
  // Nothing when the device cannot tell.
  virtual std::optional<TModemLines> ModemLines() = 0;
  // Move at most `count` bytes; return how many moved (0 on failure).
  virtual std::uint32_t Read(std::uint8_t* buffer, std::uint32_t count) = 0;
  virtual std::uint32_t Write(const std::uint8_t* data, std::uint32_t count) = 0;

  // Block until input may be waiting, or room may have come free in the
  // output queue, or `maxMs` milliseconds have passed, whichever is first.
  // Waking early is allowed; returning at once again and again is not: once
  // the device has gone away, they sleep for `maxMs` instead.
  virtual void WaitInput(std::uint32_t maxMs) = 0;
  virtual void WaitOutput(std::uint32_t maxMs) = 0;
  // As WaitInput, but Wake() ends it too. Wake() may be called from any
  // thread at any time, also while closed; a wake that comes while nobody
  // waits ends the next wait at once.
  virtual void WaitInputOrWake(std::uint32_t maxMs) = 0;
  virtual void Wake() = 0;

  // The polling timer. `onTick` is called on the thread that made the
  // backend; a backend without timers of its own leaves the ticking to the
  // owner (TCommPortDriver::PollTimerTick).
  virtual void AttachTimer(std::function<void()> onTick) = 0;
  virtual void StartTimer(std::uint16_t periodMs) = 0;
  virtual void StopTimer() = 0;

  // True once the open device has gone away (hung up, pulled out, failing
  // every read); cleared by the next Open.
  virtual bool Gone() const = 0;

  // The operating system's account of the last failure that was not
  // reported otherwise; cleared by a successful Open.
  virtual const std::string& LastError() const = 0;
};

std::unique_ptr<SerialBackend> MakeNativeBackend();

// XON/XOFF limit of the Windows line settings: a quarter of the input queue,
// at most 4096 on the NT family from version 4.0 on. `platformLabel` is
// "W32S", "W95", "WNT" or "??"; `version` is major * 65536 + minor (0 when
// the version query failed).
std::uint16_t FlowControlLimit(std::uint16_t inBufSize, std::string_view platformLabel,
                               std::uint32_t version);

}  // namespace comdrv
