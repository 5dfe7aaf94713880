// The command line's own pieces: option parsing and the run report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/cli/options.h"
#include "app/cli/report.h"

namespace {

std::optional<CliOptions> Parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string e;
  auto o = ParseCliOptions(args, e);
  if (error) *error = e;
  return o;
}

TEST(CliOptions, DefaultsAreManualFastPortOneAndTheProgramsScript) {
  const auto o = Parse({});
  ASSERT_TRUE(o);
  EXPECT_FALSE(o->script);
  EXPECT_EQ(o->port, 1);
  EXPECT_FALSE(o->autoMode);
  EXPECT_FALSE(o->slow);
  EXPECT_FALSE(o->device);
  EXPECT_FALSE(o->files);
  EXPECT_FALSE(o->report);
}

TEST(CliOptions, TakesEveryOption) {
  const auto o =
      Parse({"--device", "/dev/pts/3", "--port", "16", "--speed", "slow", "--skip", "prom2",
             "--skip", "keyb", "--files", "/opt/images", "--report", "r.json", "my.ini"});
  ASSERT_TRUE(o);
  EXPECT_EQ(*o->device, "/dev/pts/3");
  EXPECT_EQ(o->port, 16);
  EXPECT_TRUE(o->slow);
  EXPECT_EQ(o->skip, (std::vector<std::string>{"prom2", "keyb"}));
  EXPECT_EQ(*o->files, "/opt/images/");  // a folder always ends with a separator
  EXPECT_EQ(*o->report, "r.json");
  EXPECT_EQ(*o->script, "my.ini");
  EXPECT_TRUE(Parse({"--mode", "auto"})->autoMode);
  EXPECT_TRUE(Parse({"--readid"})->readId);
}

TEST(CliOptions, RefusesBadUsageWithAReason) {
  const std::vector<std::vector<std::string>> bad = {
      {"--port", "0"},       {"--port", "256"},
      {"--port", "3x"},      {"--port"},
      {"--mode", "Auto"},    {"--speed", "medium"},
      {"--skip", "prom3"},   {"--bogus"},
      {"a.ini", "b.ini"},    {"--mode", "auto", "--skip", "keyb"},
      {"--readid", "a.ini"}, {"--device", ""},
      {"--files", ""},
  };
  for (const auto& args : bad) {
    std::string error;
    EXPECT_FALSE(Parse(args, &error)) << testing::PrintToString(args);
    EXPECT_FALSE(error.empty());
  }
}

TEST(RunReport, IsValidJsonWhateverTheTextsHold) {
  EXPECT_EQ(JsonString("a\"b\\c\r\n\x01"), "\"a\\\"b\\\\c\\r\\n\\u0001\"");
  EXPECT_EQ(JsonString("\xE9"), "\"\\u00e9\"");  // a single byte stays valid UTF-8
  TRunRecord record;
  record.ScriptPath = "/x/script.ini";
  record.DeviceId = "1A2B";
  record.Lines.push_back({0, "SYN", "done", 0, 12});
  record.Lines.push_back({3, "P0 keyb0.hex", "error", 4, 900});
  record.Skipped.push_back({5, "not selected"});
  record.Result = "error";
  record.ErrorText = "Checksum Error";
  RunContext context{
      "2026-01-01T00:00:00Z", "2026-01-01T00:00:01Z", "COM1", "manual", "fast", 1000, 12.5};
  const std::string json = RunReportJson(record, context);
  EXPECT_NE(json.find("\"adapterLatencyMs\": 12.50,"), std::string::npos) << json;
  for (const char* part : {"\"script\": \"/x/script.ini\"", "\"deviceId\": \"1A2B\"",
                           "{\"line\": 3, \"text\": \"P0 keyb0.hex\", \"outcome\": \"error\", "
                           "\"resends\": 4, \"durationMs\": 900}",
                           "{\"component\": 5, \"reason\": \"not selected\"}",
                           "\"result\": \"error\"", "\"error\": \"Checksum Error\""}) {
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
  }
}

}  // namespace
