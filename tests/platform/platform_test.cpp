#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/tick.h"

namespace {

namespace fs = std::filesystem;

class TextFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("qsr470-platform-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    const auto path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  fs::path dir_;
};

using Lines = std::vector<std::string>;

TEST_F(TextFiles, WhileARunHoldsItsFilesEachIsReadFromTheDiskOnce) {
  // A job file changed on the disk after it was checked (and hashed) must
  // not reach the unit: every read during the run gives the bytes first read.
  const std::string path = Write("keyb0.hex", ":00000001FF\r\n");
  platform::HoldJobFiles(true);
  Lines lines;
  ASSERT_EQ(platform::ReadTextLines(path, lines), platform::ReadStatus::kOk);
  Write("keyb0.hex", ":0100000055AA\r\n:00000001FF\r\n");
  EXPECT_EQ(platform::FileSize(path), 13);
  ASSERT_EQ(platform::ReadTextLines(path, lines), platform::ReadStatus::kOk);
  EXPECT_EQ(lines, (Lines{":00000001FF"}));
  platform::TextLineReader reader;
  std::string line;
  ASSERT_TRUE(reader.Open(path));
  EXPECT_TRUE(reader.Next(line));
  EXPECT_EQ(line, ":00000001FF");
  EXPECT_FALSE(reader.Next(line));
  EXPECT_EQ(*platform::HeldFileBytes(path), ":00000001FF\r\n");
  // The same file under another spelling of its path, as a script may name
  // it, is the held copy too.
  const std::string spelled = (dir_ / "." / "keyb0.hex").string();
  ASSERT_EQ(platform::ReadTextLines(spelled, lines), platform::ReadStatus::kOk);
  EXPECT_EQ(lines, (Lines{":00000001FF"}));
  std::shared_ptr<const std::string> bytes;
  EXPECT_EQ(platform::JobFileBytes(dir_.string() + "//keyb0.hex", bytes), "");
  EXPECT_EQ(bytes, platform::HeldFileBytes(path));
  // Once the run ends, the disk speaks again.
  platform::HoldJobFiles(false);
  EXPECT_EQ(platform::HeldFileBytes(path), nullptr);
  ASSERT_EQ(platform::ReadTextLines(path, lines), platform::ReadStatus::kOk);
  EXPECT_EQ(lines, (Lines{":0100000055AA", ":00000001FF"}));
}

TEST_F(TextFiles, EveryKindOfLineEndEndsALine) {
  struct Case {
    std::string bytes;
    Lines lines;
  };
  const Case cases[] = {
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\nb\n", {"a", "b"}},
      {"a\rb\r", {"a", "b"}},
      {"a\r\n\nb\r\rc", {"a", "", "b", "", "c"}},  // mixed, with empty lines
      {"last without end", {"last without end"}},
      {"x\n\r\n", {"x", ""}},
      {"\n", {""}},
      {"", {}},
      {std::string("nul\0inside\n", 11), {std::string("nul\0inside", 10)}},
  };
  for (const auto& c : cases) {
    Lines lines{"stale"};
    ASSERT_EQ(platform::ReadTextLines(Write("f.txt", c.bytes), lines), platform::ReadStatus::kOk);
    EXPECT_EQ(lines, c.lines) << testing::PrintToString(c.bytes);
  }
}

TEST_F(TextFiles, MissingFileOrFolderIsReportedApartFromAnEmptyFile) {
  Lines lines{"stale"};
  EXPECT_EQ(platform::ReadTextLines((dir_ / "absent.txt").string(), lines),
            platform::ReadStatus::kCannotOpen);
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(platform::ReadTextLines(dir_.string(), lines), platform::ReadStatus::kCannotOpen);
  EXPECT_EQ(platform::ReadTextLines(Write("empty.txt", ""), lines), platform::ReadStatus::kOk);
  EXPECT_TRUE(lines.empty());
}

TEST_F(TextFiles, FileExistsOnlyForRegularFiles) {
  EXPECT_TRUE(platform::FileExists(Write("here.txt", "x")));
  EXPECT_FALSE(platform::FileExists((dir_ / "absent.txt").string()));
  EXPECT_FALSE(platform::FileExists(dir_.string()));
}

TEST_F(TextFiles, LineReaderGivesTheSameLinesOneAtATimeAndCanBeReopened) {
  const auto path = Write("f.txt", "one\r\ntwo\rthree\nfour");
  platform::TextLineReader reader;
  ASSERT_TRUE(reader.Open(path));
  Lines seen;
  std::string line;
  while (reader.Next(line))
    seen.push_back(line);
  EXPECT_FALSE(reader.Failed());
  EXPECT_EQ(seen, (Lines{"one", "two", "three", "four"}));
  ASSERT_TRUE(reader.Open(path));  // reopening starts from the first line again
  ASSERT_TRUE(reader.Next(line));
  EXPECT_EQ(line, "one");
  reader.Close();
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_FALSE(reader.Next(line));
  EXPECT_FALSE(reader.Open((dir_ / "absent.txt").string()));
}

// A FIFO would hang the run that opens it and /dev/zero would fill memory,
// so neither is ever opened; each gets its reason.
TEST_F(TextFiles, WhatIsNoFileIsNamedAndNeverRead) {
  const std::string fifo = (dir_ / "job.ini").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::vector<std::string> lines;
  EXPECT_EQ(platform::ReadTextLines(fifo, lines), platform::ReadStatus::kCannotOpen);
  EXPECT_EQ(platform::NotAFileReason(fifo), "a FIFO");
  EXPECT_EQ(platform::NotAFileReason(dir_.string()), "a directory");
  EXPECT_EQ(platform::NotAFileReason("/dev/zero"), "a device");
  EXPECT_EQ(platform::NotAFileReason(Write("keyb0.hex", ":00000001FF\n")), "");
  EXPECT_EQ(platform::NotAFileReason((dir_ / "absent").string()), "");
}

// Only a path that is there and can never be a terminal is refused: a
// pseudo-terminal passes, and one not there yet is an adapter to come.
TEST_F(TextFiles, OnlyWhatCanNeverBeASerialPortIsRefusedAsOne) {
  EXPECT_NE(platform::NotASerialPortReason("/dev/null"), "");
  EXPECT_NE(platform::NotASerialPortReason(dir_.string()), "");
  EXPECT_NE(platform::NotASerialPortReason(Write("tty", "")), "");
  EXPECT_EQ(platform::NotASerialPortReason((dir_ / "ttyUSB9").string()), "");
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  EXPECT_EQ(platform::NotASerialPortReason(::ptsname(master)), "");
  ::close(master);
}

TEST(ProgramFolder, EndsWithASeparatorAndHoldsThisProgram) {
  const std::string folder = platform::ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), platform::PathSeparator());
  EXPECT_TRUE(fs::exists(fs::path(folder) / "platform_test"));
}

TEST(Tick, CanBeReplacedAndRestored) {
  platform::SetTickSource([] { return 0xFFFFFFF0u; });
  EXPECT_EQ(platform::TickMs(), 0xFFFFFFF0u);
  platform::SetTickSource({});
  const auto a = platform::TickMs();
  const auto b = platform::TickMs();
  EXPECT_LT(static_cast<std::uint32_t>(b - a), 1000u);  // real clock moves forward
  std::uint32_t slept = 0;
  platform::SetSleepHook([&](std::uint32_t ms) { slept += ms; });
  platform::SleepMs(1000);
  platform::SetSleepHook({});
  EXPECT_EQ(slept, 1000u);
}

}  // namespace
