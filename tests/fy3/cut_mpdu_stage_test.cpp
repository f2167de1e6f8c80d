#include "fy3/cut_mpdu_stage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

constexpr size_t kVcdu = 892;
constexpr size_t kCut = 882;

// `count` VCDUs whose byte i of VCDU k is (k * 7 + i) mod 256, then `extra` bytes.
std::vector<uint8_t> Vcdus(size_t count, size_t extra = 0) {
  std::vector<uint8_t> bytes;
  for (size_t k = 0; k < count; ++k) {
    for (size_t i = 0; i < kVcdu; ++i) bytes.push_back(static_cast<uint8_t>(k * 7 + i));
  }
  bytes.insert(bytes.end(), extra, 0xEE);
  return bytes;
}

TEST(CutMpduStage, KeepsBytes10To891OfEveryWholeVcdu) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  std::vector<uint8_t> input = Vcdus(3, 100);
  input[kVcdu + 10] = 0xA1;
  input[kVcdu + 11] = 0x16;
  input[kVcdu + 891] = 0x5C;
  testing::WriteFileBytes(folder.File("vcdu_x.vcd"), input);

  CutMpduStage(host);

  const std::vector<uint8_t> output = testing::ReadFileBytes(folder.File("mpdu_x.mpd"));
  ASSERT_EQ(output.size(), 3 * kCut);
  for (size_t k = 0; k < 3; ++k) {
    for (size_t i = 0; i < kCut; ++i) {
      ASSERT_EQ(output[k * kCut + i], input[k * kVcdu + 10 + i]) << "record " << k << " byte " << i;
    }
  }
  EXPECT_EQ(output[kCut], 0xA1);
  EXPECT_EQ(output[kCut + 1], 0x16);
  EXPECT_EQ(output[2 * kCut - 1], 0x5C);

  const std::vector<std::string> expected = {
      "Starting cut Mpdu 3FFF...",
      "",
      "Mpdu cuting done!  3 lines found.",
      "",
      "File '" + folder.File("mpdu_x.mpd") + "' contains 882 byte cut MPDUs.",
      "",
      std::string(54, '*'),
      "",
  };
  EXPECT_EQ(host.log, expected);
  EXPECT_EQ(host.chain.ProgressCount, 0);
  EXPECT_EQ(host.events, 3);
}

TEST(CutMpduStage, AnyNumberOfRecordsAndTheProgressMaximum) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  for (const auto& [count, maximum] :
       {std::pair{0, 0}, {34, 0}, {35, 1}, {70, 2}, {104, 2}, {256, 7}, {257, 7}, {600, 17}}) {
    const std::vector<uint8_t> input = Vcdus(count, 891);
    testing::WriteFileBytes(folder.File("vcdu_x.vcd"), input);
    CutMpduStage(host);
    EXPECT_EQ(host.progress_maximum, maximum) << count << " records";
    std::vector<uint8_t> expected;
    for (int k = 0; k < count; ++k) {
      const auto vcdu = input.begin() + k * static_cast<ptrdiff_t>(kVcdu);
      expected.insert(expected.end(), vcdu + 10, vcdu + 892);
    }
    EXPECT_EQ(testing::ReadFileBytes(folder.File("mpdu_x.mpd")), expected) << count << " records";
    EXPECT_TRUE(host.Logged("Mpdu cuting done!  " + std::to_string(count) + " lines found."));
  }
}

TEST(CutMpduStage, OpenFailures) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  EXPECT_NE(testing::RunEnd(CutMpduStage, host), "");
  EXPECT_EQ(host.log, std::vector<std::string>{"Open input file failed!"});
  host.log.clear();
  testing::WriteFileBytes(folder.File("vcdu_x.vcd"), Vcdus(1));
  std::filesystem::create_directory(folder.File("mpdu_x.mpd"));
  EXPECT_NE(testing::RunEnd(CutMpduStage, host), "");
  EXPECT_EQ(host.log, std::vector<std::string>{"Open output file failed!"});
}

}  // namespace
}  // namespace vantrel
