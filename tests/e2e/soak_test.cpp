// The updater against the virtual unit with faults drawn from a seed, a
// hundred runs, four at a time. Whatever the unit does, a run must end by
// itself: completed only when the unit holds what a fault-free run leaves,
// stopped only with one of the updater's own messages, never hung or crashed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "json.h"
#include "process.h"
#include "unit_report_check.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using simtest::Json;

const std::string kUpdater = QSR470_UPDATE_BIN;
const std::string kUnit = QSR470_UNITSIM_BIN;
const std::string kExamples = std::string(QSR470_EXAMPLES_DIR) + "/";
constexpr int kRuns = 100;
constexpr int kAtOnce = 4;
constexpr std::uint32_t kFirstSeed = 2301;
// A run with a time-out of 5 s ends well within this; one that does not has hung.
constexpr auto kRunDeadline = 90s;

// The sample job's dialogue is about 30 commands and 420 record lines long;
// points are drawn a little beyond, so some faults never strike.
constexpr std::uint32_t kCommands = 34;
constexpr std::uint32_t kRecords = 460;

// What a unit's fault may make the updater stop with: its own messages.
const char* const kUpdaterMessages[] = {
    "No reply from the unit for 5 s",
    "Serial line lost (",
    "Too Many Transmission Error !!!",
    "Bad type of device !!!",
    "Instruction unknown",
    "Error while erasing !!!",
    "Error while writing!!!",
    "Checksum Error",
    "Error while executing Effect file line : ",
    "Error while writing version number !!!",
    "Error while reading version number !!!",
};

// The unit's memories and texts as its report gives them: what a run leaves.
std::string Holdings(const Json& unit) {
  std::string out;
  auto area = [&](const std::string& name, const Json& a) {
    out += name + " sum " + a["sum"].text + ":";
    for (const Json& segment : a["segments"].items)
      out += " " + segment["address"].text + "=" + segment["data"].text;
    out += "\n";
  };
  area("boot", unit["boot"]);
  for (std::size_t k = 0; k < unit["banks"].items.size(); ++k)
    area("bank " + std::to_string(k), unit["banks"][k]);
  for (std::size_t k = 0; k < unit["proms"].items.size(); ++k)
    area("prom " + std::to_string(k), unit["proms"][k]);
  for (const Json& version : unit["versions"].items)
    out += "version " + version.text + "\n";
  out += "unit version " + unit["unit_version"].text + "\noption " + unit["option_text"].text;
  out += unit["finished"].boolean ? "\nfinished" : "\nnot finished";
  return out;
}

std::string LastLine(const std::string& text, int back = 0) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  if (static_cast<int>(lines.size()) <= back) return {};
  return lines[lines.size() - 1 - static_cast<std::size_t>(back)];
}

// One or two faults of every kind the unit knows, drawn from the seed.
std::vector<std::string> DrawFaults(std::uint32_t seed) {
  std::mt19937 random(seed);
  auto below = [&](std::uint32_t n) { return random() % n; };
  auto point = [&] {
    return below(2) == 0 ? "cmd:" + std::to_string(1 + below(kCommands))
                         : "rec:" + std::to_string(1 + below(kRecords));
  };
  std::vector<std::string> args = {"--seed", std::to_string(seed)};
  for (std::uint32_t n = 1 + below(2); n > 0; --n) {
    switch (below(9)) {
      case 0:
        args.insert(args.end(), {"--resend-rate", "0.0" + std::to_string(1 + below(8))});
        break;
      case 1:
        args.insert(args.end(), {"--fail-at", point()});
        break;
      case 2:
        args.insert(args.end(), {"--noise", std::to_string(1 + below(64))});
        break;
      case 3:
        args.insert(args.end(), {"--split", std::to_string(1 + below(3))});
        break;
      case 4:
        args.insert(args.end(), {"--escapes", "random", "--bad-capture-rate", "0.1"});
        break;
      case 5:
        args.insert(args.end(), {"--silence-at", point()});
        break;
      case 6:
        args.insert(args.end(), {"--hangup-at", point()});
        break;
      case 7:
        args.insert(args.end(), {"--chatter-at", point()});
        break;
      default:
        break;  // no fault this time
    }
  }
  return args;
}

struct Outcome {
  std::string faults;
  int exit = -1;
  std::string lastError;
  Json unit;
  std::vector<std::string> problems;
};

