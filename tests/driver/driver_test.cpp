#include <gtest/gtest.h>

#include <string>

#include "app/driver.h"
#include "core/working_file.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

TEST(Driver, MarkersAreTestedInOrderAnywhereInThePath) {
  ASSERT_NE(FindMarker("D:/RAW/MN2_MetopA_1.bin"), nullptr);
  EXPECT_STREQ(FindMarker("D:/RAW/MN2_MetopA_1.bin")->marker, "MetopA_");
  EXPECT_STREQ(FindMarker("D:/FY3B_pass/MetopC_1.bin")->marker, "MetopC_");
  EXPECT_STREQ(FindMarker("/x/FY3C_2020-01-01_000000.bin")->marker, "FY3C_");
  EXPECT_STREQ(FindMarker("/x/MN2_1.bin")->marker, "MN2_");
  EXPECT_EQ(FindMarker("D:/RAW/metopa_1.bin"), nullptr);
  EXPECT_EQ(FindMarker("fy3a_.bin"), nullptr);
  // The file's own name first, then the folders.
  EXPECT_STREQ(FindMarker("/MetopB_station/MetopC_20200101_010000.bin")->marker, "MetopC_");
  EXPECT_STREQ(FindMarker("/MN2_x/FY3A_2010-05-12_052330.bin")->marker, "FY3A_");
  EXPECT_STREQ(FindMarker("/FY3B_archive/pass.bin")->marker, "FY3B_");
}

// Every stage of every chain: with nothing in the working folder its input cannot be opened, and
// it ends the run with "Open input file failed!" and one line naming the path and the reason.
TEST(Driver, EveryStageEndsTheRunWhenItsInputIsMissing) {
  for (ChainKind kind : {ChainKind::MetOp, ChainKind::Fy3, ChainKind::Mn2}) {
    for (const ChainStep& step : Chain(kind).steps) {
      SCOPED_TRACE(step.name);
      testing::TempFolder folder;
      testing::RecordingHost host;
      host.input_path = folder.File("MetopB_FY3A_2010-05-12_052330.bin");
      host.chain.MetopSatelliteB = true;
      const std::string reason = testing::RunEnd(step.run, host);
      EXPECT_EQ(reason.rfind("Cannot open '" + folder.path() + "/", 0), 0u) << reason;
      EXPECT_NE(reason.find("(No such file or directory): the run ends here."), std::string::npos)
          << reason;
      EXPECT_EQ(host.log, std::vector<std::string>{"Open input file failed!"});
    }
  }
}

TEST(Driver, UnknownNameLogsOneLineAndRunsNothing) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  host.input_path = folder.File("metopa_1.bin");
  host.chain.BatchMode = true;
  const RunOutcome outcome = ASMButtonClick(host);
  EXPECT_FALSE(outcome.recognised);
  EXPECT_FALSE(outcome.close_program);
  EXPECT_EQ(host.log, std::vector<std::string>{"This is not Metopx_ or FY3x_ or MN2_ files !"});
  EXPECT_TRUE(host.process_enabled);
}

TEST(Driver, SetsTheChainFlags) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  host.input_path = folder.File("MetopC_x.bin");
  ASMButtonClick(host);
  EXPECT_TRUE(host.chain.MetopMode);
  EXPECT_FALSE(host.chain.MetopSatelliteA);
  EXPECT_FALSE(host.chain.MetopSatelliteB);
  EXPECT_TRUE(host.chain.MetopSatelliteC);

  host.input_path = folder.File("FY3B_2010-05-12_000000.bin");
  ASMButtonClick(host);
  EXPECT_FALSE(host.chain.MetopMode);
  EXPECT_EQ(host.chain.Fy3Satellite, 1);
  EXPECT_TRUE(host.chain.MetopSatelliteC);  // other chains leave the MetOp flags alone
}

TEST(Driver, MeteorChainUnchecksDerandomisationAndReedSolomonForGood) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  host.settings.PNdecoding = true;
  host.settings.RSolomon = true;
  host.input_path = folder.File("MN2_1.bin");
  ASMButtonClick(host);
  EXPECT_FALSE(host.settings.PNdecoding);
  EXPECT_FALSE(host.settings.RSolomon);
  EXPECT_FALSE(host.chain.Mn2Mode);
  EXPECT_FALSE(host.chain.ManchesterDone);
  host.input_path = folder.File("MetopB_1.bin");
  ASMButtonClick(host);
  EXPECT_FALSE(host.settings.RSolomon);
}

TEST(Driver, StaleWorkingFilesGoFirstAndAFailedOpenEndsTheRun) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  host.input_path = folder.File("MN2_1.bin");
  // Working files of an earlier run, a product left half-written by a killed one.
  testing::WriteFileBytes(WorkingPath("cvcdu.man"), {1, 2, 3});
  testing::WriteFileBytes(WorkingPath("MSU-MR.dmx"), {1});
  testing::WriteFileBytes(WorkingPath("cadu.pds"), std::vector<uint8_t>(1020, 0));
  testing::WriteFileBytes(WorkingPath(".vantrel-product.tmp"), {1});
  const RunOutcome outcome = ASMButtonClick(host);
  for (const char* name : {"cvcdu.man", "MSU-MR.dmx", "cadu.pds", ".vantrel-product.tmp"})
    EXPECT_FALSE(testing::FileExists(WorkingPath(name))) << name;
  // The missing recording ends the run at the first stage: no later stage, no deletion step;
  // the pass report tells what little there was.
  const std::vector<std::string> expected = {
      "Removed 4 working files left by an earlier run.",
      "Open input file failed!",
      "",
      "Pass report:",
      "  Input bytes 0, CADUs found 0, sync losses 0",
      "  R-S corrected 0 symbols in 0 frames, uncorrectable frames 0",
      "  Frames missing 0, lines dropped 0, lines zero-filled 0",
      "  Product lines 0",
      "Cannot open '" + host.input_path + "' (No such file or directory): the run ends here."};
  EXPECT_EQ(host.log, expected);
  EXPECT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.error, expected.back());
  EXPECT_TRUE(outcome.product.empty());
  EXPECT_TRUE(host.process_enabled);
}

TEST(Driver, BatchModeDoesNotCloseOnALineCountOfAnEarlierRun) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  host.input_path = folder.File("MetopB_missing.bin");
  host.chain.BatchMode = true;
  host.chain.LastLineCount = 3;  // from an earlier run: every run starts from 0
  EXPECT_FALSE(ASMButtonClick(host).close_program);
  EXPECT_EQ(host.chain.LastLineCount, 0);
}

}  // namespace
}  // namespace vantrel
