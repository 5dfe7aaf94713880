#include "app/cli/options.h"

#include <charconv>

#include "app/CompDlg.h"
#include "app/LinkPort.h"
#include "platform/files.h"

const char* const kCliUsage =
    "usage: qsr470-update [OPTIONS] [SCRIPT]\n"
    "  SCRIPT              script to run (default: script.ini in the program's folder)\n"
    "  --readid            run readid.ini from the current directory instead\n"
    "  --device PATH       serial device to open (overrides --port)\n"
    "  --port N            port number 1..255 (default 1)\n"
    "  --list-ports        print the serial ports present, with their names, and exit\n"
    "  --mode auto|manual  default manual\n"
    "  --speed fast|slow   default fast\n"
    "  --skip keyb|prom1|prom2   deselect a component in manual mode (repeatable)\n"
    "  --files DIR         folder where image and Effect files are looked up\n"
    "                      (default: the folder of the script that runs)\n"
    "  --trusted-key FILE  a minisign public key whose signature a job must carry\n"
    "                      (repeatable; adds to the installed keys)\n"
    "  --report FILE       write a JSON record of the run to FILE\n"
    "  --check             check the whole job without a unit and print its plan\n"
    "  --timeout SECONDS   end the run when it has made no progress for that long (no\n"
    "                      reply the run waits for, however much else the unit sends)\n"
    "  --progress json     one JSON object per line on stdout instead of status lines\n"
    "  --help, --version\n";

namespace {

template <typename Number>
bool ParseNumber(const std::string& text, Number low, Number high, Number& number) {
  Number value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || value < low || value > high) return false;
  number = value;
  return true;
}

}  // namespace

std::optional<CliOptions> ParseCliOptions(const std::vector<std::string>& args,
                                          std::string& error) {
  CliOptions o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--version") {
      o.version = true;
    } else if (a == "--list-ports") {
      o.listPorts = true;
    } else if (a == "--readid") {
      o.readId = true;
    } else if (a == "--device") {
      if (!value(v)) return std::nullopt;
      if (v.empty()) {
        error = "--device needs a path";
        return std::nullopt;
      }
      o.device = v;
    } else if (a == "--port") {
      if (!value(v)) return std::nullopt;
      if (!ParseNumber(v, 1, kMaxPortNumber, o.port)) {
        error = "--port takes a number from 1 to " + std::to_string(kMaxPortNumber) + ", not '" +
                v + "'";
        return std::nullopt;
      }
    } else if (a == "--mode") {
      if (!value(v)) return std::nullopt;
      if (v != "auto" && v != "manual") {
        error = "--mode takes auto or manual, not '" + v + "'";
        return std::nullopt;
      }
      o.autoMode = v == "auto";
    } else if (a == "--speed") {
      if (!value(v)) return std::nullopt;
      if (v != "fast" && v != "slow") {
        error = "--speed takes fast or slow, not '" + v + "'";
        return std::nullopt;
      }
      o.slow = v == "slow";
    } else if (a == "--skip") {
      if (!value(v)) return std::nullopt;
      if (TCompSelDlg().BoxNamed(v) == nullptr) {
        error = "--skip takes keyb, prom1 or prom2, not '" + v + "'";
        return std::nullopt;
      }
      o.skip.push_back(v);
    } else if (a == "--files") {
      if (!value(v)) return std::nullopt;
      if (v.empty()) {
        error = "--files needs a folder";
        return std::nullopt;
      }
      if (v.back() != '/' && v.back() != platform::PathSeparator()) v += platform::PathSeparator();
      o.files = v;
    } else if (a == "--report") {
      if (!value(v)) return std::nullopt;
      if (v.empty()) {
        error = "--report needs a file name";
        return std::nullopt;
      }
      o.report = v;
    } else if (a == "--trusted-key") {
      if (!value(v)) return std::nullopt;
      if (v.empty()) {
        error = "--trusted-key needs a file";
        return std::nullopt;
      }
      o.trustedKeys.push_back(v);
    } else if (a == "--check") {
      o.check = true;
    } else if (a == "--timeout") {
      if (!value(v)) return std::nullopt;
      // A day is far beyond any wait of the unit's, and keeps the time in range.
      if (!ParseNumber(v, 1u, 86400u, o.timeoutSeconds)) {
        error = "--timeout takes whole seconds from 1 to 86400, not '" + v + "'";
        return std::nullopt;
      }
    } else if (a == "--progress") {
      if (!value(v)) return std::nullopt;
      if (v != "json") {
        error = "--progress takes json, not '" + v + "'";
        return std::nullopt;
      }
      o.progressJson = true;
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
  if (!o.skip.empty() && o.autoMode) {
    error = "--skip applies to manual mode only";
    return std::nullopt;
  }
  if (o.readId && o.script) {
    error = "--readid runs readid.ini; give no script with it";
    return std::nullopt;
  }
  return o;
}

void ApplySkips(const CliOptions& options, TCompSelDlg& selection) {
  if (options.autoMode) return;
  for (const std::string& name : options.skip) {
    if (TCheckBox* box = selection.BoxNamed(name)) box->Checked = false;
  }
}
