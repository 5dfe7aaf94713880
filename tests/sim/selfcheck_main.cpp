// qsr470-sim-selfcheck: plays the sample script to qsr470-unitsim through its
// terminal, as the updater would, and checks from the unit's end report that
// the unit now holds what the sample files say. The demo runs it until the
// command-line updater exists.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "client.h"
#include "hex/hex.h"
#include "json.h"
#include "sim_process.h"

namespace {

int Usage() {
  std::fputs(
      "Usage: qsr470-sim-selfcheck UNITSIM EXAMPLES_DIR [--slow] [UNITSIM OPTIONS...]\n"
      "Starts UNITSIM (paced), plays EXAMPLES_DIR/script.ini to it and checks its report.\n",
      stderr);
  return 2;
}

bool Check(bool ok, const std::string& what) {
  std::printf("  %-52s %s\n", what.c_str(), ok ? "ok" : "FAILED");
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string program = argv[1];
  const std::string examples = argv[2];
  bool slow = false;
  std::vector<std::string> sim_args = {"--pace"};
  for (int i = 3; i < argc; ++i) {
    if (std::string(argv[i]) == "--slow") {
      slow = true;
    } else {
      sim_args.push_back(argv[i]);
    }
  }
  const auto report_path = std::filesystem::temp_directory_path() /
                           ("qsr470-selfcheck-" + std::to_string(getpid()) + ".json");
  sim_args.push_back("--report");
  sim_args.push_back(report_path.string());

  simtest::SimProcess sim;
  if (!sim.Start(program, sim_args)) {
    std::fprintf(stderr, "self-check: %s did not start\n", program.c_str());
    return 1;
  }
  std::printf("self-check: virtual unit on %s, paced, speed %s\n", sim.slave_path().c_str(),
              slow ? "slow for the PROMs" : "fast");
  const auto script = simtest::ReadLines(examples + "/script.ini");
  bool played = false;
  std::string error;
  {
    simtest::TerminalLink link;
    if (!link.Open(sim.slave_path())) {
      std::fprintf(stderr, "self-check: cannot open %s\n", sim.slave_path().c_str());
      return 1;
    }
    simtest::Client client(link, examples);
    client.set_slow(slow);
    std::size_t shown = 0;
    auto show = [&] {
      for (; shown < client.status().size(); ++shown) {
        std::printf("    %s\n", client.status()[shown].c_str());
      }
    };
    played = client.Sync();
    show();
    for (std::size_t k = 0; played && k < script.size(); ++k) {
      const std::string& line = script[k];
      if (!line.empty() && !line.starts_with("rem")) std::printf("  > %s\n", line.c_str());
      played = client.RunLine(line);
      show();
    }
    played = played && client.RunLine("FI");
    error = client.error();
    std::fflush(stdout);
  }
  const auto status = sim.Wait();
  if (!played) {
    std::fprintf(stderr, "self-check FAILED: %s\n", error.c_str());
    return 1;
  }
  simtest::Json report;
  const bool parsed = simtest::ParseJson(simtest::ReadFile(report_path.string()), report);
  std::filesystem::remove(report_path);
  std::printf("self-check: the unit's report\n");
  bool ok = Check(status == 0, "unit ended cleanly") && Check(parsed, "report is JSON");
  ok = Check(report["finished"].boolean, "run finished (FI acknowledged)") && ok;
  const auto sum_of = [&](const std::string& file, std::uint16_t first, std::uint16_t last) {
    return WordToHex(HexFileChecksum(simtest::ReadLines(examples + "/" + file), first, last));
  };
  ok = Check(report["boot"]["sum"].text == sum_of("boot.hex", 0x4000, 0x5FFF),
             "boot area sum " + report["boot"]["sum"].text) &&
       ok;
  for (int bank = 0; bank < 4; ++bank) {
    const std::string file = "keyb" + std::to_string(bank) + ".hex";
    const std::string sum = bank == 0 ? sum_of(file, 0x0000, 0x7FFF) : sum_of(file, 0x8000, 0xFFFF);
    ok = Check(report["banks"][static_cast<std::size_t>(bank)]["sum"].text == sum,
               "bank " + std::to_string(bank) + " sum " + sum) &&
         ok;
  }
  for (std::size_t k = 0; k < 2; ++k) {
    const simtest::Json& prom = report["proms"][k];
    ok = Check(
             prom["erases"].number == 1 && prom["pages_programmed"].number > 0,
             "PROM " + std::to_string(k + 1) + " erased and programmed, sum " + prom["sum"].text) &&
         ok;
  }
  ok = Check(report["versions"][0].text == "0105" && report["versions"][4].text == "0210" &&
                 report["versions"][5].text == "0210",
             "version texts written") &&
       ok;
  ok = Check(report["counts"]["garbled_in"].number == 0 &&
                 report["counts"]["garbled_out"].number == 0,
             "no byte at a wrong line speed") &&
       ok;
  std::printf("self-check %s\n", ok ? "passed" : "FAILED");
  return ok ? 0 : 1;
}
