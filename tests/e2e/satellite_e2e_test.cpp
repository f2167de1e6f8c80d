// Simulated passes of every satellite under any name: the chain chosen by the marker, by
// --satellite or from the data, the satellite the data tell, and the product's name and content
// against what the simulator put in.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "app/driver.h"
#include "core/pass_report.h"
#include "core/working_file.h"
#include "sim/simulator.h"
#include "tests/meteor/dat_expected.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

constexpr uint64_t kSeed = 20261209;
constexpr int kUnits = 8;  // packets or lines per pass
constexpr size_t kHptRecord = 13864;
constexpr size_t kC10Record = 27728;

// A simulated pass of one satellite: the recording and the truth its product must hold.
struct Pass {
  std::vector<uint8_t> recording;
  std::vector<std::vector<uint8_t>> units;     // MetOp packets, FY-3 lines
  std::vector<std::vector<uint16_t>> samples;  // Meteor-M samples per line
};

Pass Simulate(const Satellite& satellite, bool randomise) {
  Pass pass;
  sim::CaduEncoding encoding;
  encoding.randomise = randomise;
  sim::Impairments impairments;
  impairments.bit_shift = 3;
  impairments.noise_before = 1000;
  impairments.noise_after = 3000;
  const char letter = static_cast<char>('A' + satellite.variant);
  switch (satellite.family) {
    case SatelliteFamily::MetOp: {
      sim::MetopOptions options;
      options.satellite = letter;
      options.packets = kUnits;
      sim::MetopPass made = sim::MakeMetopPass(options, encoding, impairments, kSeed);
      pass.recording = std::move(made.recording.bytes);
      pass.units = std::move(made.packets);
      break;
    }
    case SatelliteFamily::Fy3: {
      sim::Fy3Options options;
      options.satellite = letter;
      options.lines = kUnits;
      sim::Fy3Pass made = sim::MakeFy3Pass(options, encoding, impairments, kSeed);
      pass.recording = std::move(made.recording.bytes);
      pass.units = std::move(made.lines);
      break;
    }
    case SatelliteFamily::Meteor: {
      sim::Mn2Options options;
      options.lines = kUnits;
      options.msu_mr_id = satellite.data_id;
      // Inverted: the polarity search costs the first frame, so the first line starts later.
      impairments.invert = true;
      options.lead_bytes = 2500;
      sim::Mn2Pass made = sim::MakeMn2Pass(options, impairments, kSeed);
      pass.recording = std::move(made.recording.bytes);
      pass.samples = std::move(made.samples);
      break;
    }
  }
  return pass;
}

// The product holds exactly the pass's packets or lines; FY-3 records carry `fy3_day_of_year`.
void ExpectProductOfPass(const std::string& product, const Satellite& satellite, const Pass& pass,
                         int fy3_day_of_year) {
  ASSERT_TRUE(testing::FileExists(product)) << product;
  const std::vector<uint8_t> bytes = testing::ReadFileBytes(product);
  switch (satellite.family) {
    case SatelliteFamily::MetOp:
      ASSERT_EQ(bytes.size(), pass.units.size() * kHptRecord);
      for (size_t k = 0; k < pass.units.size(); ++k) {
        const uint8_t* record = bytes.data() + k * kHptRecord;
        const std::vector<uint8_t>& packet = pass.units[k];
        EXPECT_TRUE(std::equal(packet.begin() + 9, packet.begin() + 12, record + 12)) << k;
        EXPECT_TRUE(std::equal(packet.begin() + 82, packet.begin() + 12882, record + 937)) << k;
      }
      break;
    case SatelliteFamily::Fy3:
      ASSERT_EQ(bytes.size(), pass.units.size() * kC10Record);
      for (size_t k = 0; k < pass.units.size(); ++k) {
        const uint8_t* record = bytes.data() + k * kC10Record;
        EXPECT_EQ(record[10], fy3_day_of_year >> 1) << k;
        EXPECT_EQ(record[11] >> 7, fy3_day_of_year & 1) << k;
        EXPECT_TRUE(std::equal(pass.units[k].begin() + 436, pass.units[k].end(), record + 2000));
      }
      break;
    case SatelliteFamily::Meteor: {
      // The header record, then every line, the first one included.
      ASSERT_EQ(bytes.size(), (pass.samples.size() + 1) * testing::kDatRecord);
      const std::vector<uint8_t> header = testing::ExpectedDatHeader();
      EXPECT_TRUE(std::equal(header.begin(), header.end(), bytes.begin()));
      for (size_t k = 0; k < pass.samples.size(); ++k) {
        const std::vector<uint8_t> expected = testing::ExpectedDatRecord(pass.samples[k]);
        EXPECT_TRUE(
            std::equal(expected.begin(), expected.end(),
                       bytes.begin() + static_cast<ptrdiff_t>((k + 1) * testing::kDatRecord)))
            << k;
      }
      break;
    }
  }
}

