// qsr470-svf2effect: turns a vendor's SVF file into an Effect file that the
// updater plays. Exit 0 with the file written, 1 when the input is refused
// or a file cannot be read or written (nothing is written then), 2 on bad
// usage (an output that would overwrite the input included).

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/files.h"
#include "tools/svf2effect/svf2effect.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "usage: qsr470-svf2effect [--tck-hz HZ] [--verbose] IN.svf -o OUT.svf\n"
    "  Converts a vendor SVF file into an Effect file for a PROM update\n"
    "  (\"P4 OUT.svf\" in the script). Statements that an Effect file cannot\n"
    "  express exactly are refused with their line; then nothing is written.\n"
    "  --tck-hz HZ    TCK rate for RUNTEST waits in SEC where the file sets no\n"
    "                 FREQUENCY\n"
    "  -o OUT.svf     the Effect file to write\n"
    "  --verbose      name each statement dropped and each value ignored, with\n"
    "                 its line\n"
    "  --help, --version\n";

struct Arguments {
  std::string input;
  std::string output;
  std::string tck_hz;
  bool verbose = false;
};

// Nothing with a message when the command line is unusable.
std::optional<Arguments> Parse(const std::vector<std::string>& args, std::string& error) {
  Arguments parsed;
  bool have_input = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return false;
      }
      into = args[++i];
      return true;
    };
    if (arg == "-o" || arg == "--output") {
      if (!value(parsed.output)) return std::nullopt;
    } else if (arg == "--tck-hz") {
      if (!value(parsed.tck_hz)) return std::nullopt;
      if (!svf2effect::IsFrequency(parsed.tck_hz)) {
        error = "--tck-hz " + parsed.tck_hz + " is not a positive number of HZ";
        return std::nullopt;
      }
    } else if (arg == "--verbose") {
      parsed.verbose = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option " + arg;
      return std::nullopt;
    } else if (have_input) {
      error = "only one input file, please";
      return std::nullopt;
    } else {
      parsed.input = arg;
      have_input = true;
    }
  }
  if (!have_input) error = "no input file";
  if (have_input && parsed.output.empty()) error = "no output file (-o OUT.svf)";
  if (!error.empty()) return std::nullopt;
  return parsed;
}

// Vendor files are a few megabytes at most; the cap keeps a wrong input from
// taking the machine's memory.
constexpr std::uintmax_t kMaxInputBytes = 64u << 20;

// Why the input is not read at all: not a regular file (a folder would read
// as nothing, /dev/zero for ever), or larger than any vendor file. Empty
// when it may be read.
std::string InputRefusal(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec || !fs::exists(st)) return {};  // reading it says why
  if (fs::is_directory(st)) return "is a directory, not a file";
  if (!fs::is_regular_file(st)) return "is not a regular file (a FIFO or a device)";
  const std::uintmax_t size = fs::file_size(path, ec);
  if (!ec && size > kMaxInputBytes) {
    return "is " + std::to_string(size >> 20) + " MiB; no SVF file is larger than 64 MiB";
  }
  return {};
}

bool ReadWhole(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  text = content.str();
  return !in.bad();
}

// Through a temporary file and a rename, so that OUT.svf is never left half
// written for the updater to play.
bool WriteWhole(const std::string& path, const std::string& text, std::string& error) {
  const std::string temporary = path + ".tmp";
  if (!platform::WriteNewFile(temporary, text)) {
    error = "cannot write " + temporary + ": " + std::strerror(errno);
    return false;
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    error = "cannot rename " + temporary + " to " + path + " (" + ec.message() + ")";
    std::error_code ignored;  // the rename has already failed; the report says so
    std::filesystem::remove(temporary, ignored);
    return false;
  }
  return true;
}

int Run(const Arguments& args) {
  // The vendor's file is the only copy a technician may have: the output and
  // its temporary must never replace it.
  if (platform::SameFile(args.input, args.output) ||
      platform::SameFile(args.input, args.output + ".tmp")) {
    std::cerr << "qsr470-svf2effect: -o " << args.output << " would overwrite the input "
              << args.input << "; name another output file\n";
    return kExitUsage;
  }
  if (const std::string why = InputRefusal(args.input); !why.empty()) {
    std::cerr << args.input << ": " << why << "\n";
    return kExitRefused;
  }
  std::string svf;
  if (!ReadWhole(args.input, svf)) {
    std::cerr << args.input << ": cannot read the file\n";
    return kExitRefused;
  }
  svf2effect::Options options;
  options.source_name = std::filesystem::path(args.input).filename().string();
  options.tck_hz = args.tck_hz;
  const svf2effect::Result result = svf2effect::Convert(svf, options);
  if (args.verbose) {
    for (const svf2effect::Problem& note : result.dropped)
      std::cerr << args.input << ":" << note.line << ": dropped: " << note.message << "\n";
  }
  if (!result.problems.empty()) {
    for (const svf2effect::Problem& problem : result.problems) {
      if (problem.line > 0) {
        std::cerr << args.input << ":" << problem.line << ": " << problem.message << "\n";
      } else {
        std::cerr << "qsr470-svf2effect: " << problem.message << "\n";
      }
    }
    return kExitRefused;
  }
  std::string error;
  if (!WriteWhole(args.output, result.effect, error)) {
    std::cerr << "qsr470-svf2effect: " << error << "\n";
    return kExitRefused;
  }
  std::cerr << "qsr470-svf2effect: " << args.input << " -> " << args.output << ": "
            << svf2effect::SummaryText(result.summary) << "\n";
  return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return kExitDone;
    }
    if (arg == "--version") {
      std::cout << "qsr470-svf2effect " << QSR470_VERSION_STRING << "\n";
      return kExitDone;
    }
  }
  std::string error;
  const auto parsed = Parse(args, error);
  if (!parsed) {
    std::cerr << "qsr470-svf2effect: " << error << "\n" << kUsage;
    return kExitUsage;
  }
  return Run(*parsed);
}
