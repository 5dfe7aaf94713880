// PermissionHint's look at the device on POSIX systems.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "app/cli/hints.h"

std::optional<DeviceAccess> DeniedDeviceAccess(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  if (::access(path.c_str(), R_OK | W_OK) == 0 || errno != EACCES) return std::nullopt;
  DeviceAccess access;
  access.groupMayUse = (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (::getgrgid_r(info.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    access.group = found->gr_name;
  }
  passwd user{};
  passwd* me = nullptr;
  if (::getpwuid_r(::getuid(), &user, buffer.data(), buffer.size(), &me) == 0 && me) {
    access.user = me->pw_name;
  }
  return access;
}
