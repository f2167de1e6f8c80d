// The satellite table, row by row: each satellite's downlink (modulation, rate, coding, the texts
// its stages log), its chain and writer, the channel VCDU selection takes for it, and its
// product's name for a recording as a station names it. The expected values are written out here
// from the downlinks' documented figures and the naming rule, not taken from the table.
#include <gtest/gtest.h>

#include <iterator>
#include <ostream>
#include <stdexcept>
#include <string>

#include "app/driver.h"
#include "ccsds/vcdu_selection_stage.h"
#include "core/output_name.h"
#include "core/satellite.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

struct Row {
  const char* option;
  ChainKind chain;
  ProductWriter writer;
  const char* final_step;  // the chain's last step, which writes the product
  Modulation modulation;
  double symbol_rate;
  SoftDecoding decoding;
  bool randomised_and_rs;  // CCSDS randomisation and Reed-Solomon on the frames
  const char* signal;      // the demodulation stage's name for the signal
  const char* soft_start;  // the soft-symbol stage's first line
  // With VCID_Metop "7" and the FY-3 channel 3: the channel VCDU selection keeps (-1: none).
  int channel;
  const char* recording;  // a recording as a station names it
  const char* product;    // the name of its product
};

constexpr const char* kMetopSoft = "Starting soft symbol decoding (MetOp QPSK, Viterbi)...";
constexpr const char* kFy3Soft = "Starting soft symbol decoding (FY-3 QPSK, two Viterbi rails)...";
constexpr const char* kMeteorSoft = "Starting soft symbol reading (Meteor-M N2 BPSK)...";
// MetOp: 3.5 Mbit/s, rate-3/4 coded, two coded bits a QPSK symbol.
constexpr double kMetopRate = 3.5e6 / 0.75 / 2;

const Row kRows[] = {
    {"metop-a", ChainKind::MetOp, ProductWriter::kHpt, "HPT writer", Modulation::kQpsk, kMetopRate,
     SoftDecoding::kPuncturedViterbi, true, "MetOp QPSK", kMetopSoft, 7,
     "/raw/MetopA_20181231_101530.bin", "20181231_1015_M02.hpt"},
    {"metop-b", ChainKind::MetOp, ProductWriter::kHpt, "HPT writer", Modulation::kQpsk, kMetopRate,
     SoftDecoding::kPuncturedViterbi, true, "MetOp QPSK", kMetopSoft, 7,
     "/raw/MetopB_20181231_101530.bin", "MetopB_20181231_1015_M03.hpt"},
    {"metop-c", ChainKind::MetOp, ProductWriter::kHpt, "HPT writer", Modulation::kQpsk, kMetopRate,
     SoftDecoding::kPuncturedViterbi, true, "MetOp QPSK", kMetopSoft, 7,
     "/raw/MetopC_20200101_000000.bin", "MetopC_20200101_0000_M04.hpt"},
    {"fy3a", ChainKind::Fy3, ProductWriter::kC10, "C10 writer", Modulation::kQpsk, 2.8e6,
     SoftDecoding::kTwoRailViterbi, true, "FY-3 QPSK", kFy3Soft, 3,
     "/raw/FY3A_2010-05-12_052330.bin", "FY3A_2010-05-12_0523.C10"},
    {"fy3b", ChainKind::Fy3, ProductWriter::kC10, "C10 writer", Modulation::kQpsk, 2.8e6,
     SoftDecoding::kTwoRailViterbi, true, "FY-3 QPSK", kFy3Soft, 3,
     "/raw/FY3B_2010-05-12_052330.bin", "FY3B_2010-05-12_0523.C10"},
    {"fy3c", ChainKind::Fy3, ProductWriter::kC10, "C10 writer", Modulation::kQpsk, 2.6e6,
     SoftDecoding::kTwoRailViterbi, true, "FY-3 QPSK", kFy3Soft, 3,
     "/raw/FY3C_2020-01-01_000000.bin", "FY3C_2020-01-01_0000.C10"},
    {"meteor-m2", ChainKind::Mn2, ProductWriter::kDat, "DAT writer", Modulation::kPhaseManchester,
     665.4e3, SoftDecoding::kSigns, false, "Meteor-M N2 PM", kMeteorSoft, -1,
     "/raw/MN2_20181231_101530.bin", "20181231_1015_MN2.dat"},
    {"meteor-m2-2", ChainKind::Mn2, ProductWriter::kDat, "DAT writer", Modulation::kPhaseManchester,
     665.4e3, SoftDecoding::kSigns, false, "Meteor-M N2 PM", kMeteorSoft, -1,
     "/raw/MN22_20261209_101530.bin", "20261209_1015_MN22.dat"},
    {"meteor-m2-3", ChainKind::Mn2, ProductWriter::kDat, "DAT writer", Modulation::kPhaseManchester,
     665.4e3, SoftDecoding::kSigns, false, "Meteor-M N2 PM", kMeteorSoft, -1,
     "/raw/MN23_20261209_101530.bin", "20261209_1015_MN23.dat"},
    {"meteor-m2-4", ChainKind::Mn2, ProductWriter::kDat, "DAT writer", Modulation::kPhaseManchester,
     665.4e3, SoftDecoding::kSigns, false, "Meteor-M N2 PM", kMeteorSoft, -1,
     "/raw/MN24_20261209_101530.bin", "20261209_1015_MN24.dat"},
};

