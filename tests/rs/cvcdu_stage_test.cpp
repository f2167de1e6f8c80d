// The CVCDU stage on cadu.pds files made here: sizes, content, log lines, progress, failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/stage_error.h"
#include "rs/cvcdu_stage.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using testing::FileExists;
using testing::ReadFileBytes;
using testing::RecordingHost;
using testing::TempFolder;
using testing::WriteFileBytes;

constexpr size_t kRecord = 1020;
constexpr size_t kVcdu = 892;

const std::vector<std::string> kCompleteLog = {"CVCDU preparing...", "", "CVCDU ok!", ""};

// `records` records whose bytes tell record and offset apart, then `tail` bytes.
std::vector<uint8_t> CaduFile(size_t records, size_t tail) {
  std::vector<uint8_t> bytes(records * kRecord + tail);
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<uint8_t>((i / kRecord) * 37 + (i % kRecord) * 11 + (i % 7));
  return bytes;
}

TEST(CvcduStage, KeepsTheDataPartOfEveryWholeRecord) {
  testing::TempFolder folder;
  const std::vector<uint8_t> input = CaduFile(2, 500);
  WriteFileBytes(folder.File("cadu.pds"), input);
  RecordingHost host;
  CvcduStage(host);

  EXPECT_EQ(host.log, kCompleteLog);
  const std::vector<uint8_t> output = ReadFileBytes(folder.File("cvcdu.rs"));
  ASSERT_EQ(output.size(), 2 * kVcdu);  // the 500-byte tail is dropped
  for (size_t k = 0; k < 2; ++k)
    for (size_t j = 0; j < kVcdu; ++j)
      ASSERT_EQ(output[k * kVcdu + j], input[k * kRecord + j]) << k << " " << j;
  EXPECT_EQ(host.progress_maximum, 2);
  EXPECT_EQ(host.events, 2);
}

TEST(CvcduStage, FileEndingOnARecordBoundaryLosesNothing) {
  testing::TempFolder folder;
  WriteFileBytes(folder.File("cadu.pds"), CaduFile(5, 0));
  // A longer cvcdu.rs of an earlier run is replaced.
  WriteFileBytes(folder.File("cvcdu.rs"), std::vector<uint8_t>(10 * kVcdu, 0xEE));
  RecordingHost host;
  CvcduStage(host);
  EXPECT_EQ(ReadFileBytes(folder.File("cvcdu.rs")).size(), 5 * kVcdu);
  EXPECT_EQ(host.progress_maximum, 5);
  EXPECT_EQ(host.events, 5);
}

TEST(CvcduStage, EmptyAndShortInputsGiveAnEmptyFile) {
  for (size_t size : {size_t{0}, kRecord - 1}) {
    TempFolder folder;
    WriteFileBytes(folder.File("cadu.pds"), std::vector<uint8_t>(size, 0x55));
    RecordingHost host;
    CvcduStage(host);
    EXPECT_EQ(host.log, kCompleteLog) << size;
    ASSERT_TRUE(FileExists(folder.File("cvcdu.rs")));
    EXPECT_TRUE(ReadFileBytes(folder.File("cvcdu.rs")).empty());
    EXPECT_EQ(host.progress_maximum, 0);
    EXPECT_EQ(host.events, 0);
  }
}

// A link where the working file goes is never written through: the file it names is unchanged.
TEST(CvcduStage, LinkWhereTheOutputGoesIsNotWrittenThrough) {
  testing::TempFolder folder;
  WriteFileBytes(folder.File("cadu.pds"), CaduFile(1, 0));
  WriteFileBytes(folder.File("victim"), {7, 7, 7});
  std::filesystem::create_symlink(folder.File("victim"), folder.File("cvcdu.rs"));
  RecordingHost host;
  EXPECT_NE(RunEnd(CvcduStage, host).find("it is a symbolic link"), std::string::npos);
  EXPECT_EQ(ReadFileBytes(folder.File("victim")), (std::vector<uint8_t>{7, 7, 7}));
}

TEST(CvcduStage, WriteFailureEndsTheRunWithoutTheOkLine) {
  testing::TempFolder folder;
  WriteFileBytes(folder.File("cadu.pds"), CaduFile(3, 0));
  RecordingHost host;
  {
    testing::FileSizeLimit disk_full(1024);
    // The run ends: the stages behind would make a partial product.
    EXPECT_THROW(CvcduStage(host), StageError);
  }
  const std::vector<std::string> expected = {"CVCDU preparing...", "", "Write output file failed!"};
  EXPECT_EQ(host.log, expected);
}

}  // namespace
}  // namespace vantrel
