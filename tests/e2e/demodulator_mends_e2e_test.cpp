// What the demodulators used to lose, end to end through the driver on passes written by the
// simulator program: a Meteor-M N2 pass after noise (its carrier at the centre, where the DC
// estimate took it and the lock went), frames after the last CADU (a soft recording's zero
// padding, a pass's tail), a cheap receiver's I/Q imbalance and DC offset, and MetOp at about
// 1.2 samples per symbol. Each is checked against what the simulator sent.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/driver.h"
#include "core/working_file.h"
#include "tests/support/chain_run.h"
#include "tests/support/programs.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kFrameBytes = 1020;
constexpr size_t kMn2LineBytes = 11850;

using testing::ChainRun;

Settings Kept(bool derandomise) {
  Settings settings;
  settings.PNdecoding = derandomise;
  settings.PassDate = "2018-12-31";
  settings.DFiles = false;  // cadu.pds and the line files are checked too
  return settings;
}

// --- A: Meteor-M N2 after noise -------------------------------------------------------------

struct Mn2Pass {
  int seed;
  double esn0;
  bool exact;  // no bit error expected at this Es/N0 (Meteor-M N2 has no code to correct them)
};

class Mn2AfterNoise : public ::testing::TestWithParam<Mn2Pass> {};

// The pass of the issue: its carrier at the centre, 0.24 s of noise before it. The lock is held
// to the end, every line comes through, and at a high Es/N0 the lines are the ones sent.
TEST_P(Mn2AfterNoise, HoldsTheLockAndEveryLine) {
  const Mn2Pass& pass = GetParam();
  testing::TempFolder folder;
  const std::string path = folder.File("MN2_20181231_101530.wav");
  testing::Simulate("--sat mn2 --lines 30 --baseband wav --noise-before 20000 --esn0 " +
                        std::to_string(pass.esn0) + " --seed " + std::to_string(pass.seed),
                    path);
  const ChainRun run(path, Kept(false));
  ASSERT_FALSE(run.outcome.failed) << run.Log();
  const PassCounts& counts = run.host.chain.Counts;
  ASSERT_TRUE(counts.baseband.has_value());
  EXPECT_EQ(counts.baseband->locks_lost, 0) << run.Log();
  EXPECT_EQ(counts.lines_dropped, 0) << run.Log();
  EXPECT_EQ(counts.product_lines, 30) << run.Log();
  const Bytes truth = testing::ReadFileBytes(path + ".lines");
  const Bytes lines = testing::ReadFileBytes(folder.File("MN2_.mnx"));
  ASSERT_EQ(lines.size(), truth.size());
  if (pass.exact) {
    EXPECT_TRUE(lines == truth);
  }
  // Every frame sent was found, and none more.
  EXPECT_EQ(testing::ReadFileBytes(folder.File(std::string(WorkingFile::kCaduPds))).size(),
            testing::ReadFileBytes(path + ".frames").size());
}

INSTANTIATE_TEST_SUITE_P(SeedsAndLevels, Mn2AfterNoise,
                         ::testing::Values(Mn2Pass{20181231, 10, false}, Mn2Pass{7, 10, false},
                                           Mn2Pass{20181231, 16, true}, Mn2Pass{3, 16, true}),
                         [](const ::testing::TestParamInfo<Mn2Pass>& info) {
                           return "seed" + std::to_string(info.param.seed) + "_esn0_" +
                                  std::to_string(static_cast<int>(info.param.esn0));
                         });

// --- A: nothing but received frames in cadu.pds -----------------------------------------------

struct FrameCase {
  const char* name;  // of the recording, with its marker
  const char* sim;
  const char* input;  // "soft" (zero padding appended) or "baseband"
  bool derandomise;
};

class OnlyReceivedFrames : public ::testing::TestWithParam<FrameCase> {};

