// Windows serial ports behind comdrv::SerialBackend: the communications
// calls on a synchronous handle, and a hidden window for the polling timer.
// Only Win32 calls belong here; no behaviour of the component and no
// time-outs of its own.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <string>

#include "link/ComDrv32_backend.h"

namespace comdrv {
namespace {

constexpr UINT_PTR kPollTimerId = 1;
constexpr const char* kWindowClass = "QSR470CommPortDriver";

std::string SystemErrorText(const std::string& what, DWORD code) {
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, text, sizeof text, nullptr);
  std::string message(text, n);
  while (!message.empty() && (message.back() == '\r' || message.back() == '\n')) {
    message.pop_back();
  }
  if (message.empty()) message = "error " + std::to_string(code);
  return what + ": " + message;
}

// "W32S", "W95", "WNT" or "??", and major * 65536 + minor (0 when unknown).
void QueryPlatform(std::string& label, std::uint32_t& version) {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  label = "??";
  version = 0;
  if (!GetVersionExA(&info)) return;
  switch (info.dwPlatformId) {
    case 0:
      label = "W32S";
      break;
    case 1:
      label = "W95";
      break;
    case 2:
      label = "WNT";
      break;
    default:
      break;
  }
  version = (info.dwMajorVersion << 16) + (info.dwMinorVersion & 0xFFFF);
}

class Win32Backend final : public SerialBackend {
 public:
  Win32Backend() {
    QueryPlatform(platformLabel_, platformVersion_);
    wakeEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);  // auto-reset
    if (wakeEvent_ == nullptr) lastError_ = SystemErrorText("wake event", GetLastError());
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &Win32Backend::WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    // Fails harmlessly when an earlier component registered the class.
    (void)RegisterClassA(&windowClass);
    window_ = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                              nullptr);
    if (window_ != nullptr) {
      SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    } else {
      lastError_ = SystemErrorText("timer window", GetLastError());
    }
  }

  ~Win32Backend() override {
    Close();
    if (window_ != nullptr) DestroyWindow(window_);
    if (wakeEvent_ != nullptr) CloseHandle(wakeEvent_);
  }

  std::string DeviceNameFor(TComPortNumber port) const override {
    return PortDeviceName(static_cast<int>(port) + 1);
  }

  bool Open(const std::string& device) override {
    const HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      lastError_ = SystemErrorText(device, GetLastError());
      return false;
    }
    handle_ = handle;
    gone_ = false;
    lastError_.clear();
    return true;
  }

  void Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    CloseHandle(handle_);  // the handle is gone whatever it reports
    handle_ = INVALID_HANDLE_VALUE;
  }

  bool IsOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }
  bool Gone() const override { return gone_; }

  void SetLineSettings(const LineSettings& settings) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = BaudRateValue(settings.speed);
    dcb.fBinary = 1;
    dcb.fParity = 0;  // parity is never checked, whatever is sent
    dcb.fDtrControl = settings.dtrOn ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    switch (settings.hwHandshaking) {
      case hhNONE:
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        break;
      case hhNONERTSON:
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        break;
      case hhRTSCTS:
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        dcb.fOutxCtsFlow = 1;
        break;
    }
    const bool xonXoff = settings.swHandshaking == shXONXOFF;
    dcb.fOutX = xonXoff ? 1 : 0;
    dcb.fInX = xonXoff ? 1 : 0;
    dcb.XonLim = FlowControlLimit(settings.inBufSize, platformLabel_, platformVersion_);
    dcb.XoffLim = dcb.XonLim;
    dcb.ByteSize = static_cast<BYTE>(settings.dataBits + 5);
    dcb.Parity = static_cast<BYTE>(settings.parity);
    dcb.StopBits = static_cast<BYTE>(settings.stopBits);
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    // The component goes on whatever the port says; the failure is kept for
    // LastError only.
    if (!SetCommState(handle_, &dcb)) {
      lastError_ = SystemErrorText("SetCommState", GetLastError());
      return;
    }
    DCB now{};
    now.DCBlength = sizeof now;
    if (GetCommState(handle_, &now) &&
        (now.BaudRate != dcb.BaudRate || now.ByteSize != dcb.ByteSize || now.Parity != dcb.Parity ||
         now.StopBits != dcb.StopBits)) {
      lastError_ = "the device did not take every line setting";
    }
  }

  void Purge(bool input, bool output) override {
    DWORD flags = 0;
    if (input) flags |= PURGE_RXABORT | PURGE_RXCLEAR;
    if (output) flags |= PURGE_TXABORT | PURGE_TXCLEAR;
    if (flags != 0 && !PurgeComm(handle_, flags)) {
      lastError_ = SystemErrorText("PurgeComm", GetLastError());
    }
  }

  void SetQueueSizes(std::uint16_t input, std::uint16_t output) override {
    if (!SetupComm(handle_, input, output)) {
      lastError_ = SystemErrorText("SetupComm", GetLastError());
    }
  }

  void SetShortTimeouts() override {
    COMMTIMEOUTS timeouts{};  // all in milliseconds
    timeouts.ReadIntervalTimeout = 1;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 1;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 1;
    if (!SetCommTimeouts(handle_, &timeouts)) {
      lastError_ = SystemErrorText("SetCommTimeouts", GetLastError());
    }
  }

  QueueCounts Counts() override {
    // Also clears the port's error flags, which nobody looks at.
    DWORD errors = 0;
    COMSTAT status{};
    QueueCounts counts;
    if (ClearCommError(handle_, &errors, &status)) {
      counts.input = status.cbInQue;
      counts.output = status.cbOutQue;
    } else {
      NoteFailure("ClearCommError");  // an adapter pulled out fails every call
    }
    return counts;
  }

  std::optional<TModemLines> ModemLines() override {
    DWORD bits = 0;
    if (!GetCommModemStatus(handle_, &bits)) return std::nullopt;
    TModemLines lines;
    lines.CTS = (bits & MS_CTS_ON) != 0;
    lines.DSR = (bits & MS_DSR_ON) != 0;
    lines.RING = (bits & MS_RING_ON) != 0;
    lines.RLSD = (bits & MS_RLSD_ON) != 0;
    return lines;
  }

  std::uint32_t Read(std::uint8_t* buffer, std::uint32_t count) override {
    if (count == 0) return 0;
    DWORD moved = 0;
    if (!ReadFile(handle_, buffer, count, &moved, nullptr)) NoteFailure("ReadFile");
    return moved;
  }

  std::uint32_t Write(const std::uint8_t* data, std::uint32_t count) override {
    if (count == 0) return 0;
    DWORD moved = 0;
    if (!WriteFile(handle_, data, count, &moved, nullptr)) NoteFailure("WriteFile");
    return moved;
  }

  // A synchronous handle has nothing to wait on, so these sleep for the
  // shortest step the system offers; the component looks again after it.
  void WaitInput(std::uint32_t maxMs) override { Sleep(gone_ ? maxMs : 1); }
  void WaitOutput(std::uint32_t maxMs) override { Sleep(gone_ ? maxMs : 1); }

  void WaitInputOrWake(std::uint32_t maxMs) override {
    const DWORD wait = gone_ ? maxMs : 1;
    if (wakeEvent_ == nullptr) {
      Sleep(wait);
    } else {
      (void)WaitForSingleObject(wakeEvent_, wait);  // signalled or timed out: either way, return
    }
  }

  void Wake() override {
    if (wakeEvent_ != nullptr) (void)SetEvent(wakeEvent_);  // fails only with a bad handle
  }

  void AttachTimer(std::function<void()> onTick) override { onTick_ = std::move(onTick); }

  // The window belongs to the thread that made the component; from any other
  // thread Windows refuses the timer, and the poll simply never runs.
  void StartTimer(std::uint16_t periodMs) override {
    if (window_ != nullptr && SetTimer(window_, kPollTimerId, periodMs, nullptr) == 0) {
      lastError_ = SystemErrorText("SetTimer", GetLastError());
    }
  }

  void StopTimer() override {
    if (window_ != nullptr) (void)KillTimer(window_, kPollTimerId);  // fails only when not set
  }

  const std::string& LastError() const override { return lastError_; }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER && wParam == kPollTimerId) {
      auto* self = reinterpret_cast<Win32Backend*>(GetWindowLongPtrA(window, GWLP_USERDATA));
      if (self != nullptr && self->onTick_) self->onTick_();
      return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
  }

  void NoteFailure(const char* what) {
    const DWORD code = GetLastError();
    // A purge aborts a transfer on purpose; anything else means the device
    // is unusable until it is opened again (an adapter pulled out).
    if (code == ERROR_OPERATION_ABORTED) return;
    if (!gone_) lastError_ = SystemErrorText(what, code);
    gone_ = true;
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HWND window_ = nullptr;
  HANDLE wakeEvent_ = nullptr;
  std::function<void()> onTick_;
  std::string platformLabel_;
  std::uint32_t platformVersion_ = 0;
  bool gone_ = false;
  std::string lastError_;
};

}  // namespace

std::unique_ptr<SerialBackend> MakeNativeBackend() {
  return std::make_unique<Win32Backend>();
}

}  // namespace comdrv

std::string PortDeviceName(int number) {
  // The "\\.\" prefix is what makes ports above COM9 reachable.
  return "\\\\.\\COM" + std::to_string(number);
}

std::optional<std::string> PortDeviceFromEnvironment(int) {
  return std::nullopt;
}
