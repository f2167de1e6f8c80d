// The demodulation step reads, converts and prepares its samples on a thread of its own when the
// chain runs on threads, a few blocks ahead of the demodulator; in the one-thread mode it does the
// same work in turn. The soft symbols, the product and every log line must be the same either way,
// for each downlink and at sample rates whose blocks fall differently over the recording (a
// recording's last, partial block goes to the demodulator as it came). Also under
// ThreadSanitizer.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/driver.h"
#include "core/working_file.h"
#include "tests/support/chain_run.h"
#include "tests/support/programs.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using Bytes = std::vector<uint8_t>;

struct Recording {
  const char* name;    // with the satellite's marker and the format's extension
  const char* sim;     // vantrel-sim's pass and signal
  int64_t samplerate;  // for a raw format; 0 for a WAV
  bool derandomise;
};

// What one run leaves: its soft symbols, its product and its log.
struct Left {
  Bytes soft;
  Bytes product;
  std::string log;
  bool failed = true;
};

Left RunWithThreads(const std::string& path, const Settings& settings, bool threads) {
  if (threads) {
    unsetenv("VANTREL_THREADS");
  } else {
    setenv("VANTREL_THREADS", "1", 1);
  }
  testing::ChainRun run(path, settings);
  unsetenv("VANTREL_THREADS");
  Left left;
  left.soft = testing::ReadFileBytes(WorkingPath(WorkingFile::kDemodSoft));
  left.product = run.product;
  left.log = run.Log();
  left.failed = run.outcome.failed;
  // Nothing left for the next run to find (it would say that it removed it).
  std::remove(run.outcome.product.c_str());
  for (const std::string_view name :
       {WorkingFile::kCvcduMan, WorkingFile::kDemodSoft, WorkingFile::kSoftBits,
        WorkingFile::kCaduPds, WorkingFile::kCvcduRs, WorkingFile::kVcduVcd, WorkingFile::kMpduMpd,
        WorkingFile::kApidPkt, WorkingFile::kFy3Lines, WorkingFile::kMsuMrDmx,
        WorkingFile::kMn2Lines})
    std::remove(WorkingPath(name).c_str());
  return left;
}

class DemodulationThreads : public ::testing::TestWithParam<Recording> {};

TEST_P(DemodulationThreads, ReadingAheadChangesNothing) {
  const Recording& recording = GetParam();
  testing::TempFolder folder;
  const std::string path = folder.File(recording.name);
  testing::Simulate(std::string(recording.sim) + " --noise-before 20000 --noise-after 20000", path);
  Settings settings;
  settings.PNdecoding = recording.derandomise;
  settings.PassDate = "2018-12-31";
  settings.SampleRate = recording.samplerate;
  settings.DFiles = false;  // keep demod.soft

  const Left threaded = RunWithThreads(path, settings, true);
  ASSERT_FALSE(threaded.failed) << threaded.log;
  ASSERT_FALSE(threaded.soft.empty());
  const Left alone = RunWithThreads(path, settings, false);
  EXPECT_TRUE(alone.soft == threaded.soft);
  EXPECT_TRUE(alone.product == threaded.product);
  EXPECT_EQ(alone.log, threaded.log);
}

INSTANTIATE_TEST_SUITE_P(
    Downlinks, DemodulationThreads,
    ::testing::Values(
        Recording{"MetopB_20181231_101530.wav",
                  "--sat metop --packets 5 --baseband wav --esn0 9 --carrier-offset 20000", 0,
                  true},
        Recording{"MetopB_20181231_101530.cs16",
                  "--sat metop --packets 5 --baseband cs16 --esn0 9 --samplerate 2880000", 2880000,
                  true},
        Recording{"FY3C_2018-12-31_101530.cu8",
                  "--sat fy3 --satellite C --lines 4 --baseband cu8 --esn0 9", 6000000, true},
        Recording{"MN2_20181231_101530.cf32", "--sat mn2 --lines 6 --baseband cf32 --esn0 16",
                  3000000, false}),
    [](const ::testing::TestParamInfo<Recording>& info) {
      const std::string name = info.param.name;
      return name.substr(0, name.find('_')) + "_" + name.substr(name.rfind('.') + 1);
    });

}  // namespace
}  // namespace vantrel
