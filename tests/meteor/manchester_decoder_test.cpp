#include "meteor/manchester_decoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/stage_error.h"
#include "core/working_file.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

// Bit-serial reference: keep the bits at even positions of the stream, counting from the most
// significant bit of the first byte.
std::vector<uint8_t> KeepEvenBits(const std::vector<uint8_t>& coded) {
  std::vector<uint8_t> data(coded.size() / 2, 0);
  for (size_t bit = 0; bit < data.size() * 8; ++bit) {
    const size_t source = 2 * bit;
    const int value = (coded[source / 8] >> (7 - source % 8)) & 1;
    data[bit / 8] |= static_cast<uint8_t>(value << (7 - bit % 8));
  }
  return data;
}

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(count);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

uint8_t DecodePair(uint8_t first, uint8_t second) {
  const uint8_t in[2] = {first, second};
  uint8_t out = 0;
  ManchesterDecodeBytes(in, 2, &out);
  return out;
}

TEST(ManchesterDecodeBytes, TakesTheFirstBitOfEverySymbol) {
  EXPECT_EQ(DecodePair(0xAA, 0xAA), 0xFF);  // all symbols 10
  EXPECT_EQ(DecodePair(0x55, 0x55), 0x00);  // all symbols 01
  EXPECT_EQ(DecodePair(0x99, 0x66), 0xA5);  // 10 01 10 01, 01 10 01 10
  EXPECT_EQ(DecodePair(0xF0, 0x0F), 0xC3);  // invalid symbols 11 and 00 give 1 and 0
}

TEST(ManchesterDecodeBytes, MatchesBitSerialDecodingInPlace) {
  constexpr uint32_t kSeed = 20181231;
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  std::vector<uint8_t> bytes = RandomBytes(4096 + 18, kSeed);  // a tail shorter than a step
  const std::vector<uint8_t> expected = KeepEvenBits(bytes);
  ManchesterDecodeBytes(bytes.data(), bytes.size(), bytes.data());
  bytes.resize(expected.size());
  EXPECT_EQ(bytes, expected);
}

using testing::ProgressWatchingHost;

class ManchesterStage : public ::testing::Test {
 protected:
  testing::TempFolder folder;
  ProgressWatchingHost host;

  void RunOn(const std::vector<uint8_t>& raw) {
    host.input_path = folder.File("MN2_20181231_101530.bin");
    testing::WriteFileBytes(host.input_path, raw);
    ManchesterDecoder(host);
  }
};

TEST_F(ManchesterStage, DecodesWholeBlocksAndTheCompletePairsOfTheTail) {
  constexpr uint32_t kSeed = 7;
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  const std::vector<uint8_t> raw = RandomBytes(3000, kSeed);
  RunOn(raw);

  // Two whole blocks and a tail of 952 bytes: 476 pairs.
  const std::vector<uint8_t> output = testing::ReadFileBytes(WorkingPath("cvcdu.man"));
  EXPECT_EQ(output.size(), 1500u);
  EXPECT_EQ(output, KeepEvenBits(raw));
  EXPECT_EQ(host.maximum_at_first_event, 2);  // the input's whole blocks
  EXPECT_EQ(host.size_caption, "File size 3000 bytes");
  EXPECT_EQ(host.progress_maximum, 2);
  const std::vector<std::string> expected_log = {
      "Starting Manchester decoding...",
      "",
      "Manchester decodig done!  2 lines decoding.",
      "",
      "",
      "******************************************************",
      ""};
  EXPECT_EQ(host.log, expected_log);
  EXPECT_EQ(host.events, 3);  // once before the loop, once per block
}

TEST_F(ManchesterStage, AnOddLastByteHalfAPairIsLeftOut) {
  constexpr uint32_t kSeed = 8;
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  for (const size_t size : {size_t{1}, size_t{2}, size_t{1024 + 3}, size_t{2049}}) {
    SCOPED_TRACE("size " + std::to_string(size));
    const std::vector<uint8_t> raw = RandomBytes(size, kSeed);
    RunOn(raw);
    const std::vector<uint8_t> output = testing::ReadFileBytes(WorkingPath("cvcdu.man"));
    EXPECT_EQ(output.size(), size / 2);
    EXPECT_EQ(output, KeepEvenBits(raw));
  }
}

TEST(ManchesterStageProgress, ScaleIsTheBlockCountOfTheInput) {
  testing::TempFolder folder;
  ProgressWatchingHost host;
  host.input_path = folder.File("MN2_1.bin");
  testing::WriteFileBytes(host.input_path, std::vector<uint8_t>(10240, 0xAA));
  ManchesterDecoder(host);
  EXPECT_EQ(host.maximum_at_first_event, 10);
  EXPECT_EQ(host.progress_maximum, 10);
  EXPECT_EQ(testing::ReadFileBytes(WorkingPath("cvcdu.man")), std::vector<uint8_t>(5120, 0xFF));
}

TEST_F(ManchesterStage, EmptyInputGivesAnEmptyFile) {
  RunOn({});
  EXPECT_TRUE(testing::FileExists(WorkingPath("cvcdu.man")));
  EXPECT_TRUE(testing::ReadFileBytes(WorkingPath("cvcdu.man")).empty());
  EXPECT_EQ(host.size_caption, "File size 0 bytes");
  EXPECT_TRUE(host.Logged("Manchester decodig done!  0 lines decoding."));
  EXPECT_EQ(host.progress_maximum, 0);
}

// A partial cvcdu.man would make a partial product that looks finished: the run ends instead.
TEST_F(ManchesterStage, FullDiskIsReportedAndEndsTheRun) {
  host.input_path = folder.File("MN2_20181231_101530.bin");
  testing::WriteFileBytes(host.input_path, std::vector<uint8_t>(1 << 20, 0x55));
  testing::FileSizeLimit disk_full(1 << 16);
  EXPECT_THROW(ManchesterDecoder(host), StageError);
  EXPECT_TRUE(host.Logged("Write output file failed!"));
}

// A host whose event pump cuts the input short at its n-th call.
struct CuttingHost : testing::RecordingHost {
  long cut_at = 0;
  void ProcessEvents() override {
    if (++events == cut_at) std::filesystem::resize_file(input_path, 3000);
  }
};

TEST(ManchesterStageCut, InputCutWhileReadEndsTheRun) {
  testing::TempFolder folder;
  CuttingHost host;
  host.input_path = folder.File("MN2_20181231_101530.bin");
  testing::WriteFileBytes(host.input_path, RandomBytes(1 << 20, 5));  // past the stream buffer
  host.cut_at = 3;
  try {
    ManchesterDecoder(host);
    ADD_FAILURE() << "the cut was not noticed";
  } catch (const StageError& error) {
    EXPECT_NE(std::string(error.what()).find("of its 1048576 bytes"), std::string::npos)
        << error.what();
  }
}

}  // namespace
}  // namespace vantrel
