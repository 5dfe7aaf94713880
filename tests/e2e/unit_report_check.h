#pragma once

// Whether the virtual unit's end report shows a run of the sample script that
// really updated the unit: the images, PROM pages and versions the files
// call for, and nothing sent for a component the run left out. Shared by the
// end-to-end tests of every front end, so all of them are held to one check.

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "json.h"

namespace e2e {

simtest::Json ReadJsonFile(const std::filesystem::path& path);

struct SampleRun {
  std::set<int> skipped;  // components 0-5 left out: their lines were sent as "NP"
  bool slow = false;      // the PROM transfers moved to 19200 baud and back
};

// Every way the report falls short, one readable line each; empty when it
// holds all of it. `examples` ends with a separator.
std::vector<std::string> CheckSampleScriptReport(const simtest::Json& unit,
                                                 const std::string& examples,
                                                 const SampleRun& run = {});

}  // namespace e2e
