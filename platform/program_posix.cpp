// POSIX side of the program-folder seam. Only calls that exist on Linux and
// the BSDs belong here; nothing Windows-specific.
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "platform/files.h"

namespace platform {

char PathSeparator() {
  return '/';
}

std::string ProgramFolder() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return "./";
  std::string path(buf, static_cast<size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

std::string CurrentFolder() {
  char buf[PATH_MAX];
  if (::getcwd(buf, sizeof buf) == nullptr) return "";
  std::string folder(buf);
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  return CurrentFolder() + path;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? CurrentFolder() : path.substr(0, slash + 1);
}

bool FileNamesIgnoreCase() {
  return false;
}

std::string InstalledKeysFolder() {
  return "/etc/qsr470-updater/keys";
}

std::tm UtcCalendarTime(std::time_t time) {
  // A time the call cannot convert leaves the zeroed calendar time, which a
  // report shows as an obviously wrong date rather than failing the run.
  std::tm tm{};
  gmtime_r(&time, &tm);
  return tm;
}

std::FILE* CreateNewFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  std::FILE* file = fd < 0 ? nullptr : ::fdopen(fd, "wb");
  if (fd >= 0 && file == nullptr) ::close(fd);
  return file;
}

}  // namespace platform
