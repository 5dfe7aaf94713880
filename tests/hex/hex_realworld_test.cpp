// The image checksum against independent references: sums computed outside
// this code for real files, and srec_cat run on the same input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>
#include <algorithm>

#include "hex/hex.h"
#include "platform/files.h"

namespace {

namespace fs = std::filesystem;

const std::string kRealworld = std::string(QSR470_TESTDATA_DIR) + "/realworld/";

std::vector<std::string> Load(const std::string& path) {
  std::vector<std::string> lines;
  EXPECT_EQ(platform::ReadTextLines(path, lines), platform::ReadStatus::kOk) << path;
  return lines;
}

struct Range {
  std::uint16_t first;
  std::uint16_t last;
};
constexpr Range kRanges[] = {
    {0x4000, 0x5FFF}, {0x0000, 0x7FFF}, {0x8000, 0xFFFF}, {0x0000, 0xFFFF}};

TEST(HexFileChecksumRealworld, MatchesReferenceSums) {
  struct Case {
    const char* file;
    std::uint16_t sums[4];
  };
  const Case cases[] = {
      {"avr_mega2560_stk500v2_bootloader.hex", {0xE000, 0x8000, 0x9F9F, 0x1F9F}},
      {"teensy41_blink_slow.hex", {0x00E2, 0x6FAA, 0x8000, 0xEFAA}},
      {"avr_mega644_transistortester_T7mod.hex", {0x1137, 0x237B, 0x640E, 0x8789}},
  };
  for (const auto& c : cases) {
    const auto path = kRealworld + c.file;
    if (!platform::FileExists(path)) GTEST_SKIP() << "sample files not present: " << path;
    const auto lines = Load(path);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(HexFileChecksum(lines, kRanges[i].first, kRanges[i].last), c.sums[i])
          << c.file << " range " << i;
    }
  }
}

// srec_cat fills, crops and writes the range as a binary; summing that file
// gives the reference.
std::uint16_t SrecCatSum(const std::string& hexPath, Range r, const fs::path& work) {
  const auto bin = (work / "range.bin").string();
  const unsigned end = static_cast<unsigned>(r.last) + 1;
  char cmd[1024];
  std::snprintf(cmd, sizeof cmd,
                "srec_cat '%s' -Intel -crop 0x%X 0x%X -fill 0xFF 0x%X 0x%X -offset -0x%X "
                "-o '%s' -Binary 2>&1",
                hexPath.c_str(), r.first, end, r.first, end, r.first, bin.c_str());
  EXPECT_EQ(std::system(cmd), 0) << cmd;
  std::ifstream in(bin, std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(bytes.size(), end - r.first);
  std::uint16_t sum = 0;
  for (unsigned char b : bytes)
    sum = static_cast<std::uint16_t>(sum + b);
  return sum;
}

class HexFileChecksumVsSrecCat : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v srec_cat >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "srec_cat not installed";
    }
    work_ = fs::temp_directory_path() / ("qsr470-hex-" + std::to_string(::getpid()));
    fs::create_directories(work_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(work_, ec);
  }
  fs::path work_;
};

TEST_F(HexFileChecksumVsSrecCat, AgreesOnRandomDataRecords) {
  std::mt19937 rng(470);
  for (int file = 0; file < 12; ++file) {
    // Records at distinct 256-byte slots so no address is given twice (srec_cat
    // refuses that, where the checksum lets the later line win).
    std::vector<int> slots(256);
    for (int i = 0; i < 256; ++i)
      slots[static_cast<size_t>(i)] = i;
    std::shuffle(slots.begin(), slots.end(), rng);
    std::vector<std::string> lines;
    const int records = 1 + static_cast<int>(rng() % 120);
    for (int i = 0; i < records; ++i) {
      const int n = 1 + static_cast<int>(rng() % 32);
      const auto address = static_cast<std::uint16_t>(slots[static_cast<size_t>(i)] * 256 +
                                                      static_cast<int>(rng() % (256 - 32)));
      std::string data;
      for (int k = 0; k < n; ++k)
        data += ByteToHex(static_cast<std::uint8_t>(rng()));
      lines.push_back(MakeHexRecord(0x00, address, data));
    }
    lines.push_back(MakeHexRecord(0x01, 0, ""));
    const auto path = (work_ / "random.hex").string();
    {
      std::ofstream out(path);
      for (const auto& l : lines)
        out << l << "\r\n";
    }
    for (const auto r : kRanges) {
      EXPECT_EQ(HexFileChecksum(lines, r.first, r.last), SrecCatSum(path, r, work_))
          << "file " << file << " range " << r.first << "-" << r.last;
    }
  }
}

TEST_F(HexFileChecksumVsSrecCat, AgreesOnRealFilesWithoutExtendedAddresses) {
  const auto path = kRealworld + "avr_mega644_transistortester_T7mod.hex";
  if (!platform::FileExists(path)) GTEST_SKIP() << "sample files not present: " << path;
  const auto lines = Load(path);
  for (const auto r : kRanges) {
    EXPECT_EQ(HexFileChecksum(lines, r.first, r.last), SrecCatSum(path, r, work_));
  }
}

}  // namespace
