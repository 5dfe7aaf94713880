// The job check over files the unit would stumble on: each is refused before
// the port opens, naming its file, line and reason, and the run's error stop
// is the instruction's own message.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/JobCheck.h"

namespace {

namespace fs = std::filesystem;

const std::string kData1 = ":0280000001027B";  // 01 02 at 8000
const std::string kData2 = ":02801000030467";  // 03 04 at 8010
const std::string kEnd = ":00000001FF";
const std::string kIdle = "STATE RESET IDLE;\n";

class JobCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("qsr470-jobcheck-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    settings_.folder = dir_.string() + "/";
    settings_.script = "job.ini";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
  }
  std::vector<TFileFinding> Findings(const std::string& line) {
    return CheckJob({line}, settings_).Findings();
  }

  fs::path dir_;
  TJobSettings settings_;
};

TEST_F(JobCheck, EachFileProblemIsRefusedWithItsFileLineAndReason) {
  struct Case {
    std::string file, text, instruction;
    std::string finding;  // FILE:LINE: reason, FILE relative to the folder
    std::string stop;     // the run's error stop
  };
  const std::string hexStop = "Error in HEX file f.hex line : ";
  const std::string svfStop = "Error in Effect file line : ";
  const Case cases[] = {
      {"f.hex", kData1 + "\n:0280100003046a\n", "P1 f.hex",
       "f.hex:2: lower-case digit 'a' at character 15", hexStop + "2"},
      {"f.hex", kData1 + "\r\n:02801000030408\r\n", "P1 f.hex",
       "f.hex:2: record checksum is 08, the bytes need 67", hexStop + "2"},
      {"f.hex", "0280000001027B\n", "P2 f.hex",
       "f.hex:1: line does not begin with ':' but with '0'", hexStop + "1"},
      {"f.hex", kData1 + " \n", "P3 f.hex", "f.hex:1: a blank after the checksum, at character 16",
       hexStop + "1"},
      {"f.hex", kData1 + "\n:028010000304\n", "P1 f.hex",
       "f.hex:2: byte count 02 needs 15 characters, the line has 13", hexStop + "2"},
      {"f.hex", ":02000000AABB99\n" + kEnd + "\n", "P1 f.hex",
       "f.hex:1: data at 0000 lies outside bank 1 (8000-FFFF)", hexStop + "1"},
      {"f.hex", ":027FFF00AABB1B\n", "P0 f.hex",
       "f.hex:1: data at 7FFF-8000 lies partly outside bank 0 (0000-7FFF)", hexStop + "1"},
      {"f.hex", ":02100000AABB89\n", "PB f.hex",
       "f.hex:1: data at 1000 lies outside the boot (4000-5FFF)", hexStop + "1"},
      {"f.hex", ":0000000000\n" + kData1 + "\n", "P1 f.hex",
       "f.hex:1: empty data record at 0000 lies outside bank 1 (8000-FFFF)", hexStop + "1"},
      {"f.hex", ":0080000D73\n", "P1 f.hex",
       "f.hex:1: record type 0D is not one the unit stores (00 to 05)", hexStop + "1"},
      {"f.hex", ":020000041000EA\n" + kData1 + "\n", "P1 f.hex",
       "f.hex:1: linear address record moves the data (the unit places it at the 16-bit address "
       "alone): the file was made for another memory",
       hexStop + "1"},
      {"f.hex", "\xEF\xBB\xBF" + kData1 + "\n", "P1 f.hex",
       "f.hex:1: the file begins with a UTF-8 byte order mark", hexStop + "1"},
      {"p.svf", kIdle + "SIR 8 TDI (FE)\n", "P4 p.svf", "p.svf:2: statement has no ';'",
       svfStop + "2"},
      {"p.svf", kIdle + "SIR 8 TDI (FE); SIR 8 TDI (20);\n", "P4 p.svf",
       "p.svf:2: text after the ';': SIR 8 TDI (20);", svfStop + "2"},
      {"p.svf", "TRST OFF; SIR 8 TDI (FE);\n", "P5 p.svf",
       "p.svf:1: text after the ';': SIR 8 TDI (FE);", svfStop + "1"},
      {"p.svf", kIdle + "SDR 12 TDI (FFF);\n", "P4 p.svf",
       "p.svf:2: SDR: TDI has 3 digits, not whole bytes", svfStop + "2"},
      {"p.svf", kIdle + "SDR 12 TDI (000FFF);\n", "P4 p.svf",
       "p.svf:2: TDI has 6 digits, 12 bits need 4", svfStop + "2"},
      {"p.svf", kIdle + "SIR 8 TDI (FE) TDO (0001);\n", "P4 p.svf",
       "p.svf:2: TDO has 4 digits, TDI 2", svfStop + "2"},
      {"p.svf", kIdle + "SDRS 8 TDI (00);\nRUNTEST 10 TCK;\n", "P4 p.svf",
       "p.svf:3: RUNTEST from DRSHIFT, where the TAP cannot rest", svfStop + "3"},
      {"p.svf", kIdle + "SDRS 8 TDI (00);\n", "P4 p.svf",
       "p.svf:2: the file ends with the TAP in DRSHIFT, where it cannot rest: a shift is left "
       "open",
       svfStop + "2"},
      {"p.svf", kIdle + "SDRE 8 TDI (00);\n", "P4 p.svf",
       "p.svf:2: SDRE continues a shift, but none is open (the TAP is in IDLE)", svfStop + "2"},
      {"p.svf", "STATE IRSHIFT;\n", "P4 p.svf",
       "p.svf:1: STATE cannot go from RESET to IRSHIFT: neither one TCK away nor between resting "
       "states",
       svfStop + "1"},
      {"p.svf", kIdle + "SIR 6 TDI (3F);\nSIR 8 ;\n", "P4 p.svf",
       "p.svf:3: SIR without TDI, and no earlier SIR of 8 bits to repeat", svfStop + "3"},
      {"p.svf", kIdle + std::string("SIR 8 TDI (F\0E);\n", 17), "P4 p.svf",
       "p.svf:2: a NUL byte at character 13", svfStop + "2"},
  };
  for (const Case& c : cases) {
    Write(c.file, c.text);
    const TJob job = CheckJob({c.instruction}, settings_);
    const TJobLine* bad = job.FirstProblem();
    ASSERT_NE(bad, nullptr) << c.finding;
    EXPECT_EQ(bad->plan.problem, c.stop) << c.finding;
    ASSERT_FALSE(bad->plan.findings.empty()) << c.finding;
    EXPECT_EQ(FindingText(bad->plan.findings.front()), settings_.folder + c.finding);
  }
}

