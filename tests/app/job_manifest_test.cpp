// Signed jobs against the tools the factory uses: coreutils' sha256sum
// writes the manifest and minisign makes the keys and signs it, at test time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/JobManifest.h"

namespace {

namespace fs = std::filesystem;

const std::string kMinisign = QSR470_MINISIGN;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void Write(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class SignedJob : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qsr470-signed-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    folder_ = dir_.string() + "/";
    Write(dir_ / "script.ini", "PB boot.hex\nP0 keyb0.hex\n");
    Write(dir_ / "boot.hex", ":0400000001020304F2\n:00000001FF\n");
    Write(dir_ / "keyb0.hex", ":0100000041BE\n:00000001FF\n");
    for (const char* key : {"factory", "other"}) {
      ASSERT_EQ(Shell(kMinisign + " -G -W -p " + key + ".pub -s " + key + ".key"), 0);
    }
  }
  void TearDown() override { fs::remove_all(dir_); }

  int Shell(const std::string& command) {
    return std::system(("cd " + folder_ + " && (" + command + ") >/dev/null 2>&1").c_str());
  }
  void Manifest(const std::string& files) {
    ASSERT_EQ(Shell("sha256sum " + files + " > SHA256SUMS"), 0);
  }
  void Sign(const std::string& key, const std::string& extra = "") {
    ASSERT_EQ(Shell(kMinisign + " -S " + extra + " -s " + key +
                    ".key -t 'QSR470 job for units A470' -m SHA256SUMS"),
              0);
  }
  TTrustedKeys Trust(const std::string& key) {
    return LoadTrustedKeys({}, {(dir_ / (key + ".pub")).string()});
  }
  TJobFiles Check(const TTrustedKeys& keys,
                  const std::vector<std::string>& used = {"boot.hex", "keyb0.hex"}) {
    return CheckJobFiles(folder_, folder_ + "script.ini", used, keys);
  }

  fs::path dir_;
  std::string folder_;
};

TEST_F(SignedJob, SignatureOfMinisignVerifiesInBothFormsAndNamesTheSigner) {
  Manifest("script.ini boot.hex keyb0.hex");
  const TTrustedKeys keys = Trust("factory");
  ASSERT_EQ(keys.keys.size(), 1u) << keys.problem;
  // The key id as minisign writes it in the public key's comment.
  const std::string pub = ReadAll(dir_ / "factory.pub");
  const std::string id = KeyIdText(keys.keys[0].id);
  EXPECT_NE(pub.find("minisign public key " + id), std::string::npos) << pub;

  for (const std::string form : {"", "-l"}) {
    Sign("factory", form);
    const TJobFiles job = Check(keys);
    EXPECT_EQ(job.problem, "") << form << ": " << job.detail;
    EXPECT_EQ(job.signer, "key " + id + " (QSR470 job for units A470)");
    ASSERT_EQ(job.files.size(), 3u);
    for (const TFileVerdict& file : job.files)
      EXPECT_EQ(file.state, TFileState::Matching) << file.name;
  }
}

TEST_F(SignedJob, EveryWayOfDepartingFromTheSignedJobIsRefusedWithItsMessage) {
  Manifest("script.ini boot.hex keyb0.hex");
  Sign("factory");
  const TTrustedKeys keys = Trust("factory");
  const std::string manifest = ReadAll(dir_ / "SHA256SUMS");
  const std::string signature = ReadAll(dir_ / "SHA256SUMS.minisig");

  // Signed by a key nobody installed.
  EXPECT_EQ(Check(Trust("other")).problem, kNotTrusted);

  // One byte of a file changed after signing: the file, with both hashes.
  Write(dir_ / "keyb0.hex", ":0100000042BD\n:00000001FF\n");
  TJobFiles job = Check(keys);
  EXPECT_EQ(job.problem, std::string("keyb0.hex") + kNoMatch);
  EXPECT_NE(job.detail.find("expected "), std::string::npos) << job.detail;
  EXPECT_NE(job.detail.find("SHA256SUMS line 3: "), std::string::npos) << job.detail;
  Write(dir_ / "keyb0.hex", ":0100000041BE\n:00000001FF\n");

  // A file the job uses that the manifest does not list.
  Write(dir_ / "keyb1.hex", ":00000001FF\n");
  EXPECT_EQ(Check(keys, {"boot.hex", "keyb0.hex", "keyb1.hex"}).problem,
            std::string("keyb1.hex") + kNotListed);

  // The manifest changed after signing, to take in that file.
  Write(dir_ / "SHA256SUMS", manifest + Sha256Text(Sha256(":00000001FF\n")) + "  keyb1.hex\n");
  EXPECT_EQ(Check(keys, {"keyb1.hex"}).problem, kSignatureNotValid);
  Write(dir_ / "SHA256SUMS", manifest);

  // The trusted comment changed: it is signed too.
  std::string moved = signature;
  moved.replace(moved.find("QSR470 job"), 10, "QSR470 JOB");
  Write(dir_ / "SHA256SUMS.minisig", moved);
  job = Check(keys);
  EXPECT_EQ(job.problem, kSignatureNotValid);
  EXPECT_NE(job.detail.find("trusted comment"), std::string::npos) << job.detail;

  // Unsigned while a key is trusted.
  fs::remove(dir_ / "SHA256SUMS.minisig");
  EXPECT_EQ(Check(keys).problem, kNotTrusted);

  // The script from elsewhere cannot be covered by this folder's manifest.
  Write(dir_ / "SHA256SUMS.minisig", signature);
  EXPECT_EQ(Check(keys).problem, "");
  fs::create_directories(dir_ / "elsewhere");
  fs::copy_file(dir_ / "script.ini", dir_ / "elsewhere" / "script.ini");
  EXPECT_EQ(CheckJobFiles(folder_, (dir_ / "elsewhere" / "script.ini").string(), {}, keys).problem,
            std::string("script.ini") + kNotListed);

  // A key file that does not read refuses every job rather than none.
  fs::create_directories(dir_ / "keys");
  fs::copy_file(dir_ / "factory.pub", dir_ / "keys" / "factory.pub");
  Write(dir_ / "keys" / "broken.pub", "untrusted comment: x\nRWQ=\n");
  const TTrustedKeys broken = LoadTrustedKeys({(dir_ / "keys").string()}, {});
  EXPECT_EQ(broken.keys.size(), 1u);
  EXPECT_EQ(Check(broken).problem, kNotTrusted);
}

