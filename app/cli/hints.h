#pragma once

// Hints the command line gives a newcomer: a path that is there but is no
// file, a serial adapter that holds every reply back, and a device this user
// may not open.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class TMainFich;
struct TJob;

// A script or file refused as " File not found !!!" may be there but be no
// file at all (a folder, a FIFO, a device): then the line that says so, to go
// before the message, which stays the window's. Empty otherwise.
std::string NotAFileLine(const std::string& error);

// Replies held back longer than this, in milliseconds, come from an
// adapter's latency timer rather than from the unit.
inline constexpr double kSlowAdapterMs = 4.0;

// The middle value (the lower of the two middle ones); nothing when empty.
std::optional<double> MedianOf(std::vector<double> values);

// Roughly how many exchanges with the unit a job takes: one per instruction
// (the synchronisation and the end included), and one per line of each image
// and per record of each Effect file, as the job check counts them.
std::size_t EstimateExchanges(const TJob& job);

// The line telling the user that the adapter delays every reply by about
// `latencyMs`, what that costs over `exchanges` exchanges, and the cure.
std::string SlowAdapterHint(double latencyMs, std::size_t exchanges);

// Watches the run: once synchronisation has ended, takes the median latency
// of its replies and, when the adapter holds replies back, says so once.
class AdapterLatencyCheck {
 public:
  void AfterStep(TMainFich& main, const std::function<void(const std::string&)>& say);
  // The median latency of the synchronisation's replies, once measured.
  std::optional<double> MedianMs() const { return median_; }

 private:
  bool checked_ = false;
  std::optional<double> median_;
};

// What to say after "Error while opening " when the reason is that this
// user may not open the device: the group that owns it and how to join it.
// Empty for any other reason, and after the first time.
class PermissionHint {
 public:
  std::string AfterOpenError(const std::string& detail);

 private:
  bool given_ = false;
};

// The platform's part of PermissionHint: the device named in `detail` (as
// "PATH: reason") exists and this user lacks the right to open it; then the
// group that owns it ("" when unknown) and the user's name.
struct DeviceAccess {
  std::string group;
  std::string user;
  bool groupMayUse = false;  // the group may read and write the device
};
std::optional<DeviceAccess> DeniedDeviceAccess(const std::string& path);
