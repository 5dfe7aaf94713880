// PermissionHint on Windows: a COM port belongs to no group; a refused open
// there means the port is in use, which the open error already says.
#include "app/cli/hints.h"

std::optional<DeviceAccess> DeniedDeviceAccess(const std::string&) {
  return std::nullopt;
}