bool LoggedStarting(const testing::RecordingHost& host, const std::string& start) {
  return std::any_of(host.log.begin(), host.log.end(),
                     [&](const std::string& line) { return line.rfind(start, 0) == 0; });
}

// The product of a pass without a marker: the simulator's first packet is 31 December 2018,
// 10:15:30; its first FY-3 line 05:23:30 and its first MSU-MR line 13:15:30 Moscow time, dated
// 9 December 2026 by --date.
struct UnmarkedCase {
  const char* option;
  const char* product;
};

void PrintTo(const UnmarkedCase& param, std::ostream* out) {
  *out << param.option;
}

const UnmarkedCase kUnmarked[] = {
    {"metop-a", "20181231_1015_M02.hpt"},        {"metop-b", "MetopB_20181231_1015_M03.hpt"},
    {"metop-c", "MetopC_20181231_1015_M04.hpt"}, {"fy3a", "FY3A_2026-12-09_0523.C10"},
    {"fy3b", "FY3B_2026-12-09_0523.C10"},        {"fy3c", "FY3C_2026-12-09_0523.C10"},
    {"meteor-m2", "20261209_1015_MN2.dat"},      {"meteor-m2-2", "20261209_1015_MN22.dat"},
    {"meteor-m2-3", "20261209_1015_MN23.dat"},   {"meteor-m2-4", "20261209_1015_MN24.dat"},
};
constexpr int kDay20261209 = 343;

class UnmarkedInput : public ::testing::TestWithParam<UnmarkedCase> {
 protected:
  testing::TempFolder folder;
  testing::RecordingHost host;
  const Satellite& satellite = *SatelliteByOption(GetParam().option);

  RunOutcome Run(const std::string& choice, bool randomise, bool derandomise) {
    pass = Simulate(satellite, randomise);
    host.input_path = folder.File("2026-12-09_10-15-30_1701300000Hz.bin");
    testing::WriteFileBytes(host.input_path, pass.recording);
    host.settings.Satellite = choice;
    host.settings.PassDate = "2026-12-09";
    host.settings.PNdecoding = derandomise;
    return ProcessRecording(host);
  }
  Pass pass;
};

TEST_P(UnmarkedInput, SatelliteOptionRunsItsChainAndNamesTheProductFromTheData) {
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  const RunOutcome outcome = Run(GetParam().option, true, true);
  ASSERT_FALSE(outcome.failed) << outcome.error;
  EXPECT_EQ(outcome.product, WorkingPath(GetParam().product));
  ExpectProductOfPass(WorkingPath(GetParam().product), satellite, pass, kDay20261209);
  EXPECT_EQ(host.chain.Counts.satellite, satellite.title);
  EXPECT_TRUE(LoggedStarting(host, std::string("Satellite from the data: ") + satellite.title));
  EXPECT_FALSE(LoggedStarting(host, "Warning"));
  EXPECT_NE(PassReportJson(host.chain.Counts, outcome.product, 0, 1)
                .find(std::string("\"satellite\":\"") + satellite.title + "\""),
            std::string::npos);
}

TEST_P(UnmarkedInput, AutoFindsTheSatelliteWithDeRandomisationNeeded) {
  // De-randomisation is off: the search finds the frames need it and switches it on.
  const RunOutcome outcome = Run("auto", true, false);
  ASSERT_FALSE(outcome.failed) << outcome.error;
  EXPECT_EQ(outcome.satellite, &satellite);
  EXPECT_TRUE(LoggedStarting(host, std::string("Satellite found in the data: ") + satellite.title));
  ExpectProductOfPass(WorkingPath(GetParam().product), satellite, pass, kDay20261209);
  if (satellite.family != SatelliteFamily::Meteor) {
    EXPECT_TRUE(host.settings.PNdecoding);
  }
}

