#include "fy3/inner_sync_stage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/working_file.h"
#include "tests/fy3/line_sync_streams.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

constexpr size_t kFy3L = 26050;
constexpr size_t kMn2L = 11850;
constexpr unsigned kSeed = 49;

std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& lines) {
  std::vector<uint8_t> all;
  for (const auto& line : lines) all.insert(all.end(), line.begin(), line.end());
  return all;
}

TEST(Fy3InnerSyncStage, WritesEveryLineAndLogsTheRun) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  const auto lines = testing::Fy3Lines(5, kFy3L, kSeed);
  const std::vector<uint8_t> stream = testing::Stream(lines);
  testing::WriteFileBytes(folder.File("mpdu_x.mpd"), stream);

  Fy3InnerSyncStage(host);

  EXPECT_EQ(testing::ReadFileBytes(folder.File("FY3x_.fy3")), Concat(lines));
  const std::vector<std::string> expected = {
      "Starting inner FY3x ASM detection...",
      "File 1 line 4 short 0",
      "ASM detection done!  5 lines found.",
      "",
      "File '" + folder.File("FY3x_.fy3") + "' Inner ASM aligned, 26050 byte lines ",
      "",
      std::string(54, '*'),
      "",
  };
  EXPECT_EQ(host.log, expected);
  EXPECT_EQ(host.chain.InputFileSize, static_cast<int64_t>(stream.size()));
  EXPECT_EQ(host.chain.ProgressCount, 0);
  EXPECT_EQ(host.progress_maximum, 5);
  EXPECT_GE(host.events, 5);
}

TEST(Fy3InnerSyncStage, FoundLinesAreLoggedWhenAsked) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  host.settings.FY3ASM = true;
  const auto lines = testing::Fy3Lines(3, kFy3L, kSeed);
  testing::WriteFileBytes(folder.File("mpdu_x.mpd"), testing::Stream(lines));
  Fy3InnerSyncStage(host);
  EXPECT_TRUE(host.Logged("File 1  line 00001  found sync 00845BF5  shift=0  offset=0"));
  EXPECT_TRUE(host.Logged("File 1  line 00002  found sync 00845BF5  shift=0  offset=26050"));
  EXPECT_TRUE(host.Logged("File 1  line 00003  found sync 00845BF5  shift=0  offset=26050"));
  EXPECT_TRUE(host.Logged("ASM detection done!  3 lines found."));

  // Three bits that belong to no line: byte 1, five pattern bits before it, same lines.
  host.log.clear();
  testing::WriteFileBytes(folder.File("mpdu_x.mpd"), testing::Stream(lines, 3));
  Fy3InnerSyncStage(host);
  EXPECT_TRUE(host.Logged("File 1  line 00001  found sync 008B7EB8  shift=5  offset=1"));
  EXPECT_TRUE(host.Logged("File 1  line 00002  found sync 008B7EB8  shift=5  offset=26050"));
  EXPECT_EQ(testing::ReadFileBytes(folder.File("FY3x_.fy3")), Concat(lines));
}

TEST(Fy3InnerSyncStage, OptionReadAtEveryLine) {
  // A host that checks the option on after the first line has been written.
  struct Host : testing::RecordingHost {
    void ProcessEvents() override {
      ++events;
      if (chain.ProgressCount >= 1) settings.FY3ASM = true;
    }
  } host;
  testing::TempFolder folder;
  testing::WriteFileBytes(folder.File("mpdu_x.mpd"),
                          testing::Stream(testing::Fy3Lines(3, kFy3L, kSeed)));
  Fy3InnerSyncStage(host);
  EXPECT_FALSE(host.Logged("File 1  line 00001  found sync 00845BF5  shift=0  offset=0"));
  EXPECT_TRUE(host.Logged("File 1  line 00002  found sync 00845BF5  shift=0  offset=26050"));
}

TEST(Mn2InnerSyncStage, AlignsMeteorLinesAndNeverLogsFoundLines) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  host.settings.FY3ASM = true;
  std::mt19937 random(kSeed);
  std::vector<std::vector<uint8_t>> lines;
  for (int i = 0; i < 4; ++i) lines.push_back(testing::Mn2Line(kMn2L, random));
  testing::WriteFileBytes(folder.File("MSU-MR.dmx"), testing::Stream(lines, 6));

  Mn2InnerSyncStage(host);

  EXPECT_EQ(testing::ReadFileBytes(folder.File("MN2_.mnx")), Concat(lines));
  EXPECT_EQ(host.log.front(), "Starting inner Metop MN2 ASM detection...");
  EXPECT_TRUE(host.Logged("ASM detection done!  4 lines found."));
  EXPECT_TRUE(
      host.Logged("File '" + folder.File("MN2_.mnx") + "' Inner ASM aligned, 11850 byte lines "));
  for (const std::string& line : host.log) EXPECT_EQ(line.find("found sync"), std::string::npos);
  EXPECT_EQ(host.progress_maximum, 4);
}

TEST(InnerSyncStage, MissingInputAndUnwritableOutput) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  host.chain.InputFileSize = 77;
  EXPECT_NE(testing::RunEnd(Fy3InnerSyncStage, host), "");
  EXPECT_EQ(host.log, std::vector<std::string>{"Open input file failed!"});
  EXPECT_FALSE(testing::FileExists(folder.File("FY3x_.fy3")));
  EXPECT_EQ(host.chain.InputFileSize, 77);

  host.log.clear();
  testing::WriteFileBytes(folder.File("mpdu_x.mpd"), {1, 2, 3});
  std::filesystem::create_directory(folder.File("FY3x_.fy3"));
  EXPECT_NE(testing::RunEnd(Fy3InnerSyncStage, host), "");
  EXPECT_EQ(host.log, std::vector<std::string>{"Open output file failed!"});
  EXPECT_EQ(host.chain.InputFileSize, 3);
}

TEST(InnerSyncStage, EmptyAndGarbageInputsGiveNoLines) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  testing::WriteFileBytes(folder.File("mpdu_x.mpd"), {});
  Fy3InnerSyncStage(host);
  EXPECT_TRUE(host.Logged("ASM detection done!  0 lines found."));
  EXPECT_TRUE(testing::FileExists(folder.File("FY3x_.fy3")));
  EXPECT_TRUE(testing::ReadFileBytes(folder.File("FY3x_.fy3")).empty());
  EXPECT_EQ(host.progress_maximum, 0);

  // Only the three sync bytes: a match whose line runs past the input.
  host.log.clear();
  testing::WriteFileBytes(folder.File("mpdu_x.mpd"), {0x84, 0x5B, 0xF5});
  Fy3InnerSyncStage(host);
  EXPECT_TRUE(host.Logged("ASM detection done!  0 lines found."));
  EXPECT_TRUE(testing::ReadFileBytes(folder.File("FY3x_.fy3")).empty());
}

}  // namespace
}  // namespace vantrel
