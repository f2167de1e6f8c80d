// Simulated Meteor-M N2 passes, plain and Manchester coded, through the whole chain: the product
// is checked against the samples the simulator put in, and the working files against its lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "app/driver.h"
#include "core/working_file.h"
#include "sim/simulator.h"
#include "tests/meteor/dat_expected.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

constexpr uint64_t kSeed = 20181231;
constexpr int kLines = 12;

struct Mn2Case {
  const char* name;
  bool manchester;
  int bit_shift;
  bool invert;
  size_t noise_after;  // random bytes behind the last frame
};

void PrintTo(const Mn2Case& param, std::ostream* out) {
  *out << param.name;
}

// The product holds the header record and then every line of the simulator's truth, the first
// one included, in order.
void ExpectEveryTruthLine(const std::vector<uint8_t>& dat, const sim::Mn2Pass& pass) {
  ASSERT_EQ(dat.size(), (pass.samples.size() + 1) * testing::kDatRecord);
  const std::vector<uint8_t> header = testing::ExpectedDatHeader();
  EXPECT_TRUE(std::equal(header.begin(), header.end(), dat.begin())) << "header record";
  for (size_t line = 0; line < pass.samples.size(); ++line) {
    SCOPED_TRACE("line " + std::to_string(line));
    const std::vector<uint8_t> expected = testing::ExpectedDatRecord(pass.samples[line]);
    const auto record = dat.begin() + static_cast<ptrdiff_t>((line + 1) * testing::kDatRecord);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), record));
  }
}

class Mn2EndToEnd : public ::testing::TestWithParam<Mn2Case> {
 protected:
  testing::TempFolder folder;
  testing::RecordingHost host;
  sim::Mn2Pass pass;

  // Simulates the pass, writes it as the recording and presses Process.
  RunOutcome Run(bool keep_working_files) {
    const Mn2Case& param = GetParam();
    sim::Mn2Options options;
    options.lines = kLines;
    options.manchester = param.manchester;
    // More than two frames of lead: the first line starts behind a CADU the search may miss on
    // an inverted stream.
    options.lead_bytes = 2500;
    sim::Impairments impairments;
    impairments.bit_shift = param.bit_shift;
    impairments.invert = param.invert;
    impairments.noise_before = 300;
    impairments.noise_after = param.noise_after;
    pass = sim::MakeMn2Pass(options, impairments, kSeed);

    host.input_path = folder.File("MN2_20181231_101530.bin");
    testing::WriteFileBytes(host.input_path, pass.recording.bytes);
    host.settings.Manchester_box = param.manchester;
    host.settings.DFiles = !keep_working_files;
    host.chain.BatchMode = true;
    return ProcessRecording(host);
  }
};

TEST_P(Mn2EndToEnd, ProductHoldsEveryLineOfThePass) {
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  const RunOutcome outcome = Run(/*keep_working_files=*/false);
  ASSERT_EQ(pass.samples.size(), static_cast<size_t>(kLines));

  const std::string product = WorkingPath("20181231_1015_MN2.dat");
  const std::vector<uint8_t> dat = testing::ReadFileBytes(product);
  ExpectEveryTruthLine(dat, pass);

  EXPECT_EQ(host.chain.LastLineCount, kLines);
  EXPECT_TRUE(outcome.close_program);
  EXPECT_TRUE(host.Logged("Finally, output file is '" + product + "'"));
  for (const char* name : {"cadu.pds", "cvcdu.man", "MSU-MR.dmx", "MN2_.mnx"})
    EXPECT_FALSE(testing::FileExists(WorkingPath(name))) << name;
}

