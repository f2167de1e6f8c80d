#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "ccsds/source_packet_builder.h"
#include "core/basic_host.h"
#include "core/file_io.h"
#include "core/folder_lock.h"
#include "core/log_format.h"
#include "core/output_name.h"
#include "core/run_session.h"
#include "core/stage_error.h"
#include "core/working_file.h"
#include "rs/reed_solomon_codec.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

// A stage reaches the run's session through its host; outside a run there is none, and saying
// so ends the run instead of reaching some other run's codec or builder.
TEST(RunSession, AttachedForTheRunOnlyAndNeverCopied) {
  struct BareHost : BasicHost {
    void AppendLog(const std::string&) override {}
  } host;
  EXPECT_THROW(host.Session(), StageError);
  RunSession* none = nullptr;
  ReedSolomonCodec codec;
  SourcePacketBuilder packets;
  RunSession run{host.chain, host.settings, host.input_path, codec, packets};
  RunSession* session = &run;
  EXPECT_EQ(host.AttachSession(session), none);
  EXPECT_EQ(&host.Session(), session);
  // A copy of the host does not share the session; an assignment keeps the host's own.
  BareHost copy = host;
  EXPECT_THROW(copy.Session(), StageError);
  host = copy;
  EXPECT_EQ(&host.Session(), session);
  EXPECT_EQ(host.AttachSession(nullptr), session);
  EXPECT_THROW(host.Session(), StageError);
}

TEST(OutputBaseName, CutsTheSecondsAndTheExtension) {
  EXPECT_EQ(OutputBaseName("D:/RAW/MetopB_20181231_101530.bin", "MetopB_", false),
            "MetopB_20181231_1015");
  EXPECT_EQ(OutputBaseName("D:/RAW/MetopA_20181231_101530.bin", "MetopA_", true), "20181231_1015");
  EXPECT_EQ(OutputBaseName("/data/FY3A_2010-05-12_052330.bin", "FY3A_", false),
            "FY3A_2010-05-12_0523");
  EXPECT_EQ(OutputBaseName("/x/MN2_20181231_101530.bin", "MN2_", true), "20181231_1015");
}

TEST(OutputBaseName, NamesARecordingStillWrittenAsItsFinalName) {
  for (const char* path :
       {"/in/MetopB_20181231_101530.bin.part", "/in/MetopB_20181231_101530.wav.part",
        "MetopB_20181231_101530.soft.part", "MetopB_20181231_101530.CS16.part"}) {
    EXPECT_EQ(OutputBaseName(path, "MetopB_", false), "MetopB_20181231_1015") << path;
  }
  EXPECT_EQ(OutputBaseName("/r/MetopA_pass.part", "MetopA_", true), "pass");
  EXPECT_EQ(OutputBaseName("/r/MetopA_pass.part.x", "MetopA_", true), "pass.part.x");
}

TEST(OutputBaseName, FirstOccurrencesAndOddNames) {
  // Without ".bin" nothing is cut after the marker.
  EXPECT_EQ(OutputBaseName("/r/MetopA_pass", "MetopA_", true), "pass");
  // The marker in the file's own name decides, before one in a folder name; what is left of the
  // folders cannot lead out of the working folder.
  EXPECT_EQ(OutputBaseName("/MN2_a/MN2_b.bin", "MN2_", true), "b.bin");
  EXPECT_EQ(OutputBaseName("/MetopB_st/MetopB_20200101_010000.bin", "MetopB_", false),
            "MetopB_20200101_0100");
  EXPECT_EQ(OutputBaseName("/x/MetopA_/../../etc/pass.bin", "MetopA_", true), "_.._.._etc_pa");
  // Text after ".bin" goes too while it is short enough (at most p - 3 characters).
  EXPECT_EQ(OutputBaseName("MetopB_1234.bin.x", "MetopB_", false), "MetopB_12");
  // ".bin" at position 1 or 2 cuts nothing; a name left hidden gets its marker back.
  EXPECT_EQ(OutputBaseName("MetopA_.bin", "MetopA_", true), "MetopA_.bin");
  EXPECT_EQ(OutputBaseName("/r/MN2_.pass_20181231_101530.bin", "MN2_", true),
            "MN2_.pass_20181231_1015");
  EXPECT_EQ(OutputBaseName("MetopA_x.bin", "MetopA_", true), "x.bin");
  // ".bin" at position 3 cuts the two characters before it; a name left empty gets its marker.
  EXPECT_EQ(OutputBaseName("MetopA_ab.bin", "MetopA_", true), "MetopA_");
  EXPECT_EQ(OutputBaseName("MN2_ab.bin", "MN2_", true), "MN2_");
}

