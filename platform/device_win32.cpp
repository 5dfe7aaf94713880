// Windows side of the serial-device check. Only Win32 calls belong here.
#include <windows.h>

#include <cctype>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace platform {
namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Names the system takes as devices rather than files: "\\.\COM12",
// "COM3", and the other reserved names, which it resolves as devices in any
// folder and with any extension ("C:\job\NUL.txt"). Asking for their
// attributes says nothing about a port, so the open is left to say what is
// wrong with them.
bool InDeviceNamespace(const std::string& path) {
  if (path.starts_with("\\\\.\\") || path.starts_with("//./")) return true;
  std::string_view name = path;
  if (name.ends_with(':')) name.remove_suffix(1);  // "COM3:" names the port too
  if (const auto sep = name.find_last_of("\\/:"); sep != std::string_view::npos) {
    name.remove_prefix(sep + 1);
  }
  name = name.substr(0, name.find('.'));
  while (!name.empty() && name.back() == ' ')
    name.remove_suffix(1);
  for (const std::string_view reserved : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (EqualsIgnoringCase(name, reserved)) return true;
  }
  if (name.size() < 4) return false;
  const std::string_view kind = name.substr(0, 3);
  if (!EqualsIgnoringCase(kind, "COM") && !EqualsIgnoringCase(kind, "LPT")) return false;
  for (const char c : name.substr(3)) {
    if (std::isdigit(static_cast<unsigned char>(c)) == 0) return false;
  }
  return true;
}

}  // namespace

std::string NotASerialPortReason(const std::string& path) {
  if (path.empty() || InDeviceNamespace(path)) return {};
  // The same ANSI call family as the port's open, so both read the name
  // alike. A failure (nothing there yet, no access) leaves the open to say
  // why.
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return {};
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return {};
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return "a directory, not a serial port";
  return "a regular file, not a serial port";
}

}  // namespace platform
