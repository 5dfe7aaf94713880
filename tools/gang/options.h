#pragma once

#include <optional>
#include <string>
#include <vector>

// The command line of qsr470-gang.
struct GangOptions {
  struct Unit {
    std::string device;  // the path the updater opens
    int port = 0;        // when named by --port N: the updater is given N
  };
  std::vector<Unit> units;  // in the order given
  std::optional<std::string> script;
  // Options every updater gets, already in the updater's own spelling.
  std::vector<std::string> shared;
  bool check = false;
  std::optional<std::string> reportDir;
  std::optional<std::string> updater;
  bool help = false;
  bool version = false;
};

// Parses argv[1..]; on bad usage returns nothing and says why in `error`.
// Port numbers are resolved to device paths as the updater resolves them.
std::optional<GangOptions> ParseGangOptions(const std::vector<std::string>& args,
                                            std::string& error);

// The same device named twice (directly, through a link or by port number),
// or two devices whose reports would share a name: the reason, else empty.
std::string CheckUnitsDistinct(const GangOptions& options);

// A device that is there and can never be a serial port (a file, a
// folder, /dev/null): the reason, else empty.
std::string CheckUnitDevices(const GangOptions& options);

// The unit's short name: the device's file name, used in the display and for
// its report.
std::string UnitName(const GangOptions::Unit& unit);

extern const char* const kGangUsage;
