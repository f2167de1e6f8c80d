#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/driver.h"
#include "core/stage_error.h"
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
  // The Meteor-M markers: "MN2_" is not part of "MN23_".
  EXPECT_STREQ(FindMarker("/x/MN23_20261209_101530.bin")->marker, "MN23_");
  EXPECT_EQ(FindMarker("/x/MN23_1.bin")->satellite, SatelliteByOption("meteor-m2-3"));
  EXPECT_STREQ(FindMarker("/x/MN22_1.bin")->marker, "MN22_");
  EXPECT_STREQ(FindMarker("/x/MN24_1.bin")->marker, "MN24_");
  EXPECT_EQ(FindMarker("/x/MN24_1.bin")->chain, ChainKind::Mn2);
}

TEST(Driver, ProductNamesOfTheMeteorMarkersAndOfNamesMadeFromTheData) {
  testing::TempFolder folder;
  EXPECT_EQ(ProductPathFor("/raw/MN23_20261209_101530.bin"), folder.File("20261209_1015_MN23.dat"));
  EXPECT_EQ(ProductPathFor("/raw/MN22_20261209_101530.bin"), folder.File("20261209_1015_MN22.dat"));
  EXPECT_EQ(ProductPathFor("/raw/MN24_20261209_101530.bin"), folder.File("20261209_1015_MN24.dat"));
  EXPECT_EQ(ProductPathFor("/raw/MN2_20181231_101530.bin"), folder.File("20181231_1015_MN2.dat"));

  const Satellite& metop_b = *SatelliteByOption("metop-b");
  const Satellite& fy3c = *SatelliteByOption("fy3c");
  // 9 December 2026 is day 9839 since 2000; 10:15:30.250.
  EXPECT_EQ(NamingPathFromTime(metop_b, 9839, 36930250), "MetopB_20261209_101530.bin");
  EXPECT_EQ(NamingPathFromTime(fy3c, 9839, 36930250), "FY3C_2026-12-09_101530.bin");
  EXPECT_EQ(NamingPathFromTime(*SatelliteByOption("meteor-m2-4"), 0, 0),
            "MN24_20000101_000000.bin");
  EXPECT_EQ(ProductPathFor(NamingPathFromTime(metop_b, 9839, 36930250)),
            folder.File("MetopB_20261209_1015_M03.hpt"));
  // The marker in the file's own name is replaced, folders kept.
  EXPECT_EQ(NamingPathWithMarker("/MetopB_x/MetopB_20261209_101530.bin", fy3c),
            "/MetopB_x/FY3C_20261209_101530.bin");
  EXPECT_EQ(NamingPathWithMarker("/raw/pass.bin", fy3c), "/raw/pass.bin");
}

TEST(Driver, SatelliteTableAndTheIdsInTheData) {
  ASSERT_EQ(Satellites().size(), 10u);
  for (const Satellite& satellite : Satellites()) {
    SCOPED_TRACE(satellite.option);
    EXPECT_EQ(SatelliteByOption(satellite.option), &satellite);
    EXPECT_EQ(satellite.family == SatelliteFamily::Meteor
                  ? MeteorByMsuMrId(satellite.data_id)
                  : SatelliteBySpacecraftId(satellite.data_id),
              &satellite);
    EXPECT_EQ(FindMarker(std::string("/raw/") + satellite.marker + "1.bin")->satellite, &satellite);
  }
  EXPECT_EQ(SatelliteByOption("auto"), nullptr);
  EXPECT_EQ(SatelliteBySpacecraftId(0), nullptr);
  EXPECT_EQ(MeteorByMsuMrId(1), nullptr);
  // Version 01, spacecraft id 13 = 0b00001101 across bytes 0-1, channel 9.
  const unsigned char metop_c[] = {0x40 | (13 >> 2), ((13 & 3) << 6) | 9};
  EXPECT_EQ(VcduSpacecraftId(metop_c), 13);
  const unsigned char fy3b[] = {0x40 | (50 >> 2), ((50 & 3) << 6) | 5};
  EXPECT_EQ(VcduSpacecraftId(fy3b), 50);
  const unsigned char scrambled[] = {static_cast<unsigned char>(~metop_c[0]), metop_c[1]};
  EXPECT_EQ(VcduSpacecraftId(scrambled), -1);  // not an AOS frame
  unsigned char line[16] = {0x02, 0x18, 0xA7, 0xA3};
  line[12] = 0x3C;
  EXPECT_EQ(MsuMrId(line), 3);
}

