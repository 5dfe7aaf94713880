#include "app/cli/hints.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/JobCheck.h"
#include "app/main.h"
#include "platform/files.h"

namespace {

std::string Duration(double seconds) {
  char text[64];
  if (seconds < 90) {
    std::snprintf(text, sizeof text, "%.0f s", std::max(1.0, std::round(seconds)));
  } else if (seconds < 5400) {
    std::snprintf(text, sizeof text, "%.0f min", std::round(seconds / 60));
  } else {
    std::snprintf(text, sizeof text, "%.1f h", seconds / 3600);
  }
  return text;
}

}  // namespace

std::string NotAFileLine(const std::string& error) {
  const std::string notFound = kNotFound;
  if (!error.ends_with(notFound)) return {};
  const std::string path = error.substr(0, error.size() - notFound.size());
  const std::string what = platform::NotAFileReason(path);
  return what.empty() ? std::string() : path + " is " + what + ", not a file";
}

std::optional<double> MedianOf(std::vector<double> values) {
  if (values.empty()) return std::nullopt;
  std::sort(values.begin(), values.end());
  return values[(values.size() - 1) / 2];
}

std::size_t EstimateExchanges(const TJob& job) {
  std::size_t exchanges = 0;
  for (const TJobLine& line : job.lines)
    exchanges += 1 + static_cast<std::size_t>(std::max(line.plan.count, 0));
  return exchanges;
}

std::string SlowAdapterHint(double latencyMs, std::size_t exchanges) {
  char text[512];
  std::snprintf(text, sizeof text,
                "The serial adapter delays every reply by about %.0f ms, which makes this run "
                "about %s longer. Lower the adapter's latency timer to 1 ms: on Linux write 1 "
                "to /sys/bus/usb-serial/devices/ttyUSB0/latency_timer (the adapter's ttyUSB "
                "name), on Windows set Latency Timer in the port's Advanced settings in Device "
                "Manager.",
                latencyMs, Duration(latencyMs * static_cast<double>(exchanges) / 1000).c_str());
  return text;
}

void AdapterLatencyCheck::AfterStep(TMainFich& main,
                                    const std::function<void(const std::string&)>& say) {
  if (checked_ || main.Record.Lines.empty()) return;
  const TLineRecord& sync = main.Record.Lines.front();
  if (sync.Number != 0 || sync.Outcome.empty()) return;
  checked_ = true;
  // Synchronisation is the first dialogue of the run: every reply measured
  // so far belongs to it.
  median_ = MedianOf(main.Link().ReplyLatenciesMs());
  if (!median_ || *median_ <= kSlowAdapterMs || sync.Outcome != "done") return;
  say(SlowAdapterHint(*median_, EstimateExchanges(CheckJob(main.Script, main.JobSettings()))));
}

std::string PermissionHint::AfterOpenError(const std::string& detail) {
  if (given_) return {};
  // The reason reads "PATH: what went wrong".
  const std::size_t colon = detail.rfind(": ");
  if (colon == std::string::npos || colon == 0) return {};
  const std::string path = detail.substr(0, colon);
  const std::optional<DeviceAccess> access = DeniedDeviceAccess(path);
  if (!access) return {};
  given_ = true;
  const std::string user = access->user.empty() ? "$USER" : access->user;
  // Joining the device's group only helps when the group may use it, and
  // never joining root.
  if (access->groupMayUse && !access->group.empty() && access->group != "root") {
    const std::string debian = access->group == "dialout" ? "" : " (on Debian: dialout)";
    return "You may not open " + path + ": it belongs to the group " + access->group + debian +
           ". Add yourself to it with: sudo usermod -aG " + access->group + " " + user +
           ", then log out and in again.";
  }
  return "You may not open " + path +
         ": no group may use it. Serial adapters on Debian belong to the group dialout; add "
         "yourself to it with: sudo usermod -aG dialout " +
         user + ", then log out and in again, or use the adapter's device.";
}
