// A signed job as the factory makes it (sha256sum, then minisign), run by
// qsr470-update against the virtual unit; and the same job departing from
// what was signed in each way a job can, every one stopped before the port
// opens.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kUpdater = QSR470_UPDATE_BIN;
const std::string kUnit = QSR470_UNITSIM_BIN;
const std::string kMinisign = QSR470_MINISIGN;
const fs::path kExamples = QSR470_EXAMPLES_DIR;
constexpr auto kRunDeadline = 300s;  // generous: sanitizer builds are slow

class SignedJobRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qsr470-signed-e2e-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "job");
    for (const char* file : {"script.ini", "boot.hex", "keyb0.hex", "keyb1.hex", "keyb2.hex",
                             "keyb3.hex", "prom1.svf", "prom2.svf"}) {
      fs::copy_file(kExamples / file, dir_ / "job" / file);
    }
    for (const char* key : {"factory", "other"}) {
      ASSERT_EQ(Shell(kMinisign + " -G -W -p ../" + key + ".pub -s ../" + key + ".key"), 0);
    }
    MakeJob("script.ini boot.hex keyb0.hex keyb1.hex keyb2.hex keyb3.hex prom1.svf prom2.svf",
            "factory");
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs in the job's folder, as the factory would.
  int Shell(const std::string& command) {
    const std::string line =
        "cd " + (dir_ / "job").string() + " && (" + command + ") >/dev/null 2>&1";
    return std::system(line.c_str());
  }
  void MakeJob(const std::string& files, const std::string& key) {
    ASSERT_EQ(Shell("sha256sum " + files + " > SHA256SUMS"), 0);
    ASSERT_EQ(
        Shell(kMinisign + " -S -s ../" + key + ".key -t 'QSR470 job for units A470' -m SHA256SUMS"),
        0);
  }

  // The updater, trusting `key`, with a device that does not exist: a job the
  // rule refuses never comes to open it.
  int Refused(const std::string& key, std::string& err) {
    e2e::Process updater;
    const std::string job = (dir_ / "job").string() + "/";
    EXPECT_TRUE(updater.Start({kUpdater, "--device", (dir_ / "no-such-port").string(), "--timeout",
                               "2", "--trusted-key", (dir_ / (key + ".pub")).string(), "--files",
                               job, job + "script.ini"}));
    const int code = updater.Wait(kRunDeadline);
    err = updater.Err();
    return code;
  }

  fs::path dir_;
};

std::string LastLine(const std::string& text) {
  const std::size_t end = text.size() - (text.ends_with('\n') ? 1 : 0);
  const std::size_t start = text.rfind('\n', end - 1);
  return text.substr(start == std::string::npos ? 0 : start + 1, end - (start + 1));
}

TEST_F(SignedJobRun, SignedSampleJobCompletesWithTheFactorysKeyInstalled) {
  e2e::Process unit;
  std::string tty;
  ASSERT_TRUE(unit.Start({kUnit}));
  ASSERT_TRUE(unit.ReadLine(tty, 30s)) << unit.Err();
  // The keys folder given through the environment, as a station may set it.
  fs::create_directories(dir_ / "keys");
  fs::copy_file(dir_ / "factory.pub", dir_ / "keys" / "factory.pub");
  ::setenv("QSR470_KEYS", (dir_ / "keys").string().c_str(), 1);
  e2e::Process updater;
  const std::string job = (dir_ / "job").string() + "/";
  ASSERT_TRUE(updater.Start({kUpdater, "--device", tty, "--files", job, job + "script.ini"}));
  EXPECT_EQ(updater.Wait(kRunDeadline), 0) << updater.Err();
  ::unsetenv("QSR470_KEYS");
  EXPECT_NE(updater.Out().find("Program operation completed"), std::string::npos);
  EXPECT_EQ(unit.Wait(60s), 0) << unit.Err();
}

