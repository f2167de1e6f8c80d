// A cheap receiver's I/Q imbalance (2 dB, 10 degrees) and DC offset on MetOp passes after noise,
// over 16 seeds at Es/N0 6 and 9 dB: the demodulator measures and undoes them, and the CADU search
// takes back a first frame whose marker rose out of the noise damaged, so no CADU is lost and the
// symbols show the Es/N0 the pass was made with. Thirty-two short passes: labelled "sweep" so
// that a sanitizer build may leave them out.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "app/driver.h"
#include "core/working_file.h"
#include "tests/support/programs.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using Bytes = std::vector<uint8_t>;

class ImbalancedReceiver : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(ImbalancedReceiver, LosesNoCadu) {
  const auto [esn0, seed] = GetParam();
  testing::TempFolder folder;
  const std::string path = folder.File("MetopB_20181231_101530.wav");
  testing::Simulate("--sat metop --packets 6 --baseband wav --esn0 " + std::to_string(esn0) +
                        " --noise-before 20000 "
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
  EXPECT_GT(host.chain.Counts.baseband->best_snr_db, esn0 - 0.5) << host.LogText();
}

INSTANTIATE_TEST_SUITE_P(SixteenSeeds, ImbalancedReceiver,
                         ::testing::Combine(::testing::Values(6, 9), ::testing::Range(1, 17)));

}  // namespace
}  // namespace vantrel
