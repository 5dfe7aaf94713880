// The serial ports present on Windows: the system's list of serial ports, and
// Device Manager's names for them. Only Win32 calls belong here.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <string>
#include <vector>

#include "link/ComDrv32.h"
#include "link/SerialPorts.h"

namespace {

// The device setup class "Ports (COM & LPT)".
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// "COM12" is 12; anything else is 0.
int ComNumber(const std::string& text) {
  if (text.size() < 4 || std::toupper(static_cast<unsigned char>(text[0])) != 'C' ||
      std::toupper(static_cast<unsigned char>(text[1])) != 'O' ||
      std::toupper(static_cast<unsigned char>(text[2])) != 'M') {
    return 0;
  }
  int number = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data() + 3, end, number);
  return ec == std::errc() && ptr == end && number >= 1 && number <= kMaxComPortNumber ? number : 0;
}

std::string RegistryText(HKEY key, const char* value) {
  char data[256] = {};
  DWORD type = 0;
  DWORD size = sizeof data - 1;
  if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return {};
  }
  return std::string(data, strnlen(data, size));
}

// Device Manager's names by port number: "USB Serial Port (COM12)" becomes
// "USB Serial Port", since the menu already says which port it is.
std::map<int, std::string> FriendlyNames() {
  std::map<int, std::string> names;
  const HDEVINFO set = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return names;  // no names; the numbers still show
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    const HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    const int number = ComNumber(RegistryText(key, "PortName"));
    RegCloseKey(key);
    char friendly[256] = {};
    if (number == 0 || !SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, nullptr,
                                                          reinterpret_cast<BYTE*>(friendly),
                                                          sizeof friendly - 1, nullptr)) {
      continue;
    }
    std::string name = friendly;
    const std::string suffix = " (COM" + std::to_string(number) + ")";
    if (name.size() > suffix.size() && name.ends_with(suffix))
      name.resize(name.size() - suffix.size());
    names[number] = name;
  }
  SetupDiDestroyDeviceInfoList(set);
  return names;
}

}  // namespace

std::vector<TSerialPortInfo> ListSerialPorts() {
  std::vector<TSerialPortInfo> ports;
  HKEY key = nullptr;
  // No key means no serial port at all.
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return ports;
  }
  for (DWORD i = 0;; ++i) {
    char value[256];
    DWORD valueSize = sizeof value;
    char data[64] = {};
    DWORD dataSize = sizeof data - 1;
    DWORD type = 0;
    const LONG status = RegEnumValueA(key, i, value, &valueSize, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data), &dataSize);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS || type != REG_SZ) continue;  // too long to be a port's name
    const int number = ComNumber(std::string(data, strnlen(data, dataSize)));
    if (number == 0) continue;
    const bool known = std::any_of(ports.begin(), ports.end(),
                                   [&](const TSerialPortInfo& p) { return p.number == number; });
    if (!known) ports.push_back({number, "", PortDeviceName(number)});
  }
  RegCloseKey(key);
  const std::map<int, std::string> names = FriendlyNames();
  for (TSerialPortInfo& port : ports) {
    if (const auto it = names.find(port.number); it != names.end()) port.name = it->second;
  }
  std::sort(ports.begin(), ports.end(),
            [](const TSerialPortInfo& a, const TSerialPortInfo& b) { return a.number < b.number; });
  return ports;
}