TEST(Driver, UnknownSatelliteChoiceEndsTheRunWithoutAStage) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  host.input_path = folder.File("pass.bin");
  host.settings.Satellite = "metop-d";
  const RunOutcome outcome = ProcessRecording(host);
  EXPECT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.error.rfind("Unknown satellite 'metop-d'", 0), 0u) << outcome.error;
  EXPECT_FALSE(testing::FileExists(WorkingPath("cadu.pds")));
  EXPECT_TRUE(host.process_enabled);
}

TEST(Driver, UnknownNameLogsOneLineAndRunsNothing) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  host.input_path = folder.File("metopa_1.bin");
  host.chain.BatchMode = true;
  const RunOutcome outcome = ProcessRecording(host);
  EXPECT_FALSE(outcome.recognised);
  EXPECT_FALSE(outcome.close_program);
  // The window's own line, and the way to go on.
  EXPECT_EQ(host.log,
            (std::vector<std::string>{"This is not Metopx_ or FY3x_ or MN2_ files !",
                                      "A recording named without a satellite marker: choose "
                                      "\"Satellite: auto (data)\" to find the satellite in its "
                                      "data, or name the satellite"}));
  EXPECT_TRUE(host.process_enabled);
}

TEST(Driver, EveryStageOfARunSeesTheRunsSatellite) {
  struct SatelliteHost : testing::RecordingHost {
    std::vector<std::string> seen;  // "stage: satellite" for every stage started
    void StageStarting(std::string_view name) override {
      seen.push_back(std::string(name) + ": " + RunSatellite().title);
    }
  };
  testing::TempFolder folder;
  SatelliteHost host;
  // No recording: the first stage starts and ends the run.
  host.input_path = folder.File("MetopC_x.bin");
  ProcessRecording(host);
  host.input_path = folder.File("FY3B_2010-05-12_000000.bin");
  ProcessRecording(host);
  // The satellite chosen overrides the marker.
  host.settings.Satellite = "meteor-m2-4";
  ProcessRecording(host);
  const std::vector<std::string> expected = {"CADU extraction: MetOp-C", "CADU extraction: FY-3B",
                                             "CADU extraction: Meteor-M N2-4"};
  EXPECT_EQ(host.seen, expected);
  // The run's satellite went with the run's session: the host's own session names none.
  EXPECT_THROW(host.RunSatellite(), StageError);
}

TEST(Driver, MeteorChainUnchecksDerandomisationAndReedSolomonForGood) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  host.settings.PNdecoding = true;
  host.settings.RSolomon = true;
  host.input_path = folder.File("MN2_1.bin");
  ProcessRecording(host);
  EXPECT_FALSE(host.settings.PNdecoding);
  EXPECT_FALSE(host.settings.RSolomon);
  EXPECT_FALSE(host.chain.ManchesterDone);
  host.input_path = folder.File("MetopB_1.bin");
  ProcessRecording(host);
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
  const RunOutcome outcome = ProcessRecording(host);
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

// The driver measures the recording before the first step: the pass's input bytes are the
// recording's even where the CADU stage reads the Manchester decoder's half-size output; the
// next run measures its own recording (none here).
TEST(Driver, MeasuresTheRecordingForTheRun) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  host.input_path = folder.File("MN2_20181231_101530.bin");
  testing::WriteFileBytes(host.input_path, std::vector<uint8_t>(6000, 0x5A));
  host.settings.Manchester_box = true;
  host.settings.DFiles = false;
  ProcessRecording(host);
  EXPECT_EQ(testing::ReadFileBytes(WorkingPath("cvcdu.man")).size(), 3000u);
  EXPECT_TRUE(host.Logged("  Input bytes 6000, CADUs found 0, sync losses 0")) << host.log.size();
  EXPECT_EQ(host.chain.RecordingBytes, std::optional<int64_t>(6000));

  host.input_path = folder.File("MN2_missing.bin");
  EXPECT_TRUE(ProcessRecording(host).failed);
  EXPECT_FALSE(host.chain.RecordingBytes.has_value());
  EXPECT_EQ(host.chain.Counts.input_bytes, 0);
}

