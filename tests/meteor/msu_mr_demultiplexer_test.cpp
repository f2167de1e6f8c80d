#include "meteor/msu_mr_demultiplexer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/working_file.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

// A frame whose byte j holds (j + offset) mod 256.
std::vector<uint8_t> CountingFrame(int offset) {
  std::vector<uint8_t> frame(1020);
  for (int j = 0; j < 1020; ++j) frame[static_cast<size_t>(j)] = static_cast<uint8_t>(j + offset);
  return frame;
}

// What a counting frame leaves: every slice's bytes 18 onwards (record bytes 18-255, 274-511,
// 530-767, 786-1019), written out by hand.
std::vector<uint8_t> CountingFrameData(int offset) {
  std::vector<uint8_t> data;
  const int ranges[4][2] = {{18, 255}, {274, 511}, {530, 767}, {786, 1019}};
  for (const auto& range : ranges)
    for (int j = range[0]; j <= range[1]; ++j) data.push_back(static_cast<uint8_t>(j + offset));
  return data;
}

TEST(DemultiplexMsuMrFrame, DropsEighteenOverheadBytesPerSlice) {
  const std::vector<uint8_t> frame = CountingFrame(0);
  std::vector<uint8_t> data(948);
  DemultiplexMsuMrFrame(frame.data(), data.data());
  // With byte j = j mod 256 every slice reads 18..255, the last one 18..251.
  std::vector<uint8_t> expected;
  for (int slice = 0; slice < 4; ++slice)
    for (int value = 18; value <= (slice == 3 ? 251 : 255); ++value)
      expected.push_back(static_cast<uint8_t>(value));
  EXPECT_EQ(data, expected);

  std::vector<uint8_t> in_place = frame;
  DemultiplexMsuMrFrame(in_place.data(), in_place.data());
  in_place.resize(948);
  EXPECT_EQ(in_place, expected);
}

using testing::ProgressWatchingHost;

class DemultiplexerStage : public ::testing::Test {
 protected:
  testing::TempFolder folder;
  ProgressWatchingHost host;
};

TEST_F(DemultiplexerStage, StreamsTheFramesInOrderAndDropsAPartialOne) {
  std::vector<uint8_t> cadu;
  std::vector<uint8_t> expected;
  for (int frame = 0; frame < 3; ++frame) {
    const std::vector<uint8_t> bytes = CountingFrame(frame * 7);
    cadu.insert(cadu.end(), bytes.begin(), bytes.end());
    const std::vector<uint8_t> data = CountingFrameData(frame * 7);
    expected.insert(expected.end(), data.begin(), data.end());
  }
  cadu.resize(cadu.size() + 500, 0xEE);
  testing::WriteFileBytes(WorkingPath("cadu.pds"), cadu);

  MsuMrDemultiplexer(host);

  const std::vector<uint8_t> output = testing::ReadFileBytes(WorkingPath("MSU-MR.dmx"));
  EXPECT_EQ(output.size(), 2844u);
  EXPECT_EQ(output, expected);
  // The scale is the input's whole frames, whatever the recording before it was.
  EXPECT_EQ(host.maximum_at_first_event, 3);
  EXPECT_EQ(host.progress_maximum, 3);
  EXPECT_EQ(host.events, 4);
  const std::vector<std::string> expected_log = {
      "Starting MSU-MR demultiplexing...",
      "",
      "Demiltiplexing done!  3 lines decoding.",
      "",
      "",
      "******************************************************",
      ""};
  EXPECT_EQ(host.log, expected_log);
}

TEST_F(DemultiplexerStage, OddLengthsKeepOnlyWholeFrames) {
  for (size_t length : {0u, 1u, 1019u, 1021u, 2039u}) {
    SCOPED_TRACE("cadu.pds of " + std::to_string(length) + " bytes");
    testing::WriteFileBytes(WorkingPath("cadu.pds"), std::vector<uint8_t>(length, 0x11));
    host.log.clear();
    host.events = 0;
    MsuMrDemultiplexer(host);
    const size_t frames = length / 1020;
    EXPECT_EQ(host.maximum_at_first_event, static_cast<int64_t>(frames));
    EXPECT_EQ(testing::ReadFileBytes(WorkingPath("MSU-MR.dmx")),
              std::vector<uint8_t>(frames * 948, 0x11));
    EXPECT_TRUE(
        host.Logged("Demiltiplexing done!  " + std::to_string(frames) + " lines decoding."));
  }
}

}  // namespace
}  // namespace vantrel