TEST_F(SignedJob, WithoutATrustedKeyAManifestStillHasToMatch) {
  // No manifest, no key: nothing changes.
  TJobFiles job = Check({});
  EXPECT_EQ(job.problem, "");
  EXPECT_FALSE(job.checked);
  EXPECT_EQ(job.signer, "unsigned");

  Manifest("script.ini boot.hex keyb0.hex");
  Sign("other");
  job = Check({});
  EXPECT_EQ(job.problem, "") << job.detail;
  EXPECT_NE(job.signer.find("not verified"), std::string::npos) << job.signer;
  EXPECT_EQ(job.note, kSignatureNotVerified);
  // Every listed file counts, used or not.
  Write(dir_ / "keyb0.hex", "changed");
  EXPECT_EQ(Check({}, {"boot.hex"}).problem, std::string("keyb0.hex") + kNoMatch);

  // Listed names that are no files are refused at once, never read: a FIFO
  // would block for ever and /dev/zero would never end.
  Manifest("script.ini boot.hex");
  ASSERT_EQ(::mkfifo((dir_ / "pipe").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", dir_ / "zero");
  const std::string zeros(64, '0');
  for (const auto& [name, reason] : {std::pair{"pipe", "a FIFO"}, std::pair{"zero", "a device"}}) {
    Write(dir_ / "SHA256SUMS", ReadAll(dir_ / "SHA256SUMS") + zeros + "  " + name + "\n");
    job = Check({}, {"boot.hex"});
    EXPECT_EQ(job.problem, name + std::string(kNoMatch)) << job.detail;
    EXPECT_NE(job.detail.find(reason), std::string::npos) << job.detail;
    Manifest("script.ini boot.hex");
  }
}

TEST_F(SignedJob, KeyAndSignatureWithTrailingEmptyLinesReadAsMinisignReadsThem) {
  Manifest("script.ini boot.hex keyb0.hex");
  Sign("factory");
  // As an editor or a mail client leaves them.
  Write(dir_ / "factory.pub", ReadAll(dir_ / "factory.pub") + "\n\r\n");
  Write(dir_ / "SHA256SUMS.minisig", ReadAll(dir_ / "SHA256SUMS.minisig") + "\n\n");
  ASSERT_EQ(Shell(kMinisign + " -V -p factory.pub -m SHA256SUMS"), 0);
  const TTrustedKeys keys = Trust("factory");
  ASSERT_EQ(keys.problem, "");
  EXPECT_EQ(Check(keys).problem, "") << Check(keys).detail;
}

TEST(Manifest, ReadsBothFormsOfSha256sumAndRefusesWhatCouldLeaveTheFolder) {
  const std::string hash(64, 'a');
  TManifest manifest;
  ASSERT_EQ(
      ParseManifest(hash + "  boot.hex\r\n" + hash +
                        " *sub/keyb0.hex\nSHA256 (./a (1).svf) = " + std::string(64, 'B') + "\n",
                    false, manifest),
      "");
  ASSERT_EQ(manifest.entries.size(), 3u);
  EXPECT_EQ(manifest.entries[1].name, "sub/keyb0.hex");
  EXPECT_EQ(manifest.entries[2].name, "a (1).svf");
  EXPECT_EQ(manifest.entries[2].hash[0], 0xBB);

  const struct {
    std::string text;
    const char* reason;
  } bad[] = {
      {hash + "  /etc/passwd\n", "absolute"},
      {hash + "  C:boot.hex\n", "drive letter"},
      {hash + "  sub\\boot.hex\n", "backslash"},
      {hash + "  sub/../../boot.hex\n", "'..'"},
      {hash + "  boot.hex\n" + hash + "  ./boot.hex\n", "listed twice"},
      {hash + " boot.hex\n", "not a SHA-256 line"},
      {std::string(63, 'a') + "g  boot.hex\n", "64 hex digits"},
      {hash + "  boot.hex\n\n" + hash + "  prom.svf\n", "line 2"},
      {"", "no file listed"},
  };
  for (const auto& [text, reason] : bad) {
    EXPECT_NE(ParseManifest(text, false, manifest).find(reason), std::string::npos) << text;
  }
  // A key the cryptographic library would abort on is refused instead (found
  // by the fuzz target: a zero key).
  TPublicKey key;
  EXPECT_EQ(ParsePublicKey("untrusted comment: zero\n"
                           "RWQBAgMEBQYHCAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n",
                           key),
            "not a valid Ed25519 key");
  // Key ids as minisign writes them in a key's comment: no leading zeros.
  EXPECT_EQ(KeyIdText({0x01, 0, 0, 0, 0, 0, 0, 0x0F}), "F00000000000001");
  EXPECT_EQ(KeyIdText({}), "0");
  // Where the file system ignores case, so does the manifest.
  EXPECT_NE(ParseManifest(hash + "  Boot.hex\n" + hash + "  boot.HEX\n", true, manifest), "");
  EXPECT_EQ(ParseManifest(hash + "  Boot.hex\n" + hash + "  boot.HEX\n", false, manifest), "");
}

}  // namespace