TEST_P(UnmarkedInput, AutoFindsTheSatelliteWithoutDeRandomisation) {
  // Frames sent without the pseudo-random sequence, de-randomisation on: switched off.
  const RunOutcome outcome = Run("auto", false, true);
  ASSERT_FALSE(outcome.failed) << outcome.error;
  EXPECT_EQ(outcome.satellite, &satellite);
  ExpectProductOfPass(WorkingPath(GetParam().product), satellite, pass, kDay20261209);
  if (satellite.family != SatelliteFamily::Meteor) {
    EXPECT_FALSE(host.settings.PNdecoding);
  }
}

INSTANTIATE_TEST_SUITE_P(Satellites, UnmarkedInput, ::testing::ValuesIn(kUnmarked),
                         [](const ::testing::TestParamInfo<UnmarkedCase>& info) {
                           std::string name = info.param.option;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

class NamedInput : public ::testing::Test {
 protected:
  testing::TempFolder folder;
  testing::RecordingHost host;
  Pass pass;

  RunOutcome Run(const char* option_of_data, const std::string& file, const std::string& choice) {
    pass = Simulate(*SatelliteByOption(option_of_data), true);
    host.input_path = folder.File(file);
    testing::WriteFileBytes(host.input_path, pass.recording);
    host.settings.Satellite = choice;
    host.settings.PNdecoding = true;
    return ProcessRecording(host);
  }
};

TEST_F(NamedInput, NewMeteorMarkersRunTheMeteorChainAndNameTheirProducts) {
  for (const char* option : {"meteor-m2-2", "meteor-m2-3", "meteor-m2-4"}) {
    SCOPED_TRACE(option);
    const Satellite& satellite = *SatelliteByOption(option);
    host.log.clear();
    const RunOutcome outcome =
        Run(option, std::string(satellite.marker) + "20261209_101530.bin", "");
    ASSERT_FALSE(outcome.failed) << outcome.error;
    const std::string suffix = std::string(satellite.marker).substr(0, 4);
    EXPECT_EQ(outcome.product, WorkingPath("20261209_1015_" + suffix + ".dat"));
    ExpectProductOfPass(outcome.product, satellite, pass, 0);
    EXPECT_EQ(host.chain.Counts.satellite, satellite.title);
    EXPECT_FALSE(LoggedStarting(host, "Warning"));
  }
  // "MN2_" keeps its product.
  const RunOutcome outcome = Run("meteor-m2", "MN2_20181231_101530.bin", "");
  EXPECT_EQ(outcome.product, WorkingPath("20181231_1015_MN2.dat"));
}

TEST_F(NamedInput, MetopCNamedMetopBWarnsAndKeepsTheMarkersName) {
  const RunOutcome outcome = Run("metop-c", "MetopB_20261209_101530.bin", "");
  ASSERT_FALSE(outcome.failed) << outcome.error;
  EXPECT_EQ(outcome.product, WorkingPath("MetopB_20261209_1015_M03.hpt"));
  EXPECT_EQ(host.chain.Counts.satellite, "MetOp-C");
  EXPECT_TRUE(host.Logged(
      "Warning: the data are from MetOp-C, but the marker 'MetopB_' in the file name says "
      "MetOp-B: the product is named as MetOp-B's"));
  ExpectProductOfPass(outcome.product, *SatelliteByOption("metop-c"), pass, 0);
}

TEST_F(NamedInput, AutoOnMetopCNamedMetopBNamesTheProductByTheData) {
  const RunOutcome outcome = Run("metop-c", "MetopB_20261209_101530.bin", "auto");
  ASSERT_FALSE(outcome.failed) << outcome.error;
  EXPECT_EQ(outcome.product, WorkingPath("MetopC_20261209_1015_M04.hpt"));
  EXPECT_TRUE(LoggedStarting(host, "Warning: the file name's marker 'MetopB_' says MetOp-B"));
  EXPECT_FALSE(testing::FileExists(WorkingPath("MetopB_20261209_1015_M03.hpt")));
  ExpectProductOfPass(outcome.product, *SatelliteByOption("metop-c"), pass, 0);
}

TEST_F(NamedInput, SatelliteOptionOverridesTheMarkerAndKeepsTheNamesDate) {
  // An FY-3B pass named FY3A_: the date after the marker still dates the records.
  const RunOutcome outcome = Run("fy3b", "FY3A_2010-05-12_052330.bin", "fy3b");
  ASSERT_FALSE(outcome.failed) << outcome.error;
  EXPECT_EQ(outcome.product, WorkingPath("FY3B_2010-05-12_0523.C10"));
  EXPECT_TRUE(LoggedStarting(host, "Warning: the file name's marker 'FY3A_' says FY-3A"));
  ExpectProductOfPass(outcome.product, *SatelliteByOption("fy3b"), pass, 132);
}

TEST_F(NamedInput, Fy3WithoutMarkerOrDateIsDatedByTheRecordingsTime) {
  // Modified 9 December 2026 12:00 UTC: that day. Modified 10 December 00:30, before the first
  // line's 05:23:30 in its day: the pass began the day before.
  for (const time_t modified : {time_t{1796817600}, time_t{1796862600}}) {
    SCOPED_TRACE(modified);
    pass = Simulate(*SatelliteByOption("fy3c"), true);
    host.input_path = folder.File("fy3c.bin");
    testing::WriteFileBytes(host.input_path, pass.recording);
    const struct timeval times[2] = {{modified, 0}, {modified, 0}};
    ASSERT_EQ(utimes(host.input_path.c_str(), times), 0);
    host.settings.Satellite = "fy3c";
    host.settings.PNdecoding = true;
    const RunOutcome outcome = ProcessRecording(host);
    ASSERT_FALSE(outcome.failed) << outcome.error;
    EXPECT_EQ(outcome.product, WorkingPath("FY3C_2026-12-09_0523.C10"));
    ExpectProductOfPass(outcome.product, *SatelliteByOption("fy3c"), pass, kDay20261209);
  }
}

TEST_F(NamedInput, AutoDecodesAManchesterCodedMeteorPassItself) {
  sim::Mn2Options options;
  options.lines = kUnits;
  options.msu_mr_id = 4;
  options.manchester = true;
  const sim::Mn2Pass made = sim::MakeMn2Pass(options, sim::Impairments{}, kSeed);
  pass.samples = made.samples;
  host.input_path = folder.File("meteor.bin");
  testing::WriteFileBytes(host.input_path, made.recording.bytes);
  host.settings.Satellite = "auto";
  host.settings.PassDate = "2026-12-09";
  ASSERT_FALSE(host.settings.Manchester_box);
  const RunOutcome outcome = ProcessRecording(host);
  ASSERT_FALSE(outcome.failed) << outcome.error;
  EXPECT_TRUE(host.Logged("The recording is Manchester coded: it is decoded first, as with MN_y"));
  EXPECT_EQ(outcome.product, WorkingPath("20261209_1015_MN24.dat"));
  ExpectProductOfPass(outcome.product, *SatelliteByOption("meteor-m2-4"), pass, 0);
  EXPECT_FALSE(testing::FileExists(WorkingPath("cvcdu.man")));
}

TEST_F(NamedInput, AutoOnNoiseEndsTheRunWithOneClearLine) {
  std::mt19937_64 random(kSeed);
  std::vector<uint8_t> noise(3 << 20);
  for (uint8_t& byte : noise) byte = static_cast<uint8_t>(random());
  host.input_path = folder.File("noise.bin");
  testing::WriteFileBytes(host.input_path, noise);
  host.settings.Satellite = "auto";
  const RunOutcome outcome = ProcessRecording(host);
  EXPECT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.error.rfind("No satellite recognised in '" + host.input_path + "'", 0), 0u)
      << outcome.error;
  EXPECT_TRUE(host.Logged(outcome.error));
  EXPECT_TRUE(outcome.product.empty());
  EXPECT_FALSE(testing::FileExists(WorkingPath("cadu.pds")));
  EXPECT_TRUE(host.process_enabled);
}

}  // namespace
}  // namespace vantrel