class Soak : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("qsr470-soak-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  Outcome Run(const std::string& name, const std::vector<std::string>& faults) {
    Outcome outcome;
    for (const std::string& f : faults)
      outcome.faults += f + " ";
    const fs::path report = dir_ / (name + ".json");
    e2e::Process unit;
    std::vector<std::string> unitArgs = {kUnit, "--report", report.string()};
    unitArgs.insert(unitArgs.end(), faults.begin(), faults.end());
    std::string tty;
    if (!unit.Start(unitArgs) || !unit.ReadLine(tty, 30s)) {
      outcome.problems.push_back("the unit did not start: " + unit.Err());
      return outcome;
    }
    e2e::Process updater;
    if (!updater.Start({kUpdater, "--device", tty, "--files", kExamples, "--timeout", "5",
                        kExamples + "script.ini"})) {
      outcome.problems.push_back("the updater did not start");
      return outcome;
    }
    outcome.exit = updater.Wait(kRunDeadline);
    if (outcome.exit == -1) {
      outcome.problems.push_back("the updater did not end by itself");
      return outcome;
    }
    const int unitExit = unit.Wait(60s);
    if (unitExit != 0) {
      outcome.problems.push_back("the unit ended with " + std::to_string(unitExit) + ": " +
                                 unit.Err());
      return outcome;
    }
    outcome.unit = e2e::ReadJsonFile(report);
    const std::string& err = updater.Err();
    outcome.lastError = LastLine(err);
    switch (outcome.exit) {
      case 0:
        break;
      case 1: {
        bool known = false;
        for (const char* message : kUpdaterMessages)
          known = known || outcome.lastError.rfind(message, 0) == 0;
        if (!known) outcome.problems.push_back("exit 1 with a message of its own: " + err);
        // A time-out says what the unit sent while the run waited.
        const std::string before = LastLine(err, 1);
        if (outcome.lastError.rfind("No reply", 0) == 0 &&
            before.rfind("Last bytes from the unit while the run waited: \"", 0) != 0 &&
            before != "Nothing came from the unit while the run waited") {
          outcome.problems.push_back("a time-out without the unit's last bytes: " + err);
        }
        break;
      }
      default:
        outcome.problems.push_back("exit " + std::to_string(outcome.exit) + ": " + err);
        break;
    }
    return outcome;
  }

  fs::path dir_;
};

TEST_F(Soak, EveryRunEndsByItselfAndCompletesOnlyWithTheUnitUpdated) {
  const Outcome clean = Run("clean", {});
  ASSERT_EQ(clean.exit, 0) << clean.lastError;
  ASSERT_TRUE(clean.problems.empty()) << clean.problems.front();
  for (const std::string& problem : e2e::CheckSampleScriptReport(clean.unit, kExamples))
    ADD_FAILURE() << "fault-free run: " << problem;
  const std::string expected = Holdings(clean.unit);

  std::atomic<int> next = 0;
  std::mutex mutex;
  int completed = 0;
  std::map<std::string, int> stopped;  // by message, up to its first digit or "("
  std::vector<std::string> failures;
  auto worker = [&] {
    for (int k; (k = next++) < kRuns;) {
      const std::uint32_t seed = kFirstSeed + static_cast<std::uint32_t>(k);
      Outcome outcome = Run("seed-" + std::to_string(seed), DrawFaults(seed));
      if (outcome.exit == 0 && outcome.problems.empty() && Holdings(outcome.unit) != expected) {
        outcome.problems.push_back(
            "completed, but the unit does not hold what a fault-free "
            "run leaves");
      }
      const std::lock_guard<std::mutex> lock(mutex);
      for (const std::string& problem : outcome.problems)
        failures.push_back("seed " + std::to_string(seed) + " (" + outcome.faults +
                           "): " + problem);
      if (outcome.exit == 0) ++completed;
      if (outcome.exit == 1) {
        const std::string& e = outcome.lastError;
        ++stopped[e.substr(0, std::min(e.find_first_of("(0123456789"), e.size()))];
      }
    }
  };
  std::vector<std::thread> workers;
  for (int t = 0; t < kAtOnce; ++t)
    workers.emplace_back(worker);
  for (std::thread& t : workers)
    t.join();

  std::printf("fault soak: %d runs, %d completed\n", kRuns, completed);
  for (const auto& [message, count] : stopped)
    std::printf("  %3d stopped: %s\n", count, message.c_str());
  std::printf("  %3zu wrong\n", failures.size());
  for (const std::string& failure : failures)
    ADD_FAILURE() << failure;
  // An updater that always gives up must not pass.
  EXPECT_GE(completed * 3, kRuns);
}

}  // namespace
