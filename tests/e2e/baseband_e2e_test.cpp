// Baseband recordings through the whole chain: a simulated pass of each downlink, modulated as the
// satellite sends it and recorded as an SDR does (vantrel-sim --baseband, with the Doppler of a
// pass, an oscillator offset and a sample clock at the limits a station meets), must give the very
// product its hard-bit twin gives; a pass that rises out of the noise and sets into it locks and
// unlocks without a false frame; a wrong rate or sample format gives no product.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/driver.h"
#include "core/log_format.h"
#include "core/pass_report.h"
#include "core/working_file.h"
#include "tests/support/chain_run.h"
#include "tests/support/programs.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kFrameBytes = 1020;

// The impairments at the limits: up to 40 kHz of Doppler changing at 400 Hz/s at the top, an
// oscillator tens of kHz off (together within the default +-60 kHz search) and a clock 50 ppm
// off; a little noise before and after the pass, the same in both twins.
const std::string kNoise = " --noise-before 20000 --noise-after 20000";
const std::string kReceiver = " --doppler 40000 --doppler-rate 400 --clock-ppm 50";

using testing::ChainRun;

struct Family {
  const char* name;    // of the recordings, with the satellite's marker
  const char* sim;     // vantrel-sim's pass
  const char* format;  // the baseband file's format and extension
  const char* signal;  // the signal's options
  bool derandomise;
  // The lock is taken within 50 ms of the signal's rise: after the noise before it (20000 bytes:
  // 13 ms of MetOp or FY-3 baseband, 0.24 s at Meteor-M N2's 665.4 kbit/s).
  double lock_by_seconds;
};

class BasebandTwins : public ::testing::TestWithParam<Family> {};

TEST_P(BasebandTwins, GiveTheHardBitProduct) {
  const Family& family = GetParam();
  testing::TempFolder folder;
  const std::string hard_path = folder.File(std::string(family.name) + ".bin");
  const std::string baseband_path = folder.File(std::string(family.name) + "." + family.format);
  testing::Simulate(std::string(family.sim) + kNoise, hard_path);
  testing::Simulate(std::string(family.sim) + kNoise + kReceiver + " --baseband " + family.format +
                        " " + family.signal,
                    baseband_path);
  Settings settings;
  settings.PNdecoding = family.derandomise;
  settings.PassDate = "2018-12-31";
  const ChainRun hard(hard_path, settings);
  ASSERT_FALSE(hard.product.empty()) << hard.Log();
  const Bytes hard_product = hard.product;
  std::remove(hard.outcome.product.c_str());

  if (std::string(family.format) != "wav")
    settings.SampleRate =
        std::string(family.sim).find("mn2") != std::string::npos ? 3000000 : 6000000;
  const ChainRun baseband(baseband_path, settings);
  ASSERT_FALSE(baseband.outcome.failed) << baseband.Log();
  EXPECT_EQ(baseband.product, hard_product) << baseband.Log();
  EXPECT_EQ(baseband.host.chain.Counts.cadus, hard.host.chain.Counts.cadus);
  EXPECT_EQ(baseband.outcome.product, hard.outcome.product);

  ASSERT_TRUE(baseband.host.chain.Counts.baseband.has_value());
  const BasebandCounts& counts = *baseband.host.chain.Counts.baseband;
  EXPECT_EQ(counts.format, std::string(family.format) == "wav" ? "cs16" : family.format);
  // The pass ends in noise: the lock may be let go there, once.
  EXPECT_LE(counts.locks_lost, 1) << baseband.Log();
  EXPECT_GE(counts.first_lock_seconds, 0);
  EXPECT_LT(counts.first_lock_seconds, family.lock_by_seconds) << baseband.Log();
  // The carrier moved along the Doppler curve, about the oscillator's offset.
  EXPECT_LT(counts.min_offset_hz, counts.max_offset_hz);
  EXPECT_GT(counts.best_snr_db, 5);
  EXPECT_TRUE(baseband.host.Logged(
      Format("Samples read: %lld (%.1f s of recording)", static_cast<long long>(counts.samples),
             static_cast<double>(counts.samples) / static_cast<double>(counts.sample_rate))));
  // The working files of the run are gone, the demodulator's soft symbols with them.
  EXPECT_FALSE(testing::FileExists(folder.File(std::string(WorkingFile::kDemodSoft))));
  EXPECT_FALSE(testing::FileExists(folder.File(std::string(WorkingFile::kSoftBits))));
  const std::string json =
      PassReportJson(baseband.host.chain.Counts, baseband.outcome.product, 0, 1);
  EXPECT_NE(json.find("\"baseband\":{\"format\":\"" + counts.format + "\""), std::string::npos)
      << json;
}

INSTANTIATE_TEST_SUITE_P(
    EveryDownlink, BasebandTwins,
    ::testing::Values(Family{"MetopB_20181231_101530", "--sat metop --packets 12", "wav",
                             "--esn0 9 --carrier-offset 20000", true, 0.05},
                      Family{"FY3A_2018-12-31_101530", "--sat fy3 --satellite A --lines 6", "cs16",
                             "--esn0 9 --carrier-offset -20000", true, 0.05},
                      Family{"FY3C_2018-12-31_101530", "--sat fy3 --satellite C --lines 6", "cf32",
                             "--esn0 9 --carrier-offset 15000", true, 0.05},
                      Family{"MN2_20181231_101530", "--sat mn2 --lines 10", "cu8",
                             "--esn0 16 --carrier-offset -15000", false, 0.29}),
    [](const ::testing::TestParamInfo<Family>& info) {
      return std::string(info.param.sim).substr(6, 3) + "_" + info.param.format;
    });

