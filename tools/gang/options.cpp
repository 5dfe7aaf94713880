#include "tools/gang/options.h"

#include <array>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <span>

#include "app/CompDlg.h"
#include "link/ComDrv32.h"

#include "platform/files.h"

const char* const kGangUsage =
    "usage: qsr470-gang [OPTIONS] --device D1 --device D2 ... [SCRIPT]\n"
    "  --device PATH       a unit's serial device (repeatable)\n"
    "  --port N            a unit's port number 1..255 (repeatable)\n"
    "  --mode auto|manual, --speed fast|slow, --skip keyb|prom1|prom2,\n"
    "  --files DIR, --timeout SECONDS, --trusted-key FILE (repeatable)\n"
    "                      passed to every unit's qsr470-update\n"
    "  --check             check the job once with qsr470-update --check; no unit is touched\n"
    "  --report DIR        DIR/<device name>.json per unit, and DIR/summary.json\n"
    "  --updater PATH      the qsr470-update to run (default: $QSR470_UPDATER, else the\n"
    "                      one beside this program)\n"
    "  --help, --version\n";

namespace {

bool OneOf(const std::string& v, std::span<const char* const> allowed) {
  for (const char* a : allowed) {
    if (v == a) return true;
  }
  return false;
}

}  // namespace

std::string UnitName(const GangOptions::Unit& unit) {
  const std::string name = std::filesystem::path(unit.device).filename().string();
  return name.empty() ? unit.device : name;
}

std::optional<GangOptions> ParseGangOptions(const std::vector<std::string>& args,
                                            std::string& error) {
  GangOptions o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    auto value = [&] {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        error = a + " needs a value";
        return false;
      }
      v = args[++i];
      return true;
    };
    // Values the updater would refuse are refused here, before any unit
    // starts, rather than once per unit.
    auto shared = [&](std::span<const char* const> allowed) {
      if (!value()) return false;
      if (allowed.size() != 0 && !OneOf(v, allowed)) {
        error = a + " does not take '" + v + "'";
        return false;
      }
      o.shared.push_back(a);
      o.shared.push_back(v);
      return true;
    };
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--version") {
      o.version = true;
    } else if (a == "--device") {
      if (!value()) return std::nullopt;
      o.units.push_back({v, 0});
    } else if (a == "--port") {
      if (!value()) return std::nullopt;
      int port = 0;
      const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), port);
      if (ec != std::errc() || end != v.data() + v.size() || port < 1 || port > kMaxComPortNumber) {
        error = "--port takes a number from 1 to " + std::to_string(kMaxComPortNumber) + ", not '" +
                v + "'";
        return std::nullopt;
      }
      o.units.push_back({PortDeviceName(port), port});
    } else if (a == "--mode") {
      if (!shared(std::array{"auto", "manual"})) return std::nullopt;
    } else if (a == "--speed") {
      if (!shared(std::array{"fast", "slow"})) return std::nullopt;
    } else if (a == "--skip") {
      if (!shared(TCompSelDlg::kBoxNames)) return std::nullopt;
    } else if (a == "--files" || a == "--trusted-key") {
      if (!shared({})) return std::nullopt;
    } else if (a == "--timeout") {
      if (!shared({})) return std::nullopt;
      // As the updater takes it: a run that may wait no time at all fails
      // every unit.
      unsigned seconds = 0;
      const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), seconds);
      if (ec != std::errc() || end != v.data() + v.size() || seconds < 1 || seconds > 86400) {
        error = "--timeout takes whole seconds from 1 to 86400, not '" + v + "'";
        return std::nullopt;
      }
    } else if (a == "--check") {
      o.check = true;
    } else if (a == "--report") {
      if (!value()) return std::nullopt;
      o.reportDir = v;
    } else if (a == "--updater") {
      if (!value()) return std::nullopt;
      o.updater = v;
    } else if (a.size() > 1 && a[0] == '-') {
      error = "unknown option " + a;
      return std::nullopt;
    } else if (!o.script) {
      o.script = a;
    } else {
      error = "only one script may be given";
      return std::nullopt;
    }
  }
  // The updater takes the last --mode given, and refuses --skip in Auto.
  bool skip = false;
  bool autoMode = false;
  for (std::size_t k = 0; k + 1 < o.shared.size(); k += 2) {
    if (o.shared[k] == "--skip") skip = true;
    if (o.shared[k] == "--mode") autoMode = o.shared[k + 1] == "auto";
  }
  if (skip && autoMode) {
    error = "--skip applies to manual mode only";
    return std::nullopt;
  }
  if (o.units.empty() && !o.check && !o.help && !o.version) {
    error = "name at least one unit with --device or --port";
    return std::nullopt;
  }
  return o;
}

std::string CheckUnitDevices(const GangOptions& options) {
  for (const auto& unit : options.units) {
    if (const std::string why = platform::NotASerialPortReason(unit.device); !why.empty()) {
      return "the device " + unit.device + " is " + why;
    }
  }
  return {};
}

std::string CheckUnitsDistinct(const GangOptions& options) {
  std::map<std::string, std::string> byPath;  // canonical path -> as given
  std::map<std::string, std::string> byName;
  for (const auto& unit : options.units) {
    std::error_code ec;
    // Links and relative paths name the same device as their target does.
    auto path = std::filesystem::weakly_canonical(unit.device, ec).string();
    if (ec) path = unit.device;
    if (auto [at, fresh] = byPath.emplace(path, unit.device); !fresh) {
      return "the device " + unit.device + " is named twice" +
             (at->second == unit.device ? "" : " (also as " + at->second + ")");
    }
    if (options.reportDir) {
      const std::string name = UnitName(unit);
      if (auto [at, fresh] = byName.emplace(name, unit.device); !fresh) {
        return at->second + " and " + unit.device + " would both write the report " + name +
               ".json";
      }
    }
  }
  return {};
}