TEST_F(SignedJobRun, EachDepartureFromTheSignedJobStopsBeforeThePortOpens) {
  std::string err;
  const std::string manifest = (dir_ / "job" / "SHA256SUMS").string();

  // Signed by a key the station does not trust.
  EXPECT_EQ(Refused("other", err), 1);
  EXPECT_EQ(LastLine(err), "Job not signed by a trusted key !!!") << err;

  // One data byte of a bank changed and its record checksum fixed up: every
  // check of the file itself still passes.
  const fs::path bank = dir_ / "job" / "keyb0.hex";
  std::stringstream text;
  text << std::ifstream(bank).rdbuf();
  std::string hex = text.str();
  ASSERT_EQ(hex.substr(0, 11), ":1000000001");
  ASSERT_EQ(hex.substr(41, 2), "78");
  hex.replace(9, 2, "02");
  hex.replace(41, 2, "77");
  std::ofstream(bank, std::ios::trunc) << hex;
  EXPECT_EQ(Refused("factory", err), 1);
  EXPECT_EQ(LastLine(err), "keyb0.hex does not match the job's SHA256SUMS !!!") << err;
  EXPECT_NE(err.find("expected "), std::string::npos) << err;
  fs::copy_file(kExamples / "keyb0.hex", bank, fs::copy_options::overwrite_existing);

  // SHA256SUMS changed after signing.
  std::ofstream(manifest, std::ios::app) << std::string(64, '0') << "  readid.ini\n";
  EXPECT_EQ(Refused("factory", err), 1);
  EXPECT_EQ(LastLine(err), "Job signature not valid !!!") << err;

  // A file the script uses left out of the signed SHA256SUMS.
  MakeJob("script.ini boot.hex keyb0.hex keyb1.hex keyb2.hex keyb3.hex prom1.svf", "factory");
  EXPECT_EQ(Refused("factory", err), 1);
  EXPECT_EQ(LastLine(err), "prom2.svf is not listed in the job's SHA256SUMS !!!") << err;

  // Unsigned while a key is trusted.
  fs::remove(dir_ / "job" / "SHA256SUMS.minisig");
  EXPECT_EQ(Refused("factory", err), 1);
  EXPECT_EQ(LastLine(err), "Job not signed by a trusted key !!!") << err;
}

TEST_F(SignedJobRun, WithoutAKeyTheSignatureIsReportedAndWhatIsNoFileRefusesAtOnce) {
  // A listed FIFO would block the hash for ever, and /dev/zero never end.
  const std::string job = (dir_ / "job").string() + "/";
  ASSERT_EQ(::mkfifo((job + "pipe").c_str(), 0600), 0);
  std::ofstream(job + "SHA256SUMS", std::ios::app) << std::string(64, '0') << "  pipe\n";
  fs::create_directories(dir_ / "nokeys");
  ::setenv("QSR470_KEYS", (dir_ / "nokeys").string().c_str(), 1);
  e2e::Process updater;
  ASSERT_TRUE(updater.Start({kUpdater, "--device", (dir_ / "no-such-port").string(), "--timeout",
                             "2", job + "script.ini"}));
  EXPECT_EQ(updater.Wait(kRunDeadline), 1);
  EXPECT_EQ(LastLine(updater.Err()), "pipe does not match the job's SHA256SUMS !!!")
      << updater.Err();
  EXPECT_NE(updater.Err().find("a FIFO"), std::string::npos) << updater.Err();
  EXPECT_NE(updater.Out().find("SHA256SUMS.minisig not verified: no key is trusted\n"),
            std::string::npos)
      << updater.Out();

  // --check names every key source it consulted, the empty one too, and the
  // key file that refuses every job.
  fs::remove(job + "pipe");
  std::ofstream(dir_ / "bad.pub") << "untrusted comment: x\nnot a key\n\n";
  e2e::Process check;
  ASSERT_TRUE(check.Start(
      {kUpdater, "--check", "--trusted-key", (dir_ / "bad.pub").string(), job + "script.ini"}));
  EXPECT_EQ(check.Wait(kRunDeadline), 1);
  ::unsetenv("QSR470_KEYS");
  EXPECT_NE(check.Out().find("trusted keys: none\nkey source: installed folder "),
            std::string::npos)
      << check.Out();
  EXPECT_NE(
      check.Out().find("key source: QSR470_KEYS " + (dir_ / "nokeys").string() + ": no key\n"),
      std::string::npos)
      << check.Out();
  EXPECT_NE(
      check.Out().find("key source: --trusted-key " + (dir_ / "bad.pub").string() + ": no key; "),
      std::string::npos)
      << check.Out();
  EXPECT_NE(check.Out().find("(this refuses every job)"), std::string::npos) << check.Out();
}

}  // namespace