TEST_F(JobCheck, SoundFilesPassWithTheirWarningsAndScriptTextIsNamed) {
  Write("after.hex", kData1 + "\n" + kEnd + "\n" + kData2 + "\n");
  Write("twice.hex", kData1 + "\n:02800000030477\n");
  Write("bare.hex", ":020000040000FA\n" + kEnd + "\n");
  Write("p.svf", kIdle +
                     "ENDDR XXXX;\nSIR 8 TDI (FE); // comment\nSTATE IRPAUSE;\nSTATE IRPAUSE;\n"
                     "SIR 8 ;\nSTATE RESET;\n");
  const std::string at = settings_.folder;
  const std::vector<std::string> script = {"P1 after.hex", "P2 twice.hex", "P3 bare.hex",
                                           "P4 p.svf",     "T0 01050",     "rem"};
  const TJob job = CheckJob(script, settings_);
  EXPECT_EQ(job.FirstProblem(), nullptr);
  std::vector<std::string> texts;
  for (const TFileFinding& f : job.Findings())
    texts.push_back(FindingText(f));
  EXPECT_EQ(texts,
            (std::vector<std::string>{
                at + "after.hex:3: warning: data after the end record: sent, but neither stored "
                     "nor summed",
                at + "twice.hex:2: warning: address 8000 given two different values (the later, "
                     "03, counts)",
                at + "bare.hex:1: warning: no data record: bank 3 is left erased",
                at + "p.svf:2: warning: ENDDR XXXX: the unit takes any state but DRPAUSE and RESET "
                     "as IDLE",
                "job.ini:5: warning: version text \"01050\" has 5 characters; the unit reports 4, "
                "so a test never matches",
            }));

  const std::vector<std::string> bad = {std::string("rem\0x", 5), "\xEF\xBB\xBFrem",
                                        std::string(5000, 'x')};
  EXPECT_EQ(FindingText(CheckJob({bad[0]}, settings_).Findings().front()),
            "job.ini:1: a NUL byte at character 4");
  EXPECT_EQ(FindingText(CheckJob({bad[1]}, settings_).Findings().front()),
            "job.ini:1: the script begins with a UTF-8 byte order mark");
  const TJob longLine = CheckJob({"rem", bad[2]}, settings_);
  EXPECT_EQ(FindingText(longLine.Findings().front()),
            "job.ini:2: line is longer than a script line can be (4096 characters)");
  EXPECT_EQ(longLine.FirstProblem()->plan.problem, "Syntax Error in script file line : 2");
}

}  // namespace
