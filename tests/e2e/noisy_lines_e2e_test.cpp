// Meteor-M N2 passes whose horizons are mostly noise: the lines the pass report counts as noisy
// (from their frames' marker errors) are the lines whose product record is mostly wrong by the
// simulator's truth. A line is noisy by the truth when fewer of its product bytes are right than
// at the threshold's bit error rate, (1 - 0.05)^8 = 66 %.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "app/driver.h"
#include "core/frame_tags.h"
#include "core/pass_report.h"
#include "core/working_file.h"
#include "fy3/inner_sync_stage.h"
#include "meteor/dat_writer.h"
#include "meteor/msu_mr_demultiplexer.h"
#include "sim/simulator.h"
#include "sync/cadu_extraction_stage.h"
#include "tests/meteor/dat_expected.h"
#include "tests/support/marked_chain.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

constexpr size_t kLine = 11850;
constexpr size_t kUnitsBytes = 392 * 30;  // the packed samples of a product record
constexpr double kTruthThreshold = 0.05;  // the README's threshold, written out here

struct NoisyCase {
  const char* name;
  double ber_horizon;  // bit error rate of the first and last CADU
  uint64_t seed;
  int lines;
  // Fewest lines the estimate must class as the truth does, in hundredths of the lines.
  int least_agreement_percent;
};

// The simulator's truth: every line it sent, and each line's samples.
struct Truth {
  std::vector<uint8_t> recording;
  std::vector<std::vector<uint16_t>> samples;
};

Truth StreamPass(const NoisyCase& c) {
  sim::Impairments impairments;
  impairments.noise_before = 20000;
  impairments.noise_after = 20000;
  impairments.profile.enabled = true;
  impairments.profile.ber_horizon = c.ber_horizon;
  impairments.profile.ber_top = 1e-6;
  impairments.profile.slips = 2;
  impairments.profile.phase_flips = 1;
  impairments.profile.dropouts = 2;
  impairments.profile.dropout_frames = 2;
  sim::Mn2Options options;
  options.lines = c.lines;
  Truth truth;
  sim::PassSinks sinks;
  sinks.recording = [&truth](const uint8_t* data, size_t size) {
    truth.recording.insert(truth.recording.end(), data, data + size);
  };
  sinks.samples = [&truth](const uint16_t* data, size_t count) {
    truth.samples.emplace_back(data, data + count);
  };
  sim::StreamMn2Pass(options, impairments, c.seed, sinks);
  return truth;
}

// The share of a product record's sample bytes that are right, against the truth line it
// matches best (lines come in order: the search starts after the last line matched).
std::vector<double> RightShares(const std::vector<uint8_t>& product,
                                const std::vector<std::vector<uint8_t>>& expected) {
  std::vector<double> shares;
  size_t next = 0;
  for (size_t at = testing::kDatRecord; at + testing::kDatRecord <= product.size();
       at += testing::kDatRecord) {
    const uint8_t* units = &product[at + testing::kDatUnitsAt];
    double best = 0;
    size_t best_line = next;
    for (size_t t = next; t < std::min(expected.size(), next + 16); ++t) {
      const uint8_t* truth = &expected[t][testing::kDatUnitsAt];
      size_t right = 0;
      for (size_t k = 0; k < kUnitsBytes; ++k) right += units[k] == truth[k];
      const double share = static_cast<double>(right) / kUnitsBytes;
      if (share > best) {
        best = share;
        best_line = t;
      }
    }
    // A record of noise matches no line: the next record is looked for from the same place.
    if (best > 0.2) next = best_line + 1;
    shares.push_back(best);
  }
  return shares;
}

class NoisyLinesEndToEnd : public ::testing::TestWithParam<NoisyCase> {};