// A pass that rises out of the noise and sets into it: the demodulator writes nothing before the
// lock and after the loss, so every frame found is one the satellite sent, in order.
TEST(BasebandPass, LocksAndUnlocksWithoutAFalseFrame) {
  testing::TempFolder folder;
  const std::string path = folder.File("MetopB_20181231_101530.wav");
  testing::Simulate(
      "--sat metop --packets 30 --pass-profile --noise-seconds 0.2 --ber-top 0 "
      "--ber-horizon 0 --slips 0 --phase-flips 0 --dropouts 0 --baseband wav "
      "--esn0 10 --esn0-horizon -6 --doppler 30000 --carrier-offset -12000",
      path);
  Settings settings;
  settings.PNdecoding = true;
  settings.DFiles = false;
  const ChainRun run(path, settings);
  ASSERT_FALSE(run.product.empty()) << run.Log();
  const BasebandCounts& counts = *run.host.chain.Counts.baseband;
  const double seconds =
      static_cast<double>(counts.samples) / static_cast<double>(counts.sample_rate);
  // Not locked on the noise before the rise, nor held in the noise after the set.
  EXPECT_GT(counts.first_lock_seconds, 0.1) << run.Log();
  EXPECT_LT(counts.locked_seconds, seconds - 0.2) << run.Log();
  EXPECT_TRUE(run.host.Logged(Format("Signal at %5.1f s: no lock", seconds))) << run.Log();

  const Bytes truth = testing::ReadFileBytes(path + ".frames");
  const Bytes found = testing::ReadFileBytes(folder.File(std::string(WorkingFile::kCaduPds)));
  ASSERT_EQ(found.size() % kFrameBytes, 0u);
  std::vector<Bytes> sent;
  for (size_t at = 0; at + kFrameBytes <= truth.size(); at += kFrameBytes)
    sent.emplace_back(truth.begin() + static_cast<ptrdiff_t>(at),
                      truth.begin() + static_cast<ptrdiff_t>(at + kFrameBytes));
  // Each frame found is a sent one, in order, or one Reed-Solomon could not correct (kept as
  // received): none is made of noise before the rise or after the set.
  size_t next = 0;
  int64_t unmatched = 0;
  for (size_t at = 0; at < found.size(); at += kFrameBytes) {
    const Bytes frame(found.begin() + static_cast<ptrdiff_t>(at),
                      found.begin() + static_cast<ptrdiff_t>(at + kFrameBytes));
    size_t match = next;
    while (match < sent.size() && sent[match] != frame) ++match;
    if (match == sent.size()) {
      ++unmatched;
      continue;
    }
    next = match + 1;
  }
  EXPECT_LE(unmatched, run.host.chain.Counts.rs_uncorrectable_frames) << run.Log();
  EXPECT_LE(found.size() / kFrameBytes, sent.size());
  // Most of the pass came through: the horizons are below what any receiver decodes.
  EXPECT_GT(found.size() / kFrameBytes, sent.size() / 2) << run.Log();
}

// A sample rate or sample format that is not the recording's: the carrier is not found (or the
// rate is refused), and the run says so without a product.
TEST(BasebandPass, AWrongRateOrFormatGivesNoProduct) {
  testing::TempFolder folder;
  const std::string cs16 = folder.File("MetopB_20181231_101530.cs16");
  const std::string cu8 = folder.File("MetopB_20181231_101530.cu8");
  testing::Simulate("--sat metop --packets 6 --baseband cs16 --esn0 12", cs16);
  testing::Simulate("--sat metop --packets 6 --baseband cu8 --esn0 12", cu8);
  struct Case {
    const char* what;
    std::string path;
    int64_t rate;
    const char* format;
    const char* reason;
  };
  const Case cases[] = {
      {"rate too low", cs16, 2400000, "", "The sample rate of "},
      {"rate a third too high", cs16, 8000000, "", "No "},
      {"8-bit samples read as 16-bit", cu8, 6000000, "cs16", "No "},
      {"16-bit samples read as 8-bit", cs16, 6000000, "cu8", "No "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Settings settings;
    settings.PNdecoding = true;
    settings.SampleRate = c.rate;
    settings.BasebandFormat = c.format;
    const ChainRun run(c.path, settings);
    EXPECT_TRUE(run.outcome.failed) << run.Log();
    EXPECT_TRUE(run.outcome.product.empty());
    EXPECT_EQ(run.outcome.error.rfind(c.reason, 0), 0u) << run.outcome.error << "\n" << run.Log();
    EXPECT_FALSE(testing::FileExists(folder.File("MetopB_20181231_1015_M03.hpt")));
    // Whether the demodulator found no carrier or the decoder no code in what it made, the line
    // names the recording and what may be wrong with how it is read.
    EXPECT_NE(run.outcome.error.find(c.path), std::string::npos) << run.outcome.error;
    EXPECT_NE(run.outcome.error.find("sample rate"), std::string::npos) << run.outcome.error;
  }
}

}  // namespace
}  // namespace vantrel
