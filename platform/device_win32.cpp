// Windows side of the serial-device check. Only Win32 calls belong here.
#include "platform/files.h"

namespace platform {

// COM ports are names in the device namespace, not paths a program can
// look at before opening them; the link's open tells what is wrong.
std::string NotASerialPortReason(const std::string&) {
  return {};
}

}  // namespace platform