TEST(ParseSettingInteger, AcceptsWholeNumbersOnly) {
  EXPECT_EQ(ParseSettingInteger("VCID_Metop", "9"), 9);
  EXPECT_EQ(ParseSettingInteger("VCID_Metop", " 63 "), 63);
  EXPECT_EQ(ParseSettingInteger("MaxPkLen", "-5"), -5);
  EXPECT_EQ(ParseSettingInteger("MaxPkLen", "+12966"), 12966);
  for (const char* bad : {"", " ", "9a", "x", "1 2", "99999999999", "0x10", "-"}) {
    try {
      ParseSettingInteger("MaxPkLen", bad);
      ADD_FAILURE() << "accepted '" << bad << "'";
    } catch (const StageError& error) {
      EXPECT_EQ(std::string(error.what()),
                std::string("MaxPkLen: '") + bad + "' is not a valid integer value");
    }
  }
}

// A whole-number setting holds the number its text says, or keeps a text that says none for the
// stage that reads it to name; a number given later replaces either.
TEST(IntegerSetting, TextIsReadOnceAndABadOneNamedWhereItIsUsed) {
  Settings settings;
  EXPECT_EQ(settings.VCID_Metop.Value(), 9);
  EXPECT_EQ(settings.MPDU_header.Value(), 4);
  EXPECT_EQ(settings.MaxPkLen.Value(), 12966);

  settings.VCID_Metop = " +10 ";
  EXPECT_TRUE(settings.VCID_Metop.Valid());
  EXPECT_EQ(settings.VCID_Metop.Value(), 10);
  settings.VCID_Metop = "9x";
  EXPECT_FALSE(settings.VCID_Metop.Valid());
  try {
    settings.VCID_Metop.Value();
    ADD_FAILURE() << "no error for '9x'";
  } catch (const StageError& error) {
    EXPECT_EQ(std::string(error.what()), "VCID_Metop: '9x' is not a valid integer value");
  }
  // A copy keeps the text, as the settings handed to a stage do.
  const Settings copy = settings;
  EXPECT_THROW(copy.VCID_Metop.Value(), StageError);
  settings.VCID_Metop = 12;
  EXPECT_EQ(settings.VCID_Metop.Value(), 12);

  // The packet settings are checked against their ranges where the packet stages read them.
  settings.MPDU_header = "3";
  EXPECT_THROW(MpduHeaderLength(settings), StageError);
  settings.MPDU_header = 2;
  EXPECT_EQ(MpduHeaderLength(settings), 2);
  for (int length : {6, 13000}) {
    settings.MaxPkLen = length;
    try {
      MaxPacketLength(settings);
      ADD_FAILURE() << "accepted " << length;
    } catch (const StageError& error) {
      EXPECT_EQ(std::string(error.what()),
                "MaxPkLen: " + std::to_string(length) + " is outside the packet lengths 7..12999");
    }
  }
  settings.MaxPkLen = "12999";
  EXPECT_EQ(MaxPacketLength(settings), 12999);
}

TEST(LogFormat, PrintfStyleLinesAndSummary) {
  testing::RecordingHost host;
  LogLine(host, "Line %04d  %s %08X", 7, "x", 0x845BF5u);
  std::string hex = "Line ";
  const uint8_t bytes[] = {0x00, 0xAB, 0x1F};
  AppendHexBytes(hex, bytes, 3);
  host.AppendLog(hex);
  LogSummary(host, "done", "file", 3);
  const std::vector<std::string> expected = {
      "Line 0007  x 00845BF5", "Line 00 AB 1F ", "done", "", "file", "", "***", ""};
  EXPECT_EQ(host.log, expected);
  EXPECT_EQ(Format("%s", std::string(600, 'a').c_str()).size(), 600u);
}

TEST(FileIo, RecordsAreWholeOrReportedShort) {
  testing::TempFolder folder;
  const std::string path = WorkingPath("data.bin");
  EXPECT_EQ(path, folder.File("data.bin"));
  testing::WriteFileBytes(path, std::vector<uint8_t>(2500, 0x5A));

  InputFile in;
  ASSERT_TRUE(in.Open(path));
  EXPECT_EQ(in.Size(), 2500);
  uint8_t record[1000];
  EXPECT_TRUE(in.ReadRecord(record, sizeof record));
  EXPECT_TRUE(in.ReadRecord(record, sizeof record));
  EXPECT_FALSE(in.AtEnd());
  EXPECT_FALSE(in.ReadRecord(record, sizeof record));  // 500-byte tail
  EXPECT_TRUE(in.AtEnd());
  EXPECT_FALSE(in.Failed());

  InputFile missing;
  EXPECT_FALSE(missing.Open(WorkingPath("absent.bin")));
  EXPECT_EQ(missing.Read(record, 10), 0u);
  EXPECT_TRUE(missing.AtEnd());
}

