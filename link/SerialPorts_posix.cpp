// The serial ports present on Linux. Only POSIX calls and Linux's /sys and
// /dev conventions belong here.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "link/ComDrv32.h"
#include "link/SerialPorts.h"

namespace {

struct Adapter {
  std::string name;    // the stable name in the by-id folder
  std::string path;    // that name's full path
  std::string device;  // the device it leads to
  bool numbered = false;
};

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

std::vector<Adapter> AdaptersById() {
  const char* named = std::getenv("QSR470_SERIAL_BY_ID");
  const std::string folder = named != nullptr && *named != '\0' ? named : "/dev/serial/by-id";
  std::vector<Adapter> adapters;
  // No folder means no adapter plugged in: udev makes it for the first one.
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
  if (!dir) return adapters;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder + "/" + name;
    adapters.push_back({name, path, RealPath(path)});
  }
  return adapters;
}

// The kernel keeps ttyS ports for UARTs that may not be there; a port whose
// type is 0 has none behind it.
bool UartPresent(int index) {
  std::ifstream type("/sys/class/tty/ttyS" + std::to_string(index) + "/type");
  int value = 0;
  return static_cast<bool>(type >> value) && value != 0;
}

bool DevicePresent(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

}  // namespace

std::vector<TSerialPortInfo> ListSerialPorts() {
  std::vector<Adapter> adapters = AdaptersById();
  std::sort(adapters.begin(), adapters.end(),
            [](const Adapter& a, const Adapter& b) { return a.name < b.name; });
  std::vector<TSerialPortInfo> ports;
  for (int n = 1; n <= kMaxComPortNumber; ++n) {
    const bool mapped = PortDeviceFromEnvironment(n).has_value();
    const std::string device = PortDeviceName(n);
    if (mapped ? !DevicePresent(device) : !UartPresent(n - 1)) continue;
    TSerialPortInfo port{n, "", device};
    const std::string real = RealPath(device);
    for (Adapter& adapter : adapters) {
      if (adapter.device != real) continue;
      adapter.numbered = true;
      port.name = adapter.name;
      port.path = adapter.path;
      break;
    }
    ports.push_back(port);
  }
  for (const Adapter& adapter : adapters) {
    if (!adapter.numbered) ports.push_back({0, adapter.name, adapter.path});
  }
  return ports;
}
