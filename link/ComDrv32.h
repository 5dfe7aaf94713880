#pragma once

// TCommPortDriver: one serial port with its line settings, reads and writes
// that never wait inside the operating system (all waiting happens here,
// bounded by time-outs that count from the last progress), and an optional
// timer poll that delivers received data, or fixed-size packets, through
// events.
//
// Not safe for use by several threads at once. The timer poll belongs to the
// thread that made the component: on Windows a hidden window of that thread
// receives the timer; elsewhere the owner's event loop calls PollTimerTick()
// every ComPortPollingDelay() milliseconds while PollTimerRunning(). A user
// that reads from another thread keeps the poll away from its data with
// HoldPolling().

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The ordinals map directly onto the platform's codes; keep the order.
enum TComPortNumber : std::uint8_t {
  pnCOM1,
  pnCOM2,
  pnCOM3,
  pnCOM4,
  pnCOM5,
  pnCOM6,
  pnCOM7,
  pnCOM8,
  pnCOM9,
  pnCOM10,
  pnCOM11,
  pnCOM12,
  pnCOM13,
  pnCOM14,
  pnCOM15,
  pnCOM16
};
enum TComPortBaudRate : std::uint8_t {
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200
};
enum TComPortDataBits : std::uint8_t { db5BITS, db6BITS, db7BITS, db8BITS };
enum TComPortStopBits : std::uint8_t { sb1BITS, sb1HALFBITS, sb2BITS };
enum TComPortParity : std::uint8_t { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
enum TComPortHwHandshaking : std::uint8_t { hhNONE, hhNONERTSON, hhRTSCTS };
enum TComPortSwHandshaking : std::uint8_t { shNONE, shXONXOFF };
// What happens to an incomplete packet when its time-out expires.
enum TPacketMode : std::uint8_t { pmDiscard, pmPass };

// Bits per second of a speed.
std::uint32_t BaudRateValue(TComPortBaudRate speed);

// The modem input lines that are on.
struct TModemLines {
  bool CTS = false;
  bool DSR = false;
  bool RING = false;
  bool RLSD = false;
  bool Empty() const { return !CTS && !DSR && !RING && !RLSD; }
};

class TCommPortDriver;
using TComPortReceiveDataEvent = std::function<void(
    TCommPortDriver* Sender, const std::uint8_t* DataPtr, std::uint32_t DataSize)>;
using TComPortReceivePacketEvent = std::function<void(
    TCommPortDriver* Sender, const std::uint8_t* Packet, std::uint32_t DataSize)>;

namespace comdrv {
class SerialBackend;
}

class TCommPortDriver {
 public:
  // Uses this platform's serial ports.
  TCommPortDriver();
  // Uses the given backend (tests put a scripted one here).
  explicit TCommPortDriver(std::unique_ptr<comdrv::SerialBackend> backend);
  ~TCommPortDriver();
  TCommPortDriver(const TCommPortDriver&) = delete;
  TCommPortDriver& operator=(const TCommPortDriver&) = delete;

  // Properties. Line settings are applied at once to an open port, which
  // discards both queues; the port and queue sizes are ignored while open.
  TComPortNumber ComPort() const { return comPort_; }
  void SetComPort(TComPortNumber Value);
  // A device to open instead of the one that ComPort names (the command
  // line's --device); empty to use ComPort. Ignored while open, like ComPort.
  const std::string& DevicePath() const { return devicePath_; }
  void SetDevicePath(std::string Value);
  TComPortBaudRate ComPortSpeed() const { return speed_; }
  void SetComPortSpeed(TComPortBaudRate Value);
  TComPortDataBits ComPortDataBits() const { return dataBits_; }
  void SetComPortDataBits(TComPortDataBits Value);
  TComPortStopBits ComPortStopBits() const { return stopBits_; }
  void SetComPortStopBits(TComPortStopBits Value);
  TComPortParity ComPortParity() const { return parity_; }
  void SetComPortParity(TComPortParity Value);
  TComPortHwHandshaking ComPortHwHandshaking() const { return hwHandshaking_; }
  void SetComPortHwHandshaking(TComPortHwHandshaking Value);
  TComPortSwHandshaking ComPortSwHandshaking() const { return swHandshaking_; }
  void SetComPortSwHandshaking(TComPortSwHandshaking Value);
  // Also the size of the receive buffer of the timer poll.
  std::uint16_t ComPortInBufSize() const { return inBufSize_; }
  void SetComPortInBufSize(std::uint16_t Value);
  std::uint16_t ComPortOutBufSize() const { return outBufSize_; }
  void SetComPortOutBufSize(std::uint16_t Value);
  // -1: no packets. A value below 1 is stored as -1; a value above
  // ComPortInBufSize raises ComPortInBufSize to twice the value.
  std::int16_t PacketSize() const { return packetSize_; }
  void SetPacketSize(std::int16_t Value);
  // Milliseconds an incomplete packet may wait; -1: no time-out. A value
  // below 1 is stored as -1, a value below ComPortPollingDelay as
  // ComPortPollingDelay + 150.
  std::int32_t PacketTimeout() const { return packetTimeout_; }
  void SetPacketTimeout(std::int32_t Value);
  TPacketMode PacketMode() const { return packetMode_; }
  void SetPacketMode(TPacketMode Value) { packetMode_ = Value; }
  // Milliseconds between timer polls.
  std::uint16_t ComPortPollingDelay() const { return pollingDelay_; }
  void SetComPortPollingDelay(std::uint16_t Value);
  bool EnableDTROnOpen() const { return enableDtrOnOpen_; }
  void SetEnableDTROnOpen(bool Value) { enableDtrOnOpen_ = Value; }
  // Milliseconds without progress after which a write gives up.
  std::uint16_t OutputTimeout() const { return outputTimeout_; }
  void SetOutputTimeout(std::uint16_t Value) { outputTimeout_ = Value; }
  // Milliseconds without new data after which a read returns.
  std::uint32_t InputTimeout() const { return inputTimeout_; }
  void SetInputTimeout(std::uint32_t Value) { inputTimeout_ = Value; }
  // A write stops when none of the modem input lines is on.
  bool CheckLineStatus() const { return checkLineStatus_; }
  void SetCheckLineStatus(bool Value) { checkLineStatus_ = Value; }