// A soft recording padded with zeros (every value unknown) after the last CADU, and a baseband
// pass with noise after it: cadu.pds holds the frames sent, one for one, and the counts agree.
TEST_P(OnlyReceivedFrames, CaduFileHoldsTheFramesSent) {
  const FrameCase& c = GetParam();
  testing::TempFolder folder;
  const bool soft = std::string(c.input) == "soft";
  const std::string path = folder.File(std::string(c.name) + (soft ? ".soft" : ".wav"));
  testing::Simulate(std::string(c.sim) + " --noise-before 20000" +
                        (soft ? " --soft" : " --baseband wav --esn0 14 --noise-after 20000"),
                    path);
  if (soft) {
    // A recorder's padding: far more than a frame of zeros.
    std::ofstream(path, std::ios::binary | std::ios::app) << std::string(40000, '\0');
  }
  const ChainRun run(path, Kept(c.derandomise));
  ASSERT_FALSE(run.outcome.failed) << run.Log();
  const Bytes truth = testing::ReadFileBytes(path + ".frames");
  const Bytes found = testing::ReadFileBytes(folder.File(std::string(WorkingFile::kCaduPds)));
  EXPECT_EQ(found.size() / kFrameBytes, truth.size() / kFrameBytes) << run.Log();
  EXPECT_EQ(run.host.chain.Counts.cadus, static_cast<int64_t>(truth.size() / kFrameBytes));
  EXPECT_EQ(run.host.chain.Counts.rs_uncorrectable_frames, 0);
  // The last frame written is the last one sent.
  ASSERT_GE(found.size(), kFrameBytes);
  EXPECT_TRUE(Bytes(found.end() - kFrameBytes, found.end()) ==
              Bytes(truth.end() - kFrameBytes, truth.end()));
}

INSTANTIATE_TEST_SUITE_P(
    EveryFamily, OnlyReceivedFrames,
    ::testing::Values(FrameCase{"MetopB_20181231_101530", "--sat metop --packets 8", "soft", true},
                      FrameCase{"MetopB_20181231_101530", "--sat metop --packets 8", "baseband",
                                true},
                      FrameCase{"FY3A_2018-12-31_101530", "--sat fy3 --lines 4", "soft", true},
                      FrameCase{"FY3A_2018-12-31_101530", "--sat fy3 --lines 4", "baseband", true},
                      FrameCase{"MN2_20181231_101530", "--sat mn2 --lines 10", "soft", false},
                      FrameCase{"MN2_20181231_101530", "--sat mn2 --lines 10", "baseband", false}),
    [](const ::testing::TestParamInfo<FrameCase>& info) {
      return std::string(info.param.sim).substr(6, 3) + "_" + info.param.input;
    });

// --- C: MetOp at about 1.2 samples per symbol ----------------------------------------------

class LowSampleRate : public ::testing::TestWithParam<int> {};

// 2.88 and 3.2 Msps (1.23 and 1.37 samples per symbol): the product is the hard-bit twin's, and
// the log warns that the recording is narrower than the signal's band.
TEST_P(LowSampleRate, GivesTheHardBitProduct) {
  const int rate = GetParam();
  testing::TempFolder folder;
  const std::string hard_path = folder.File("MetopB_20181231_101530.bin");
  const std::string path = folder.File("MetopB_20181231_101530.wav");
  const std::string pass = "--sat metop --packets 12 --noise-before 20000 --noise-after 20000";
  testing::Simulate(pass, hard_path);
  testing::Simulate(pass + " --baseband wav --esn0 9 --doppler 40000 --carrier-offset 20000 " +
                        "--clock-ppm 30 --samplerate " + std::to_string(rate),
                    path);
  Settings settings;
  settings.PNdecoding = true;
  settings.PassDate = "2018-12-31";
  const ChainRun hard(hard_path, settings);
  ASSERT_FALSE(hard.product.empty()) << hard.Log();
  const Bytes hard_product = hard.product;
  std::remove(hard.outcome.product.c_str());
  const ChainRun run(path, settings);
  ASSERT_FALSE(run.outcome.failed) << run.Log();
  EXPECT_TRUE(run.product == hard_product) << run.Log();
  EXPECT_EQ(run.host.chain.Counts.cadus, hard.host.chain.Counts.cadus);
  EXPECT_NE(run.Log().find("samples per symbol, under the 1.5"), std::string::npos) << run.Log();
}

INSTANTIATE_TEST_SUITE_P(MetopRates, LowSampleRate, ::testing::Values(2880000, 3200000),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::to_string(info.param);
                         });

// Under 1.2 samples per symbol the run is refused with a line that names the rate it needs.
TEST(LowSampleRate, UnderTheFloorIsRefused) {
  testing::TempFolder folder;
  const std::string path = folder.File("MetopB_20181231_101530.wav");
  testing::Simulate("--sat metop --packets 2 --baseband wav --esn0 9 --samplerate 2400000", path);
  Settings settings;
  settings.PNdecoding = true;
  const ChainRun run(path, settings);
  EXPECT_TRUE(run.outcome.failed);
  EXPECT_NE(run.outcome.error.find("it needs at least 2800000 samples/s"), std::string::npos)
      << run.outcome.error;
}

}  // namespace
}  // namespace vantrel
