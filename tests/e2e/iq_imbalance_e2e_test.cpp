// A cheap receiver's I/Q imbalance (2 dB, 10 degrees) and DC offset on MetOp passes after noise,
// over 16 seeds: the demodulator measures and undoes them, so no CADU is lost (the first, which
// rises out of the noise, was) and the symbols show the Es/N0 the pass was made with. Sixteen
// short passes: labelled "sweep" so that a sanitizer build may leave them out.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/driver.h"
#include "core/working_file.h"
#include "tests/support/programs.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using Bytes = std::vector<uint8_t>;

class ImbalancedReceiver : public ::testing::TestWithParam<int> {};

TEST_P(ImbalancedReceiver, LosesNoCadu) {
  const int seed = GetParam();
  testing::TempFolder folder;
  const std::string path = folder.File("MetopB_20181231_101530.wav");
  testing::Simulate(
      "--sat metop --packets 6 --baseband wav --esn0 9 --noise-before 20000 "
      "--iq-imbalance 2,10 --dc-offset 0.02,-0.01 --seed " +
          std::to_string(seed),
      path);
  Settings settings;
  settings.PNdecoding = true;
  settings.PassDate = "2018-12-31";
  settings.DFiles = false;
  testing::RecordingHost host;
  host.settings = settings;
  host.input_path = path;
  const RunOutcome outcome = ProcessRecording(host);
  ASSERT_FALSE(outcome.failed) << host.LogText();
  const Bytes truth = testing::ReadFileBytes(path + ".frames");
  const Bytes found = testing::ReadFileBytes(folder.File(std::string(WorkingFile::kCaduPds)));
  EXPECT_TRUE(found == truth) << "seed " << seed << "\n" << host.LogText();
  EXPECT_EQ(host.chain.Counts.product_lines, 6);
  EXPECT_EQ(host.chain.Counts.lines_dropped, 0);
  // Left in, the imbalance costs about 1.2 dB of the symbols' Es/N0.
  ASSERT_TRUE(host.chain.Counts.baseband.has_value());
  EXPECT_GT(host.chain.Counts.baseband->best_snr_db, 8.5) << host.LogText();
}

INSTANTIATE_TEST_SUITE_P(SixteenSeeds, ImbalancedReceiver, ::testing::Range(1, 17));

}  // namespace
}  // namespace vantrel
