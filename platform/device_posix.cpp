// POSIX side of the serial-device check: the file type from stat, and on
// Linux the device's class from sysfs (major()/minor() live in glibc's
// sys/sysmacros.h). Nothing Windows-specific.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "platform/files.h"

namespace platform {

std::string NotASerialPortReason(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};  // not there (yet): the link says why
  if (S_ISREG(st.st_mode)) return "a regular file, not a serial port";
  if (S_ISDIR(st.st_mode)) return "a directory, not a serial port";
  if (!S_ISCHR(st.st_mode)) return "not a serial port";
  // Opening the device to ask would lower and raise DTR, which some units
  // take as a reset, and tells a unit's far end the line was let go. Linux
  // names each device's class instead: /dev/null is "mem", a serial port
  // "tty". Pseudo-terminals and systems without that have no entry, and
  // are left to the link.
  const std::string entry = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                            std::to_string(minor(st.st_rdev)) + "/subsystem";
  char target[PATH_MAX];
  const ssize_t n = ::readlink(entry.c_str(), target, sizeof target - 1);
  if (n <= 0) return {};
  const std::string subsystem(target, static_cast<std::size_t>(n));
  if (subsystem.ends_with("/tty")) return {};
  const std::string kind = subsystem.substr(subsystem.rfind('/') + 1);
  return "a device that is not a terminal (class " + kind + "), never a serial port";
}

}  // namespace platform