TEST(Driver, BatchModeDoesNotCloseOnALineCountOfAnEarlierRun) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  host.input_path = folder.File("MetopB_missing.bin");
  host.chain.BatchMode = true;
  host.chain.LastLineCount = 3;  // from an earlier run: every run starts from 0
  EXPECT_FALSE(ProcessRecording(host).close_program);
  EXPECT_EQ(host.chain.LastLineCount, 0);
}

// The recording's kind: the choice when one is made, else the name's extension; the chain's front
// end follows it (baseband: demodulation, then soft-symbol decoding; soft: the decoding only).
TEST(Driver, RecordingKindComesFromTheChoiceOrTheExtension) {
  testing::RecordingHost host;
  const std::pair<const char*, RecordingKind> names[] = {
      {"/d/MetopB_1.bin", RecordingKind::kHardBits},
      {"/d/MetopB_1.raw", RecordingKind::kHardBits},
      {"/d/MetopB_1.soft", RecordingKind::kSoftSymbols},
      {"/d/MN2_1.s", RecordingKind::kSoftSymbols},
      {"/d/MetopB_1.wav", RecordingKind::kBaseband},
      {"/d/FY3A_1.CS16", RecordingKind::kBaseband},
      {"/d/MN2_1.cu8", RecordingKind::kBaseband},
      {"/d/MN2_1.cs8", RecordingKind::kBaseband},
      {"/d/MN2_1.cf32", RecordingKind::kBaseband},
      {"/d.wav/MN2_1.bin", RecordingKind::kHardBits},
  };
  for (const auto& [name, kind] : names) {
    host.input_path = name;
    EXPECT_EQ(RecordingKindOf(host), kind) << name;
  }
  host.input_path = "/d/MetopB_1.bin";
  host.settings.InputKind = "baseband";
  EXPECT_EQ(RecordingKindOf(host), RecordingKind::kBaseband);
  host.settings.InputKind = "iq";
  EXPECT_THROW(RecordingKindOf(host), StageError);

  // The product of a baseband recording is named as from a .bin.
  EXPECT_EQ(ProductPathFor("/d/MetopB_20181231_101530.wav")
                .substr(ProductPathFor("/d/MetopB_20181231_101530.wav").rfind('/') + 1),
            "MetopB_20181231_1015_M03.hpt");

  // Which steps run: the front end of each kind, in the chain's order, each reading what the
  // step before wrote.
  ChainState chain;
  chain.BasebandInput = chain.SoftInput = true;
  std::vector<std::string_view> written;
  for (const ChainStep& step : Chain(ChainKind::MetOp).steps)
    if (step.EnabledIn(chain)) written.push_back(step.writes());
  EXPECT_EQ(written,
            (std::vector<std::string_view>{"demod.soft", "soft.bits", "cadu.pds", "cvcdu.rs",
                                           "vcdu_x.vcd", "mpdu_x.mpd", "APID.pkt", ""}));
  chain.BasebandInput = false;
  chain.ManchesterDone = true;  // a soft Meteor-M run never decodes Manchester: the driver says so
  chain.SoftInput = false;
  written.clear();
  for (const ChainStep& step : Chain(ChainKind::Mn2).steps)
    if (step.EnabledIn(chain)) written.push_back(step.writes());
  EXPECT_EQ(written,
            (std::vector<std::string_view>{"cvcdu.man", "cadu.pds", "MSU-MR.dmx", "MN2_.mnx", ""}));
}

}  // namespace
}  // namespace vantrel
