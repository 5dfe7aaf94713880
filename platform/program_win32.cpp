// Windows side of the program-folder seam. Only Win32 calls belong here.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <string>

#include "platform/files.h"

namespace platform {

char PathSeparator() {
  return '\\';
}

std::string ProgramFolder() {
  char buf[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
  // A truncated or failed answer leaves no trustworthy folder: fall back to
  // the working directory rather than a half path.
  if (n == 0 || n >= MAX_PATH) return ".\\";
  std::string path(buf, n);
  const auto sep = path.find_last_of("\\/");
  return sep == std::string::npos ? std::string(".\\") : path.substr(0, sep + 1);
}

std::string CurrentFolder() {
  char buf[MAX_PATH + 1];
  const DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
  if (n == 0 || n >= sizeof buf) return "";
  std::string folder(buf, n);
  if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
  return folder;
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return path;
  // The system resolves drive-relative forms ("C:job\script.ini", "\job")
  // as well as plain relative ones.
  char buf[MAX_PATH + 1];
  const DWORD n = GetFullPathNameA(path.c_str(), sizeof buf, buf, nullptr);
  if (n == 0 || n >= sizeof buf) return path;
  return std::string(buf, n);
}

std::string FolderOf(const std::string& path) {
  const auto sep = path.find_last_of("\\/:");
  return sep == std::string::npos ? CurrentFolder() : path.substr(0, sep + 1);
}

bool FileNamesIgnoreCase() {
  return true;
}

std::string InstalledKeysFolder() {
  return ProgramFolder() + "keys";
}

std::tm UtcCalendarTime(std::time_t time) {
  // A time the call cannot convert leaves the zeroed calendar time, which a
  // report shows as an obviously wrong date rather than failing the run.
  std::tm tm{};
  gmtime_s(&tm, &time);
  return tm;
}

std::FILE* CreateNewFile(const std::string& path) {
  // The C runtime the Windows build links knows no "x" in fopen's mode.
  const int fd =
      ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  std::FILE* file = fd < 0 ? nullptr : ::_fdopen(fd, "wb");
  if (fd >= 0 && file == nullptr) ::_close(fd);
  return file;
}

}  // namespace platform
