#include "fy3/cut_mpdu_stage.h"

#include <gtest/gtest.h>

#include <tuple>

#include <filesystem>
#include <string>
#include <vector>

#include "core/frame_tags.h"
#include "tests/support/marked_chain.h"
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

// A VCDU of channel 5 with frame counter `counter` whose cut bytes are all `fill`.
std::vector<uint8_t> CountedVcdu(uint32_t counter, uint8_t fill) {
  std::vector<uint8_t> vcdu(kVcdu, fill);
  vcdu[0] = 0x40;
  vcdu[1] = 0x05;
  vcdu[2] = static_cast<uint8_t>(counter >> 16);
  vcdu[3] = static_cast<uint8_t>(counter >> 8);
  vcdu[4] = static_cast<uint8_t>(counter);
  return vcdu;
}

std::vector<uint8_t> Join(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Frames missing by the counter become records of zeros in their place; a jump no pass could
// make fills nothing; the counter wraps at 2^24.
TEST(CutMpduStage, MissingFramesBecomeZeroRecordsInTheirPlace) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  const uint32_t top = 0xFFFFFF;
  testing::WriteFileBytes(
      folder.File("vcdu_x.vcd"),
      Join({CountedVcdu(top - 3, 1), CountedVcdu(top - 2, 2), CountedVcdu(top, 3),  // one missing
            CountedVcdu(2, 4),         // 0 and 1 missing across the wrap
            CountedVcdu(2 + 5000, 5),  // a restart
            CountedVcdu(2 + 5001, 6)}));
  const std::vector<StreamMark> marks =
      testing::RunMarkedChain(host, "vcdu_x.vcd", {}, {kCutMpduStep});
  const std::vector<uint8_t> zero(kCut, 0);
  const auto cut = [](uint8_t fill) { return std::vector<uint8_t>(kCut, fill); };
  EXPECT_EQ(testing::ReadFileBytes(folder.File("mpdu_x.mpd")),
            Join({cut(1), cut(2), zero, cut(3), zero, zero, cut(4), cut(5), cut(6)}));
  EXPECT_EQ(host.chain.Counts.frames_missing, 3);
  // The zeros are marked for the line search, and so is the restart before the fifth VCDU.
  const auto k = static_cast<int64_t>(kCut);
  ASSERT_EQ(marks.size(), 3u);
  EXPECT_EQ(std::make_tuple(marks[0].offset, marks[0].length, marks[0].value),
            std::make_tuple(2 * k, k, FrameMark::kFilledBytes));
  EXPECT_EQ(std::make_tuple(marks[1].offset, marks[1].length, marks[1].value),
            std::make_tuple(4 * k, 2 * k, FrameMark::kFilledBytes));
  EXPECT_EQ(std::make_tuple(marks[2].offset, marks[2].length, marks[2].value),
            std::make_tuple(7 * k, int64_t{0}, FrameMark::kUnmeasuredGap));
  // The done line still counts the VCDUs read.
  EXPECT_TRUE(host.Logged("Mpdu cuting done!  6 lines found."));
}

// A frame Reed-Solomon could not correct (as VCDU selection tagged it) is written as zeros, and
// its counter is not trusted: the frame is taken as the next one in line.
TEST(CutMpduStage, UncorrectableFrameIsWrittenAsZeros) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  testing::WriteFileBytes(folder.File("vcdu_x.vcd"),
                          Join({CountedVcdu(10, 1), CountedVcdu(0x123456, 2), CountedVcdu(12, 3)}));
  const std::vector<StreamMark> marks = testing::RunMarkedChain(
      host, "vcdu_x.vcd",
      {{0, 892, 10}, {892, 892, 0x123456 | FrameMark::kUncorrectable}, {1784, 892, 12}},
      {kCutMpduStep});
  EXPECT_EQ(testing::ReadFileBytes(folder.File("mpdu_x.mpd")),
            Join({std::vector<uint8_t>(kCut, 1), std::vector<uint8_t>(kCut, 0),
                  std::vector<uint8_t>(kCut, 3)}));
  EXPECT_EQ(host.chain.Counts.frames_missing, 0);
  ASSERT_EQ(marks.size(), 1u);
  EXPECT_EQ(marks[0].offset, static_cast<int64_t>(kCut));
  EXPECT_EQ(marks[0].value, FrameMark::kFilledBytes);
}

}  // namespace
}  // namespace vantrel