  TComPortReceiveDataEvent OnReceiveData;
  TComPortReceivePacketEvent OnReceivePacket;

  // True when the port is open afterwards, also when it already was. A
  // failed open leaves it closed; LastError() then says why.
  bool OpenPort();
  void ClosePort();
  bool PortOpen() const;
  // The port is open but its device has gone away: nothing will pass until
  // it is closed and opened again.
  bool LineLost() const;
  // The device OpenPort would open now.
  std::string DeviceName() const;
  // The operating system's account of the last failed open or settings
  // call; empty when there was none since the last open.
  const std::string& LastError() const;

  void ApplySettings();
  void FlushQueues(bool Input, bool Output);
  // Bytes waiting in the input queue; 65535 when closed.
  int BytesWaiting();
  // Room left in the output queue; 65535 when closed.
  std::uint16_t OutputFree();
  TModemLines ModemLines();
  void HoldPolling() { ++hold_; }
  void ReleasePolling() { --hold_; }

  // Write what the output queue has room for, pass after pass, until all is
  // written or TimeoutMs milliseconds pass without progress; returns the
  // bytes written (0 when closed).
  std::uint32_t WriteBytes(const std::uint8_t* Data, std::uint32_t Count);
  std::uint32_t WriteBytes(const std::uint8_t* Data, std::uint32_t Count, std::uint32_t TimeoutMs);
  // True when every byte was written; an empty text is written at once.
  bool WriteText(const std::string& Text);
  // Reads what arrives until Max bytes are read or InputTimeout milliseconds
  // pass without a new byte; returns the bytes read (0 when closed). With
  // InputTimeout 0 it returns what already waits, or waits for the tick to
  // move when nothing does.
  std::uint32_t ReadBytes(std::uint8_t* Buffer, std::uint32_t Max);

  // Blocks until input may be waiting, InterruptWait() is called or MaxMs
  // milliseconds pass; returns at once when closed. For a user that has
  // nothing to do until the line or its own state changes.
  void WaitForInput(std::uint32_t MaxMs);
  // Ends a WaitForInput in progress, or the next one if none is. The one
  // operation that may be called from any thread.
  void InterruptWait();

  // One timer poll: reads nothing unless the port is open, the poll timer
  // runs and no hold is placed.
  void PollTimerTick();
  bool PollTimerRunning() const { return timerRunning_; }

  // Milliseconds to send N bytes at 10 bits per byte, rounded to the nearest
  // (halves to even).
  static std::uint32_t TransmitTime(TComPortBaudRate Speed, std::uint32_t N);

 private:
  void StartTimer();
  void StopTimer();
  void AllocateReceiveBuffer(std::size_t size);
  void PollWithoutPackets(int waiting);
  void PollPackets(int waiting);

  std::unique_ptr<comdrv::SerialBackend> backend_;

  TComPortNumber comPort_ = pnCOM2;
  std::string devicePath_;
  TComPortBaudRate speed_ = br9600;
  TComPortDataBits dataBits_ = db8BITS;
  TComPortStopBits stopBits_ = sb1BITS;
  TComPortParity parity_ = ptNONE;
  TComPortHwHandshaking hwHandshaking_ = hhNONERTSON;
  TComPortSwHandshaking swHandshaking_ = shNONE;
  std::uint16_t inBufSize_ = 2048;
  std::uint16_t outBufSize_ = 2048;
  std::int16_t packetSize_ = -1;
  std::int32_t packetTimeout_ = -1;
  TPacketMode packetMode_ = pmDiscard;
  std::uint16_t pollingDelay_ = 100;
  bool enableDtrOnOpen_ = true;
  std::uint16_t outputTimeout_ = 500;
  std::uint32_t inputTimeout_ = 200;
  bool checkLineStatus_ = false;

  std::vector<std::uint8_t> receiveBuffer_;
  std::optional<std::uint32_t> packetStart_;  // tick of the first byte of an incomplete packet
  // Atomic because on Windows the timer message may reach the thread that made
  // the component while another thread uses the port under a hold.
  std::atomic<int> hold_ = 0;
  std::atomic<bool> timerRunning_ = false;
};

// Port numbers a user may give: Windows numbers its serial ports up to COM255,
// beyond the sixteen that TComPortNumber names, and a USB adapter on a service
// laptop is often COM10 or higher.
inline constexpr int kMaxComPortNumber = 255;

// The device a port number (1 for COM1) opens on this system: on Windows
// "\\.\COMn"; elsewhere the device named by the environment variable
// QSR470_COM<n> when it is set, else /dev/ttyS<n-1>. The gang names its
// updaters' devices by the same rule, so it lives here alone.
std::string PortDeviceName(int number);
// The device QSR470_COM<n> names for a port number, if it names one; never
// on Windows, which numbers its ports itself. The list of ports present
// tells such a device from a numbered UART by it.
std::optional<std::string> PortDeviceFromEnvironment(int number);