TEST(FileIo, WriteFailuresAreRemembered) {
  testing::TempFolder folder;
  OutputFile full;
  ASSERT_TRUE(full.Create(WorkingPath("full.bin")));
  std::vector<uint8_t> block(1 << 20, 1);
  {
    testing::FileSizeLimit disk_full(4096);
    full.Write(block.data(), block.size());
    EXPECT_FALSE(full.Close());
  }
  EXPECT_FALSE(full.Ok());
  // The system's reason is kept for the message ("No space left on device" on a full disk).
  EXPECT_EQ(full.Error(), std::strerror(EFBIG));

  OutputFile nowhere;
  EXPECT_FALSE(nowhere.Create("/nonexistent-folder/x.bin"));
  EXPECT_FALSE(nowhere.Write(block.data(), 1));
}

// A product streamed to the disk while it is written: odd-sized records across several of the
// 8 MiB blocks whose pages are handed back arrive whole and in order, and a write that fails
// midway (a full disk) is still reported.
TEST(FileIo, StreamedOutputKeepsEveryByteAndItsFailures) {
  testing::TempFolder folder;
  constexpr size_t kRecord = 13863;
  constexpr size_t kRecords = 2000;  // about 26 MiB
  auto record_byte = [](size_t record, size_t i) {
    return static_cast<uint8_t>(record * 7 + i * 13 + (i >> 8));
  };
  std::vector<uint8_t> record(kRecord);
  OutputFile output;
  ASSERT_TRUE(output.Create(WorkingPath("product.tmp")));
  output.StreamToDisk();
  for (size_t n = 0; n < kRecords; ++n) {
    for (size_t i = 0; i < kRecord; ++i) record[i] = record_byte(n, i);
    ASSERT_TRUE(output.Write(record.data(), record.size())) << n;
  }
  ASSERT_TRUE(output.Close());
  const std::vector<uint8_t> written = testing::ReadFileBytes("product.tmp");
  ASSERT_EQ(written.size(), kRecord * kRecords);
  for (size_t n = 0; n < kRecords; ++n) {
    for (size_t i = 0; i < kRecord; ++i) {
      if (written[n * kRecord + i] != record_byte(n, i))
        FAIL() << "record " << n << " byte " << i << " differs";
    }
  }

  OutputFile full;
  ASSERT_TRUE(full.Create(WorkingPath("full.tmp")));
  full.StreamToDisk();
  {
    testing::FileSizeLimit disk_full(size_t{12} << 20);
    bool failed = false;
    for (size_t n = 0; n < kRecords && !failed; ++n) failed = !full.Write(record.data(), kRecord);
    EXPECT_TRUE(failed);
    EXPECT_FALSE(full.Close());
  }
  EXPECT_FALSE(full.Ok());
}

// A working file is made new: a hard link to another file under its name keeps that file's data,
// and a link or folder there makes the creation fail without touching what it names.
TEST(FileIo, OutputsAreMadeNewAndNeverWrittenThroughLinks) {
  testing::TempFolder folder;
  testing::WriteFileBytes("victim", {1, 2, 3});
  std::filesystem::create_hard_link("victim", "cadu.pds");
  OutputFile output;
  ASSERT_TRUE(output.Create(WorkingPath("cadu.pds")));
  output.Write("new", 3);
  ASSERT_TRUE(output.Close());
  EXPECT_EQ(testing::ReadFileBytes("victim"), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(testing::ReadFileBytes("cadu.pds"), (std::vector<uint8_t>{'n', 'e', 'w'}));

  std::filesystem::create_symlink(folder.File("victim"), "cvcdu.rs");
  std::filesystem::create_directory("APID.pkt");
  for (const char* name : {"cvcdu.rs", "APID.pkt"}) {
    OutputFile refused;
    EXPECT_FALSE(refused.Create(WorkingPath(name))) << name;
    EXPECT_EQ(refused.Error().rfind("it is a ", 0), 0u) << refused.Error();
  }
  EXPECT_EQ(testing::ReadFileBytes("victim"), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_TRUE(std::filesystem::is_symlink("cvcdu.rs"));
}

TEST(WorkingFolderLock, OneHolderPerFolder) {
  testing::TempFolder folder;
  testing::TempFolder other;
  WorkingFolderLock first;
  ASSERT_EQ(first.Take(folder.path()), WorkingFolderLock::Result::Taken);
  {
    WorkingFolderLock second;
    EXPECT_EQ(second.Take(folder.path()), WorkingFolderLock::Result::Busy);
    WorkingFolderLock elsewhere;
    EXPECT_EQ(elsewhere.Take(other.path()), WorkingFolderLock::Result::Taken);
  }
  WorkingFolderLock nowhere;
  EXPECT_EQ(nowhere.Take(folder.File("missing-folder")), WorkingFolderLock::Result::Failed);
  EXPECT_EQ(nowhere.Error(), "No such file or directory");
}

}  // namespace
}  // namespace vantrel
