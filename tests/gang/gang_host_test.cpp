// The gang's own pieces without any process: reading the updaters' objects
// and refusing a line-up that would put two updaters on one device.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tools/gang/event_line.h"
#include "tools/gang/options.h"

namespace {

namespace fs = std::filesystem;

TEST(EventLine, EveryByteOfAUnitsTextComesBackAsSent) {
  std::string all;
  for (int c = 0; c < 256; ++c)
    all += static_cast<char>(c);
  const std::string line = "{\"t\":12,\"event\":\"status\",\"text\":" + JsonString(all) +
                           ",\"exit\":130,\"ok\":true,\"none\":null}";
  EventLine e;
  ASSERT_TRUE(ParseEventLine(line, e)) << line;
  EXPECT_EQ(e.Text("text"), all);
  EXPECT_EQ(e.Text("event"), "status");
  EXPECT_EQ(e.Number("t"), 12);
  EXPECT_EQ(e.Number("exit"), 130);
  EXPECT_EQ(e.Number("missing", -1), -1);
  // The escapes a writer may choose, including a CR before the line's end.
  ASSERT_TRUE(ParseEventLine("{\"text\":\"a\\n\\t\\\"\\/\\u00e9\\u0041\"}\r", e));
  EXPECT_EQ(e.Text("text"),
            "a\n\t\"/\xe9"
            "A");
}

TEST(EventLine, RefusesWhatIsNotOneFlatObjectAndSurvivesAnyLine) {
  for (const char* bad :
       {"", "{", "}", "[1]", "{\"a\":1", "{\"a\" 1}", "{\"a\":{\"b\":1}}", "{\"a\":[1]}",
        "{\"a\":1} x", "{\"a\":\"\\u12\"}", "{\"a\":\"\\q\"}", "{\"a\":\"x", "{a:1}", "{\"a\":1,}",
        "{\"a\":\"tab\there\"}", "progress 50%"}) {
    EventLine e;
    EXPECT_FALSE(ParseEventLine(bad, e)) << bad;
  }
  // Cuts and random damage of a real object: never a read past the end.
  const std::string good =
      "{\"t\":351,\"event\":\"instructionEnd\",\"line\":9,\"text\":\"P1 keyb1.hex\","
      "\"outcome\":\"done\",\"resends\":2,\"durationMs\":41}";
  std::mt19937 random(14);
  for (int i = 0; i < 5000; ++i) {
    std::string line = good.substr(0, random() % (good.size() + 1));
    for (int k = random() % 4; k > 0 && !line.empty(); --k)
      line[random() % line.size()] = static_cast<char>(random());
    EventLine e;
    ParseEventLine(line, e);
  }
  EventLine e;
  ASSERT_TRUE(ParseEventLine(good, e));
  EXPECT_EQ(e.Number("resends"), 2);
}

class LineUp : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("qsr470-gang-host-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    std::ofstream(dir_ / "ttyA");
    fs::create_directory(dir_ / "by-id");
    fs::create_symlink(dir_ / "ttyA", dir_ / "by-id" / "unit-7");
    std::ofstream(dir_ / "by-id" / "ttyB");
  }
  void TearDown() override {
    ::unsetenv("QSR470_COM3");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Refusal(std::vector<std::string> args) {
    std::string error;
    const auto o = ParseGangOptions(args, error);
    if (!o) return "usage: " + error;
    return CheckUnitsDistinct(*o);
  }
  std::string P(const std::string& name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

TEST_F(LineUp, OneDeviceNamedTwiceInAnyWayIsRefused) {
  EXPECT_EQ(Refusal({"--device", P("ttyA"), "--device", P("by-id/ttyB")}), "");
  EXPECT_NE(Refusal({"--device", P("ttyA"), "--device", P("ttyA")}), "");
  EXPECT_NE(Refusal({"--device", P("ttyA"), "--device", P("by-id/unit-7")}), "");
  EXPECT_NE(Refusal({"--device", P("ttyA"), "--device", P("by-id/../ttyA")}), "");
  ::setenv("QSR470_COM3", P("by-id/unit-7").c_str(), 1);
  EXPECT_NE(Refusal({"--port", "3", "--device", P("ttyA")}), "");
  EXPECT_NE(Refusal({"--port", "4", "--port", "4"}), "");
  EXPECT_EQ(Refusal({"--port", "4", "--port", "5"}), "");
}

TEST_F(LineUp, ReportsThatWouldShareANameAreRefusedOnlyWhenKept) {
  std::ofstream(dir_ / "by-id" / "ttyA");
  const std::vector<std::string> units = {"--device", P("ttyA"), "--device", P("by-id/ttyA")};
  EXPECT_EQ(Refusal(units), "");
  std::vector<std::string> kept = units;
  kept.insert(kept.end(), {"--report", P("out")});
  EXPECT_NE(Refusal(kept).find("ttyA.json"), std::string::npos);
}

TEST_F(LineUp, BadUsageIsRefusedBeforeAnyUnitStarts) {
  EXPECT_EQ(Refusal({"--mode", "auto"}), "usage: name at least one unit with --device or --port");
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--port", "256"},
                                              {"--port", "2x"},
                                              {"--device"},
                                              {"--device", P("ttyA"), "--mode", "fast"},
                                              {"--device", P("ttyA"), "--skip", "boot"},
                                              {"--device", P("ttyA"), "a.ini", "b.ini"},
                                              {"--device", P("ttyA"), "--bogus"}}) {
    EXPECT_EQ(Refusal(bad).rfind("usage: ", 0), 0u) << testing::PrintToString(bad);
  }
  // Shared options reach every updater in the updater's own spelling.
  std::string error;
  const auto o = ParseGangOptions(
      {"--device", P("ttyA"), "--speed", "slow", "--skip", "prom2", "--timeout", "30", "job.ini"},
      error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->shared,
            (std::vector<std::string>{"--speed", "slow", "--skip", "prom2", "--timeout", "30"}));
  EXPECT_EQ(o->script, "job.ini");
}

}  // namespace
