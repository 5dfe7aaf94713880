// The layers hold because a test holds them: every include in the source
// tree is checked against the rooms it may reach, so an include across the
// architecture fails the test command instead of growing unnoticed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The rule a folder (relative to the source root) keeps to, or "" when no
// rule names it. Every program under tools/ keeps to the same one.
std::string RuleOf(const fs::path& folder) {
  const std::string name = folder.generic_string();
  for (const char* room :
       {"app", "app/cli", "app/win32", "hex", "json", "platform", "handlers", "link", "sim"})
    if (name == room) return name;
  return folder.parent_path() == "tools" ? "tools/*" : "";
}

// Which rules' rooms each rule's rooms may include from, besides their own.
const std::map<std::string, std::set<std::string>>& Allowed() {
  static const std::map<std::string, std::set<std::string>> rules = {
      {"hex", {}},
      {"json", {}},
      {"platform", {}},
      {"handlers", {"hex", "platform"}},
      {"link", {"platform"}},
      {"app", {"handlers", "hex", "platform", "link"}},  // link: SerialLink only, below
      {"app/cli", {"app", "platform", "hex", "json"}},
      {"app/win32", {"app", "platform", "hex"}},
      {"tools/*", {"app", "handlers", "hex", "json", "link", "platform"}},  // never a front end
      {"sim", {"hex", "platform", "json"}},
  };
  return rules;
}

// Where an include leads, relative to the root. A quoted one is looked up
// beside the including file first, as the compiler does; "../link/x.h" must
// not slip past as a folder of no room.
fs::path Resolve(const fs::path& root, const fs::path& folder, const std::string& target,
                 bool quoted) {
  const fs::path beside = (folder / target).lexically_normal();
  if (quoted &&
      (target.front() == '.' || target.find('/') == std::string::npos || fs::exists(root / beside)))
    return beside;
  return fs::path(target).lexically_normal();
}

std::vector<std::string> Violations(const fs::path& root) {
  static const std::regex kInclude(R"(^\s*#\s*include\s*([<"])([^">]+)[">])");
  std::vector<std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const fs::path rel = it->path().lexically_relative(root);
    if (it->is_directory()) {
      // Build trees (CMakeFiles is there from the first moment of a
      // configure) and hidden folders hold nothing of ours; the tests,
      // benchmarks and fuzz targets may reach every room.
      const std::string top = rel.begin()->string();
      if (top.front() == '.' || top == "tests" || top == "bench" || top == "fuzz" ||
          fs::exists(it->path() / "CMakeFiles"))
        it.disable_recursion_pending();
      continue;
    }
    const fs::path ext = rel.extension() == ".in" ? rel.stem().extension() : rel.extension();
    if (ext != ".h" && ext != ".cpp" && ext != ".rc") continue;
    const fs::path folder = rel.parent_path();
    const std::string rule = RuleOf(folder);
    if (rule.empty()) {
      out.push_back(rel.generic_string() + ": no rule names the folder '" +
                    folder.generic_string() + "'");
      continue;
    }
    std::ifstream in(it->path());
    std::string text;
    for (int line = 1; std::getline(in, text); ++line) {
      std::smatch m;
      if (!std::regex_search(text, m, kInclude)) continue;
      const fs::path to = Resolve(root, folder, m[2].str(), m[1] == "\"").parent_path();
      const std::string toRule = RuleOf(to);
      if (toRule.empty() || to == folder) continue;
      bool ok = Allowed().at(rule).count(toRule) != 0;
      // The application reaches the link through its serial link alone.
      if (ok && rule == "app" && toRule == "link") ok = rel.stem() == "SerialLink";
      if (!ok)
        out.push_back(rel.generic_string() + ":" + std::to_string(line) + ": " +
                      folder.generic_string() + " may not include " + m[2].str());
    }
  }
  return out;
}

TEST(Layers, EveryIncludeKeepsToTheArchitecture) {
  const std::vector<std::string> found = Violations(QSR470_SOURCE_DIR);
  for (const auto& v : found)
    ADD_FAILURE() << v;
  EXPECT_TRUE(found.empty());
}

TEST(Layers, AnIncludeAcrossTheLayersIsRefused) {
  // A scratch tree with one include of each kind the rules forbid, a folder
  // no rule names, and includes the rules allow or leave alone: the guard is
  // only worth having if it bites.
  const fs::path root = fs::temp_directory_path() / ("qsr470-layers-" + std::to_string(::getpid()));
  fs::remove_all(root);
  const std::map<std::string, std::string> files = {
      {"hex/hex.cpp", "#include \"platform/files.h\"\n#include <vector>\n"},
      {"handlers/progboot.cpp", "#include \"hex/hex.h\"\n#include \"link/ComThread.h\"\n"},
      {"app/main.cpp",
       "#include \"handlers/progboot.h\"\n#include \"link/ComDrv32.h\"\n"
       "#include \"../link/ComThread.h\"\n"},
      {"app/SerialLink.cpp", "#include \"link/ComThread.h\"\n"},
      {"app/cli/main.cpp",
       "#include \"app/main.h\"\n#include <handlers/gestionnaire.h>\n"
       "#include <gtest/gtest.h>\n"},
      {"tools/gang/unit.cpp", "#include \"app/CompDlg.h\"\n#include \"app/cli/options.h\"\n"},
      {"tools/new/new.cpp", "#include \"../svf2effect/svf2effect.h\"\n"},
      {"sim/unit.cpp", "  #  include \"app/main.h\"\n"},
      {"extras/extra.h", ""},
      {"tests/app/main_test.cpp", "#include \"link/ComThread.h\"\n"},
      {"build/CMakeFiles/cmake.check_cache", ""},
      {"build/app/gen.cpp", "#include \"link/ComThread.h\"\n"},
  };
  for (const auto& [name, text] : files) {
    fs::create_directories((root / name).parent_path());
    std::ofstream(root / name) << text;
  }
  std::vector<std::string> found = Violations(root);
  std::sort(found.begin(), found.end());
  fs::remove_all(root);
  EXPECT_EQ(found, (std::vector<std::string>{
                       "app/cli/main.cpp:2: app/cli may not include handlers/gestionnaire.h",
                       "app/main.cpp:2: app may not include link/ComDrv32.h",
                       "app/main.cpp:3: app may not include ../link/ComThread.h",
                       "extras/extra.h: no rule names the folder 'extras'",
                       "handlers/progboot.cpp:2: handlers may not include link/ComThread.h",
                       "hex/hex.cpp:1: hex may not include platform/files.h",
                       "sim/unit.cpp:1: sim may not include app/main.h",
                       "tools/gang/unit.cpp:2: tools/gang may not include app/cli/options.h",
                       "tools/new/new.cpp:1: tools/new may not include ../svf2effect/svf2effect.h",
                   }));
}

}  // namespace