// A failing row is named by its satellite.
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.option;
}

class SatelliteRow : public ::testing::TestWithParam<Row> {
 protected:
  const Satellite& TheSatellite() const {
    const Satellite* satellite = SatelliteByOption(GetParam().option);
    if (satellite == nullptr) throw std::invalid_argument(GetParam().option);
    return *satellite;
  }
};

TEST_P(SatelliteRow, DownlinkChainAndWriter) {
  const Row& row = GetParam();
  const Satellite& satellite = TheSatellite();
  ASSERT_NE(satellite.downlink, nullptr);
  const Downlink& downlink = *satellite.downlink;
  EXPECT_EQ(downlink.modulation, row.modulation);
  EXPECT_GT(downlink.symbol_rate, 0);
  EXPECT_DOUBLE_EQ(downlink.symbol_rate, row.symbol_rate);
  EXPECT_EQ(downlink.decoding, row.decoding);
  EXPECT_EQ(downlink.randomised, row.randomised_and_rs);
  EXPECT_EQ(downlink.reed_solomon, row.randomised_and_rs);
  EXPECT_EQ(downlink.frame_bytes, 1024);
  EXPECT_STREQ(downlink.signal, row.signal);
  EXPECT_STREQ(downlink.soft_start, row.soft_start);
  EXPECT_NE(std::string(downlink.instrument), "");

  // The chain the row names is the one its marker and its family run, and that chain ends in the
  // row's writer.
  EXPECT_EQ(downlink.chain, row.chain);
  EXPECT_EQ(ChainOf(satellite.family), row.chain);
  const std::string recording = row.recording;
  ASSERT_NE(FindMarker(recording), nullptr);
  EXPECT_EQ(FindMarker(recording)->satellite, &satellite);
  EXPECT_EQ(FindMarker(recording)->chain, row.chain);
  EXPECT_EQ(downlink.writer, row.writer);
  EXPECT_STREQ(Chain(row.chain).steps.back().name(), row.final_step);
}

TEST_P(SatelliteRow, ChannelSelected) {
  testing::RecordingHost host;
  host.SetSatellite(GetParam().option);
  host.settings.VCID_Metop = "7";
  host.settings.Fy3Vcid = 3;
  EXPECT_EQ(SelectedVirtualChannel(host), GetParam().channel);
}

TEST_P(SatelliteRow, ProductNameOfARecording) {
  const Row& row = GetParam();
  testing::TempFolder folder;
  const std::string recording = row.recording;
  EXPECT_EQ(ProductName(recording, TheSatellite()), row.product);
  EXPECT_EQ(ProductPathFor(recording), folder.File(row.product));
  // A soft-symbol or baseband recording of the pass gives the same product.
  const std::string base = recording.substr(0, recording.size() - 4);
  EXPECT_EQ(ProductPathFor(base + ".soft"), folder.File(row.product));
  EXPECT_EQ(ProductPathFor(base + ".cs16"), folder.File(row.product));
}

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
  std::string name = info.param.option;
  for (char& c : name)
    if (c == '-') c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(EverySatellite, SatelliteRow, ::testing::ValuesIn(kRows), RowName);

// The rows above are the whole table, in its order.
TEST(SatelliteTable, EverySatelliteHasARow) {
  ASSERT_EQ(Satellites().size(), std::size(kRows));
  for (size_t i = 0; i < std::size(kRows); ++i)
    EXPECT_STREQ(Satellites()[i].option, kRows[i].option);
}

}  // namespace
}  // namespace vantrel
