// The command line's hints about the serial adapter: the estimate of what a
// slow adapter costs a run, and what is said when.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/JobCheck.h"
#include "app/cli/hints.h"
#include "platform/files.h"

namespace {

const std::string kExamples = std::string(QSR470_EXAMPLES_DIR) + "/";

TEST(AdapterHint, MedianIsTheLowerMiddleAndNothingWithoutReplies) {
  EXPECT_EQ(MedianOf({16.2, 0.3, 15.9}), 15.9);
  EXPECT_EQ(MedianOf({16.2, 15.9}), 15.9);
  EXPECT_FALSE(MedianOf({}).has_value());
}

TEST(AdapterHint, SampleScriptCostsOneExchangePerCommandAndPerFileLine) {
  std::vector<std::string> script;
  ASSERT_EQ(platform::ReadTextLines(kExamples + "script.ini", script), platform::ReadStatus::kOk);
  TJobSettings settings;
  settings.folder = kExamples;
  // Synchronisation, the 24 instructions and FI, the lines of boot.hex (9)
  // and keyb0..3.hex (6, 5, 5, 5; "P 2" written with a blank), and the
  // records of the two Effect files (26, 29).
  EXPECT_EQ(EstimateExchanges(CheckJob(script, settings)), 26u + 9 + 6 + 5 + 5 + 5 + 26 + 29);
  // A file that is not there costs its command only.
  EXPECT_EQ(EstimateExchanges(CheckJob({"rem x", "", "P1 absent.hex", "FI"}, settings)), 4u);
}

TEST(AdapterHint, SaysTheDelayWhatItCostsAndTheCureOnOneLine) {
  const std::string hint = SlowAdapterHint(16.2, 2049);
  EXPECT_NE(hint.find("about 16 ms"), std::string::npos) << hint;
  EXPECT_NE(hint.find("about 33 s longer"), std::string::npos) << hint;
  EXPECT_NE(hint.find("ttyUSB0/latency_timer"), std::string::npos) << hint;
  EXPECT_NE(hint.find("Advanced settings in Device Manager"), std::string::npos) << hint;
  EXPECT_EQ(hint.find('\n'), std::string::npos);
  EXPECT_NE(SlowAdapterHint(16, 20000).find("about 5 min longer"), std::string::npos);
}

TEST(PermissionHint, SaysNothingForReasonsOtherThanAccess) {
  PermissionHint hint;
  EXPECT_EQ(hint.AfterOpenError(""), "");
  EXPECT_EQ(hint.AfterOpenError("no device named"), "");
  EXPECT_EQ(hint.AfterOpenError("/dev/qsr470-absent: No such file or directory"), "");
}

}  // namespace
