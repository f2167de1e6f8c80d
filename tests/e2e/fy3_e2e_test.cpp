// Simulated FY-3A/B/C passes on the three instrument channels through the whole chain: every
// .C10 record is checked against the line the simulator sent, and the aligned lines against the
// simulator's lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "app/driver.h"
#include "core/working_file.h"
#include "sim/simulator.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

constexpr uint64_t kSeed = 20100512;
constexpr int kLines = 9;
constexpr size_t kLine = 26050;
constexpr size_t kRecord = 27728;
constexpr uint32_t kStartMs = 19410000;  // 05:23:30

struct Fy3Case {
  const char* name;
  char satellite;
  int vcid;
  const char* input;    // recording name
  const char* product;  // expected product name
  int day_of_year;      // of the date in the name, counted by hand
  int bit_shift;
  bool invert;
  bool randomise;
  size_t noise_between;
  int symbol_errors;
};

class Fy3EndToEnd : public ::testing::TestWithParam<Fy3Case> {
 protected:
  testing::TempFolder folder;
  testing::RecordingHost host;
  sim::Fy3Pass pass;

  RunOutcome Run(bool keep_working_files) {
    const Fy3Case& param = GetParam();
    sim::Fy3Options options;
    options.satellite = param.satellite;
    options.vcid = param.vcid;
    options.lines = kLines;
    options.start_ms = kStartMs;
    // Two zones of lead: the first line lies behind a CADU an inverted stream's search may miss.
    options.lead_bytes = 2000;
    sim::CaduEncoding encoding;
    encoding.randomise = param.randomise;
    sim::Impairments impairments;
    impairments.bit_shift = param.bit_shift;
    impairments.invert = param.invert;
    impairments.noise_before = 500;
    impairments.noise_between = param.noise_between;
    impairments.symbol_errors = param.symbol_errors;
    impairments.noise_after = 3000;
    pass = sim::MakeFy3Pass(options, encoding, impairments, kSeed);

    host.input_path = folder.File(param.input);
    testing::WriteFileBytes(host.input_path, pass.recording.bytes);
    host.settings.PNdecoding = param.randomise;
    host.settings.RSolomon = true;
    host.settings.Fy3Vcid = param.vcid;
    host.settings.DFiles = !keep_working_files;
    host.chain.BatchMode = true;
    return ProcessRecording(host);
  }
};

