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

// The room of a path relative to the source root, or "" for folders the
// rules do not cover (tests, benchmarks, fuzz targets, the build).
std::string RoomOf(const std::string& path) {
  for (const char* room : {"app/cli/", "app/win32/", "tools/gang/", "tools/svf2effect/"})
    if (path.rfind(room, 0) == 0) return std::string(room, std::string(room).size() - 1);
  for (const char* room : {"app/", "hex/", "json/", "platform/", "handlers/", "link/", "sim/"})
    if (path.rfind(room, 0) == 0) return std::string(room, std::string(room).size() - 1);
  return "";
}

// Which rooms each room may include from, besides itself.
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
      {"tools/gang", {"app", "link", "platform", "hex", "json"}},
      {"tools/svf2effect", {"handlers", "hex", "platform"}},
      {"sim", {"hex", "platform", "json"}},
  };
  return rules;
}

struct Include {
  std::string file;  // relative to the root
  int line = 0;
  std::string target;  // as written
};

std::vector<std::string> Violations(const fs::path& root) {
  static const std::regex kInclude(R"(^\s*#\s*include\s*"([^"]+)\")");
  std::vector<std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::string ext = entry.path().extension().string();
    if (ext != ".h" && ext != ".cpp" && ext != ".rc" && ext != ".in") continue;
    const std::string file = fs::relative(entry.path(), root).generic_string();
    const std::string room = RoomOf(file);
    if (room.empty()) continue;
    std::ifstream in(entry.path());
    std::string text;
    for (int line = 1; std::getline(in, text); ++line) {
      std::smatch m;
      if (!std::regex_search(text, m, kInclude)) continue;
      std::string target = m[1].str();
      // A name without a folder is the including file's neighbour.
      if (target.find('/') == std::string::npos)
        target = fs::path(file).parent_path().generic_string() + "/" + target;
      const std::string to = RoomOf(target);
      if (to.empty() || to == room) continue;
      const auto& allowed = Allowed().at(room);
      bool ok = allowed.count(to) != 0;
      // The application reaches the link through its serial link alone.
      if (ok && room == "app" && to == "link") ok = fs::path(file).stem() == "SerialLink";
      if (!ok)
        out.push_back(file + ":" + std::to_string(line) + ": " + room + " may not include " +
                      m[1].str());
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
  // A scratch tree with one include of each kind the rules forbid, and one
  // the rules allow: the guard is only worth having if it bites.
  const fs::path root = fs::temp_directory_path() / ("qsr470-layers-" + std::to_string(::getpid()));
  fs::remove_all(root);
  const std::map<std::string, std::string> files = {
      {"hex/hex.cpp", "#include \"platform/files.h\"\n"},
      {"handlers/progboot.cpp", "#include \"hex/hex.h\"\n#include \"link/ComThread.h\"\n"},
      {"app/main.cpp", "#include \"handlers/progboot.h\"\n#include \"link/ComDrv32.h\"\n"},
      {"app/SerialLink.cpp", "#include \"link/ComThread.h\"\n"},
      {"app/cli/main.cpp", "#include \"app/main.h\"\n#include \"handlers/gestionnaire.h\"\n"},
      {"tools/gang/unit.cpp", "#include \"app/cli/options.h\"\n"},
      {"sim/unit.cpp", "  #  include \"app/main.h\"\n"},
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
                       "handlers/progboot.cpp:2: handlers may not include link/ComThread.h",
                       "hex/hex.cpp:1: hex may not include platform/files.h",
                       "sim/unit.cpp:1: sim may not include app/main.h",
                       "tools/gang/unit.cpp:1: tools/gang may not include app/cli/options.h",
                   }));
}

}  // namespace