TEST_P(NoisyLinesEndToEnd, NoisyLinesAreTheOnesTheTruthFindsMostlyWrong) {
  const NoisyCase& c = GetParam();
  SCOPED_TRACE("seed " + std::to_string(c.seed));
  testing::TempFolder folder;
  const Truth truth = StreamPass(c);
  const std::string name = "MN2_20181231_101530.bin";
  testing::WriteFileBytes(folder.File(name), truth.recording);

  // The whole run, as the window and the command line make it.
  testing::RecordingHost host;
  host.input_path = folder.File(name);
  host.chain.BatchMode = true;
  const RunOutcome outcome = ProcessRecording(host);
  ASSERT_FALSE(outcome.failed) << outcome.error;
  const std::vector<uint8_t> product = testing::ReadFileBytes(outcome.product);

  // The truth: which product lines are mostly wrong.
  std::vector<std::vector<uint8_t>> expected;
  for (const std::vector<uint16_t>& samples : truth.samples)
    expected.push_back(testing::ExpectedDatRecord(samples));
  const std::vector<double> shares = RightShares(product, expected);
  const double least_right = std::pow(1 - kTruthThreshold, 8);
  std::vector<bool> truly_noisy;
  for (double share : shares) truly_noisy.push_back(share < least_right);

  // The estimate of every line: its marker errors as the steps before the writer hand them on.
  testing::RecordingHost steps_host;
  steps_host.input_path = folder.File(name);
  steps_host.settings.RSolomon = false;  // as the driver runs a Meteor-M chain
  const std::vector<StreamMark> marks = testing::RunMarkedChain(
      steps_host, name, {}, {kCaduExtractionStep, kMsuMrDemultiplexerStep, kMn2InnerSyncStep});
  std::vector<bool> estimated_noisy(shares.size(), false);
  size_t measured = 0;
  for (const StreamMark& mark : marks) {
    const auto errors = MarkerErrors::FromMark(mark.value);
    const auto line = static_cast<size_t>(mark.offset) / kLine;
    if (!errors || line >= shares.size()) continue;
    ++measured;
    estimated_noisy[line] = errors->BitErrorRate() > kTruthThreshold;
  }
  EXPECT_EQ(measured, shares.size());

  size_t agree = 0, truly = 0;
  for (size_t k = 0; k < shares.size(); ++k) {
    agree += estimated_noisy[k] == truly_noisy[k];
    truly += truly_noisy[k];
    if (estimated_noisy[k] != truly_noisy[k])
      std::printf("[ figures  ] line %zu: %.1f%% right, estimated noisy: %d\n", k + 1,
                  100 * shares[k], static_cast<int>(estimated_noisy[k]));
  }
  std::printf("[ figures  ] %s: %zu lines, %zu noisy by the truth, estimate agrees on %zu\n",
              c.name, shares.size(), truly, agree);
  EXPECT_GE(agree * 100, shares.size() * static_cast<size_t>(c.least_agreement_percent));

  // The report counts the lines the estimate found, and says where the first and last are.
  const PassCounts& counts = host.chain.Counts;
  ASSERT_TRUE(counts.noisy_lines);
  const auto first = std::find(estimated_noisy.begin(), estimated_noisy.end(), true);
  const auto last = std::find(estimated_noisy.rbegin(), estimated_noisy.rend(), true);
  const auto count = std::count(estimated_noisy.begin(), estimated_noisy.end(), true);
  EXPECT_EQ(counts.noisy_lines->noisy, count);
  EXPECT_EQ(counts.noisy_lines->measured, static_cast<int64_t>(shares.size()));
  EXPECT_EQ(counts.noisy_lines->first, count == 0 ? 0 : first - estimated_noisy.begin() + 1);
  EXPECT_EQ(counts.noisy_lines->last, count == 0 ? 0 : estimated_noisy.rend() - last);
  // Against the truth's count directly, within the lines the two may class apart.
  const auto truth_count = static_cast<int64_t>(truly);
  EXPECT_LE(std::abs(counts.noisy_lines->noisy - truth_count),
            static_cast<int64_t>(shares.size() - agree));
}

// Horizons from a clean one (no line mostly wrong) to ones where the last lines are mostly noise.
const NoisyCase kCases[] = {
    {"CleanHorizon", 0.003, 20181231, 120, 100}, {"DefaultHorizon", 0.02, 20181231, 200, 98},
    {"NoisyHorizon", 0.15, 20181231, 300, 97},   {"NoisyHorizonOtherSeed", 0.15, 7, 300, 97},
    {"VeryNoisyHorizon", 0.3, 42, 300, 97},
};

INSTANTIATE_TEST_SUITE_P(Horizons, NoisyLinesEndToEnd, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<NoisyCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace vantrel
