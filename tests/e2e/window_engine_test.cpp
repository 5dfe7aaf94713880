// The window's engine with the product's link, against the virtual unit on a
// pseudo-terminal: START and STOP as a technician clicks them, with the same
// timer and hand-over as a front end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "app/SerialLink.h"
#include "app/main.h"
#include "platform/handover.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kUnit = QSR470_UNITSIM_BIN;
const std::string kExamples = std::string(QSR470_EXAMPLES_DIR) + "/";

// Whether this process holds `device` open: the link's thread closes the
// port in its own time after the open flag is cleared.
bool HeldOpenHere(const std::string& device) {
  std::error_code ec;
  const fs::path target = fs::canonical(device, ec);
  for (const auto& fd : fs::directory_iterator("/proc/self/fd", ec)) {
    std::error_code gone;  // an fd may close while we look
    if (fs::read_symlink(fd.path(), gone) == target) return true;
  }
  return false;
}

class WindowEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    script_ = (fs::temp_directory_path() / ("qsr470-engine-" + std::to_string(::getpid()) + ".ini"))
                  .string();
  }
  void TearDown() override {
    main_.reset();
    queue_.Close();
    fs::remove(script_);
  }

  void Make(const std::string& tty) {
    main_ = std::make_unique<TMainFich>(
        MakeSerialLink(
            queue_, [this](const std::string& m, const std::string& d) { openErrors_ += m + d; },
            tty),
        script_);
    main_->SetFileFolder(kExamples);
    main_->OnErrorBox = [this](const std::string& text) { errorBox_ = text; };
  }

  // The front end's loop: hand-overs as they come, a tick every interval.
  bool Serve(const std::function<bool()>& done, std::chrono::seconds deadline) {
    const auto end = Clock::now() + deadline;
    auto nextTick = Clock::now();
    while (Clock::now() < end && !main_->Closing) {
      if (done()) return true;
      queue_.WaitAndRunUntil(nextTick);
      if (Clock::now() >= nextTick) {
        if (main_->Timer1.Enabled) main_->Timer1Timer();
        nextTick = Clock::now() + std::chrono::milliseconds(main_->Timer1.Interval);
      }
    }
    return done();
  }

  std::string script_;
  platform::HandoverQueue queue_;
  std::unique_ptr<TMainFich> main_;
  std::string openErrors_;
  std::string errorBox_;
};

// The unit is paced at the line speed, so the slow transfer lasts long enough
// to be stopped half-way; with --forever it starts again, at 57600 baud, with
// the next open, as a unit restarted with ENTER held does.
TEST_F(WindowEngine, StartAfterStopDuringASlowPromTransferCompletes) {
  e2e::Process unit;
  std::string tty;
  ASSERT_TRUE(unit.Start({kUnit, "--pace", "--forever"}));
  ASSERT_TRUE(unit.ReadLine(tty, 30s)) << unit.Err();
  std::ofstream(script_) << "P4 prom1.svf\n";
  Make(tty);
  main_->SlowClick();
  main_->Timer1Timer();
  main_->StartClick();
  ASSERT_TRUE(Serve(
      [&] { return main_->CurrentLine == "P4 prom1.svf" && main_->ProgressBar1.Position >= 2; },
      120s))
      << "last status line: " << main_->MemoStatus.Lines.back();
  main_->StartClick();  // STOP, with the line at 19200 baud
  ASSERT_EQ(main_->Record.Result, "stopped");
  // A technician takes longer than the link's thread to let go of the port;
  // a START at once would find it still open, and the unit not restarted.
  ASSERT_TRUE(Serve([&] { return main_->Start.Caption == "START" && !HeldOpenHere(tty); }, 10s));
  main_->StartClick();
  EXPECT_TRUE(Serve([&] { return main_->Record.Result == "completed"; }, 120s))
      << "result \"" << main_->Record.Result
      << "\", last status line: " << main_->MemoStatus.Lines.back();
  EXPECT_EQ(openErrors_, "");
  EXPECT_EQ(errorBox_, "");
}

}  // namespace