TEST_P(Fy3EndToEnd, EveryRecordMatchesItsLine) {
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  const Fy3Case& param = GetParam();
  const RunOutcome outcome = Run(/*keep_working_files=*/false);
  ASSERT_EQ(pass.lines.size(), static_cast<size_t>(kLines));

  const std::string product = WorkingPath(param.product);
  const std::vector<uint8_t> c10 = testing::ReadFileBytes(product);
  ASSERT_EQ(c10.size(), kLines * kRecord);
  const uint8_t frame_start[10] = {0xA1, 0x16, 0xFD, 0x71, 0x9D, 0x83, 0xC9, 0x50, 0x34, 0x00};
  const unsigned day = static_cast<unsigned>(param.day_of_year);
  for (size_t n = 0; n < kLines; ++n) {
    SCOPED_TRACE("record " + std::to_string(n));
    const uint8_t* record = c10.data() + n * kRecord;
    const std::vector<uint8_t>& line = pass.lines[n];
    EXPECT_TRUE(std::equal(frame_start, frame_start + 10, record));
    // Word 9: the day and a 0 bit; words 10-12: 1 0 1 and the line's 27-bit millisecond of day.
    EXPECT_EQ(record[10], day >> 1);
    EXPECT_EQ(record[11] >> 3, (day & 1) << 4 | 0b101);
    const uint32_t ms = kStartMs + static_cast<uint32_t>((n * 1000 + 3) / 6);  // 6 lines a second
    const uint32_t value = static_cast<uint32_t>(record[11] & 7) << 24 |
                           static_cast<uint32_t>(record[12]) << 16 |
                           static_cast<uint32_t>(record[13]) << 8 | record[14];
    EXPECT_EQ(value, ms);
    EXPECT_TRUE(std::all_of(record + 15, record + 2000, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(line.begin() + 436, line.end(), record + 2000));
    EXPECT_TRUE(std::all_of(record + 27614, record + kRecord, [](uint8_t b) { return b == 0; }));
  }

  EXPECT_EQ(host.chain.LastLineCount, kLines);
  EXPECT_TRUE(outcome.close_program);
  EXPECT_TRUE(host.Logged("Finally, output file is '" + product + "'"));
  for (const char* name : {"cadu.pds", "cvcdu.rs", "vcdu_x.vcd", "mpdu_x.mpd", "FY3x_.fy3"})
    EXPECT_FALSE(testing::FileExists(WorkingPath(name))) << name;
}

TEST_P(Fy3EndToEnd, AlignedLinesAreTheSimulatedOnes) {
  Run(/*keep_working_files=*/true);
  std::vector<uint8_t> lines;
  for (const std::vector<uint8_t>& line : pass.lines)
    lines.insert(lines.end(), line.begin(), line.end());
  EXPECT_EQ(testing::ReadFileBytes(WorkingPath("FY3x_.fy3")), lines);
  EXPECT_TRUE(host.Logged("ASM detection done!  " + std::to_string(kLines) + " lines found."));
  EXPECT_EQ(testing::ReadFileBytes(WorkingPath("mpdu_x.mpd")).size(),
            testing::ReadFileBytes(WorkingPath("vcdu_x.vcd")).size() / 892 * 882);
}

TEST(Fy3EndToEndDate, NameWithoutAValidDateEndsTheRunCleanly) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  sim::Fy3Options options;
  options.lines = 3;
  const sim::Fy3Pass pass = sim::MakeFy3Pass(options, {}, {}, kSeed);
  host.settings.PNdecoding = true;
  host.chain.BatchMode = true;
  host.input_path = folder.File("FY3A_2010-02-30_052330.bin");
  testing::WriteFileBytes(host.input_path, pass.recording.bytes);
  const RunOutcome failed = ProcessRecording(host);
  EXPECT_TRUE(failed.failed);
  EXPECT_FALSE(failed.close_program);
  EXPECT_EQ(host.log.back(), "'2010-02-30' is not a valid date");
  EXPECT_TRUE(host.process_enabled);
  EXPECT_FALSE(testing::FileExists(WorkingPath("FY3A_2010-02-30_0523.C10")));

  // The next run, with a valid name, goes through.
  host.input_path = folder.File("FY3A_2010-03-01_052330.bin");
  std::filesystem::rename(folder.File("FY3A_2010-02-30_052330.bin"), host.input_path);
  const RunOutcome next = ProcessRecording(host);
  EXPECT_FALSE(next.failed);
  EXPECT_TRUE(next.close_program);
  EXPECT_EQ(testing::ReadFileBytes(WorkingPath("FY3A_2010-03-01_0523.C10")).size(), 3 * kRecord);
  EXPECT_EQ(host.chain.LastLineCount, 3);
}

INSTANTIATE_TEST_SUITE_P(
    Passes, Fy3EndToEnd,
    ::testing::Values(Fy3Case{"Fy3aVirrDay", 'A', 5, "FY3A_2010-05-12_052330.bin",
                              "FY3A_2010-05-12_0523.C10", 132, 0, false, true, 0, 0},
                      Fy3Case{"Fy3bVirrNightShiftedInverted", 'B', 9, "FY3B_2012-12-31_235959.bin",
                              "FY3B_2012-12-31_2359.C10", 366, 3, true, true, 0, 0},
                      Fy3Case{"Fy3cMersiNoisy", 'C', 3, "FY3C_2020-01-01_000512.bin",
                              "FY3C_2020-01-01_0005.C10", 1, 6, false, false, 57, 9}),
    [](const ::testing::TestParamInfo<Fy3Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantrel
