#pragma once

#include <optional>
#include <string>
#include <vector>

// The command line of qsr470-update.
struct CliOptions {
  std::optional<std::string> script;  // empty: script.ini in the program's folder
  bool readId = false;
  std::optional<std::string> device;
  int port = 1;
  bool listPorts = false;  // print the serial ports present and exit
  bool autoMode = false;
  bool slow = false;
  std::vector<std::string> skip;     // --skip names, each a box of the selection dialog
  std::optional<std::string> files;  // always ends with a separator when set
  std::optional<std::string> report;
  // --trusted-key files, beside the installed keys
  std::vector<std::string> trustedKeys;
  bool check = false;           // plan the job instead of running it
  unsigned timeoutSeconds = 0;  // 0: wait for the unit for ever
  bool progressJson = false;    // --progress json
  bool help = false;
  bool version = false;
};

// Parses argv[1..]; on bad usage returns nothing and says why in `error`.
std::optional<CliOptions> ParseCliOptions(const std::vector<std::string>& args, std::string& error);

extern const char* const kCliUsage;

class TCompSelDlg;
// Unticks the boxes that --skip names; Auto mode updates everything.
void ApplySkips(const CliOptions& options, TCompSelDlg& selection);
