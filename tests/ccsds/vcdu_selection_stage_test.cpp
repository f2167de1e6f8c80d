#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "ccsds/ccsds_headers.h"
#include "ccsds/vcdu_selection_stage.h"
#include "core/stage_error.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using testing::ReadFileBytes;
using testing::RecordingHost;
using testing::TempFolder;
using testing::WriteFileBytes;

constexpr size_t kVcdu = 892;

// A VCDU whose byte 1 is `byte1` and whose byte i (from 2 on) is seed + 3 i.
std::vector<uint8_t> MakeVcdu(uint8_t byte1, uint8_t seed) {
  std::vector<uint8_t> vcdu(kVcdu);
  for (size_t i = 0; i < kVcdu; ++i) vcdu[i] = static_cast<uint8_t>(seed + 3 * i);
  vcdu[0] = 0x43;
  vcdu[1] = byte1;
  return vcdu;
}

std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(VcduHeader, FieldsFromHandBuiltBytes) {
  // Version 1, spacecraft 12 (0b00001100), channel 9, counter 0x123456, replay flag set.
  const uint8_t bytes[] = {0x43, 0x09, 0x12, 0x34, 0x56, 0x80};
  const VcduHeader header = VcduHeader::Parse(bytes);
  EXPECT_EQ(header.version, 1);
  EXPECT_EQ(header.spacecraft_id, 12);
  EXPECT_EQ(header.virtual_channel, 9);
  EXPECT_EQ(header.frame_counter, 0x123456u);
  EXPECT_EQ(header.replay_flag, 1);
  const uint8_t idle[] = {0x7F, 0xFF, 0, 0, 0, 0};
  EXPECT_EQ(VcduHeader::Parse(idle).virtual_channel, 63);
  EXPECT_EQ(VcduHeader::Parse(idle).spacecraft_id, 0xFF);
}

TEST(VcduSelectionStage, KeepsTheMetopChannelAndListsIt) {
  TempFolder folder;
  RecordingHost host;
  host.SetSatellite("metop-b");
  host.settings.GetVCDU = true;
  const auto a = MakeVcdu(0x09, 1), b = MakeVcdu(0x0A, 2), c = MakeVcdu(0x49, 3);
  // A trailing partial VCDU is dropped.
  std::vector<uint8_t> input = Concat({a, b, c});
  input.insert(input.end(), 500, 0x09);
  WriteFileBytes("cvcdu.rs", input);

  VcduSelectionStage(host);

  EXPECT_EQ(ReadFileBytes("vcdu_x.vcd"), Concat({a, c}));
  const std::vector<std::string> expected = {
      "Starting VCDU selection...",
      "",
      "Line 0001  43 09 07 0A 0D 10 13 16 19 1C 1F 22 25 28 2B 2E ",
      "Line 0002  43 49 09 0C 0F 12 15 18 1B 1E 21 24 27 2A 2D 30 ",
      "Vcdu selection done!  2 lines found.",
      "",
      "File '" + folder.File("vcdu_x.vcd") + "' contains 892 byte VCDUs of ID = 9 only.",
      "",
      std::string(54, '*'),
      "",
  };
  EXPECT_EQ(host.log, expected);
  EXPECT_EQ(host.events, 3);  // one per whole VCDU, selected or not
  EXPECT_EQ(host.chain.ProgressCount, 0);
  EXPECT_EQ(host.progress_maximum, 2);
}

TEST(VcduSelectionStage, Fy3TakesTheRadioChoiceAndIdleChannelIsSelectable) {
  TempFolder folder;
  const auto v3 = MakeVcdu(0x03, 1), v9 = MakeVcdu(0x09, 2), v63 = MakeVcdu(0xFF, 3);
  WriteFileBytes("cvcdu.rs", Concat({v9, v3, v63, v3}));

  RecordingHost fy3;
  fy3.SetSatellite("fy3b");
  fy3.settings.Fy3Vcid = 3;
  fy3.settings.VCID_Metop = "9";
  VcduSelectionStage(fy3);
  EXPECT_EQ(ReadFileBytes("vcdu_x.vcd"), Concat({v3, v3}));
  EXPECT_TRUE(fy3.Logged("Vcdu selection done!  2 lines found."));
  EXPECT_FALSE(fy3.Logged("Line 0001  43 03 01 04 07 0A 0D 10 13 16 19 1C 1F 22 25 28 "));

  RecordingHost idle;
  idle.SetSatellite("metop-b");
  idle.settings.VCID_Metop = "63";
  VcduSelectionStage(idle);
  EXPECT_EQ(ReadFileBytes("vcdu_x.vcd"), v63);

  // Two digits can say 64 or more, which six bits never match.
  RecordingHost wide;
  wide.SetSatellite("metop-b");
  wide.settings.VCID_Metop = "73";
  VcduSelectionStage(wide);
  EXPECT_TRUE(ReadFileBytes("vcdu_x.vcd").empty());
  EXPECT_TRUE(wide.Logged("Vcdu selection done!  0 lines found."));
  EXPECT_EQ(wide.progress_maximum, 0);
}

// An output on a full device: the failure is logged before the summary, and the run ends there
// (the stages behind would make a partial product).
TEST(VcduSelectionStage, FullDiskIsLoggedBeforeTheSummaryAndEndsTheRun) {
  TempFolder folder;
  WriteFileBytes("cvcdu.rs", MakeVcdu(9, 0));
  RecordingHost full;
  full.SetSatellite("metop-b");
  {
    testing::FileSizeLimit disk_full(64);
    EXPECT_THROW(VcduSelectionStage(full), StageError);
  }
  ASSERT_EQ(full.log.size(), 9u);
  EXPECT_EQ(full.log[2], "Write output file failed!");
  EXPECT_EQ(full.log[3], "Vcdu selection done!  1 lines found.");
}

TEST(VcduSelectionStage, ChannelTextThatIsNoNumberEndsTheStage) {
  TempFolder folder;
  WriteFileBytes("cvcdu.rs", MakeVcdu(9, 0));
  RecordingHost host;
  host.SetSatellite("metop-b");
  host.settings.VCID_Metop = "9x";
  try {
    VcduSelectionStage(host);
    ADD_FAILURE() << "no error for a channel that is no number";
  } catch (const StageError& error) {
    EXPECT_EQ(std::string(error.what()), "VCID_Metop: '9x' is not a valid integer value");
  }
  EXPECT_FALSE(host.Logged("Vcdu selection done!  0 lines found."));
  // Files were closed on the way out: the output can be removed and recreated at once.
  EXPECT_TRUE(std::filesystem::remove("vcdu_x.vcd"));
}

}  // namespace
}  // namespace vantrel