TEST_P(Mn2EndToEnd, WorkingFilesHoldTheSimulatedLines) {
  Run(/*keep_working_files=*/true);
  EXPECT_EQ(testing::FileExists(WorkingPath("cvcdu.man")), GetParam().manchester);
  std::vector<uint8_t> lines;
  for (const std::vector<uint8_t>& line : pass.lines)
    lines.insert(lines.end(), line.begin(), line.end());
  EXPECT_EQ(testing::ReadFileBytes(WorkingPath("MN2_.mnx")), lines);

  // cadu.pds holds the simulated frames; an inverted stream's first frame is lost to the
  // polarity search.
  const std::vector<std::vector<uint8_t>>& frames = pass.recording.frames;
  const size_t first = GetParam().invert ? 1 : 0;
  std::vector<uint8_t> cadu;
  std::vector<uint8_t> stream;
  for (size_t frame = first; frame < frames.size(); ++frame) {
    cadu.insert(cadu.end(), frames[frame].begin(), frames[frame].end());
    // Each slice (record bytes 0, 256, 512, 768; the last one 252 bytes) behind 18 bytes.
    for (size_t begin : {18u, 274u, 530u, 786u}) {
      const size_t end = begin == 786u ? 1020u : begin + 238u;
      stream.insert(stream.end(), frames[frame].begin() + static_cast<ptrdiff_t>(begin),
                    frames[frame].begin() + static_cast<ptrdiff_t>(end));
    }
  }
  EXPECT_EQ(testing::ReadFileBytes(WorkingPath("cadu.pds")), cadu);
  EXPECT_EQ(testing::ReadFileBytes(WorkingPath("MSU-MR.dmx")), stream);
}

// The shortest passes: no line may go to the header record, and the report counts image lines.
class Mn2ShortPass : public ::testing::TestWithParam<int> {};

TEST_P(Mn2ShortPass, KeepsEveryLine) {
  const int lines = GetParam();
  SCOPED_TRACE("seed " + std::to_string(kSeed) + ", " + std::to_string(lines) + " lines");
  testing::TempFolder folder;
  testing::RecordingHost host;
  sim::Mn2Options options;
  options.lines = lines;
  const sim::Mn2Pass pass = sim::MakeMn2Pass(options, {}, kSeed);
  ASSERT_EQ(pass.samples.size(), static_cast<size_t>(lines));
  host.input_path = folder.File("MN2_20181231_101530.bin");
  testing::WriteFileBytes(host.input_path, pass.recording.bytes);
  host.chain.BatchMode = true;
  const RunOutcome outcome = ProcessRecording(host);

  const std::string product = WorkingPath("20181231_1015_MN2.dat");
  ASSERT_EQ(outcome.product, product) << outcome.error;
  ExpectEveryTruthLine(testing::ReadFileBytes(product), pass);
  EXPECT_EQ(host.chain.LastLineCount, lines);
  EXPECT_EQ(host.chain.Counts.product_lines, lines);
  EXPECT_TRUE(host.Logged("DAT file created done!  " + std::to_string(lines) + " lines found."));
}

INSTANTIATE_TEST_SUITE_P(OneAndTwoLines, Mn2ShortPass, ::testing::Values(1, 2));

// A recording whose frames hold no whole line: no line found, no product, not even a header.
TEST(Mn2NoLine, WritesNoProduct) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  sim::Mn2Options options;
  options.lines = 1;
  sim::Mn2Pass pass = sim::MakeMn2Pass(options, {}, kSeed);
  // Only the noise and frames before the line's sync: cut the recording short of its first line.
  pass.recording.bytes.resize(pass.recording.bytes.size() / 4);
  host.input_path = folder.File("MN2_20181231_101530.bin");
  testing::WriteFileBytes(host.input_path, pass.recording.bytes);
  host.chain.BatchMode = true;
  const RunOutcome outcome = ProcessRecording(host);
  EXPECT_TRUE(outcome.product.empty());
  EXPECT_FALSE(outcome.close_program);
  EXPECT_EQ(host.chain.LastLineCount, 0);
  EXPECT_EQ(host.chain.Counts.product_lines, 0);
  EXPECT_FALSE(testing::FileExists(WorkingPath("20181231_1015_MN2.dat")));
}

INSTANTIATE_TEST_SUITE_P(
    Passes, Mn2EndToEnd,
    ::testing::Values(Mn2Case{"Plain", false, 0, false, 4096},
                      Mn2Case{"PlainShiftedInverted", false, 3, true, 4096},
                      Mn2Case{"Manchester", true, 0, false, 4096},
                      Mn2Case{"ManchesterShiftedInverted", true, 5, true, 4096},
                      // The last line ends with the recording.
                      Mn2Case{"PlainEndingWithTheLastFrame", false, 0, false, 0},
                      Mn2Case{"ManchesterEndingWithTheLastFrame", true, 6, false, 0}),
    [](const ::testing::TestParamInfo<Mn2Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantrel
