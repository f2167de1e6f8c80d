// The parity-check screen before the lock searches (viterbi/code_screen.h): its check is one of
// the code's, every block the straightforward search locks in scores above the threshold
// (simulated passes at the lowest Eb/N0 of the sweep, after and before a demodulator's noise,
// every rotation and swap), and content without the code scores below it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "sim/convolutional_encoder.h"
#include "sim/simulator.h"
#include "sim/soft_symbols.h"
#include "sync/soft_symbol_stage.h"
#include "tests/sync/soft_search_reference.h"
#include "viterbi/code_screen.h"

namespace vantrel {
namespace {

using Values = std::vector<int8_t>;
constexpr uint64_t kSeed = 20261210;
constexpr size_t kBlock = MetopSoftDecoder::kBlockValues;

int8_t Clip(double value) {
  return static_cast<int8_t>(std::clamp(std::lround(value), -128L, 127L));
}

// A demodulator's values with no signal, or held at one point (i, q) of the plane (a carrier).
Values Noise(size_t count, uint64_t seed, double sigma, double i = 0, double q = 0) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> gauss(0, sigma);
  Values values(count);
  for (size_t k = 0; k < count; ++k) values[k] = Clip((k % 2 == 0 ? i : q) + gauss(rng));
  return values;
}

// Every puncturing pattern's check sums to 0 on every codeword: random bits coded, punctured,
// and the check evaluated at every period of the hard decisions.
TEST(LowestWeightCheck, HoldsOnEveryCodewordOfEachPattern) {
  for (const auto& [puncturing, pattern] :
       {std::pair{ViterbiDecoder::Puncturing::kMetop, sim::Puncture34::kMetop},
        std::pair{ViterbiDecoder::Puncturing::kCommon, sim::Puncture34::kCommon}}) {
    const PunctureCheck check = LowestWeightCheck(puncturing);
    std::mt19937_64 rng(kSeed);
    std::vector<uint8_t> bits(30000);
    for (uint8_t& bit : bits) bit = static_cast<uint8_t>(rng() & 1);
    sim::ConvolutionalEncoder encoder;
    std::vector<uint8_t> coded;
    encoder.Encode(bits, coded);
    const std::vector<uint8_t> sent = sim::Puncture(coded, pattern);
    size_t failed = 0, checked = 0;
    // From the third period on (the encoder's first state is known only to the encoder).
    for (size_t first = 8; first + 40 < sent.size(); first += 4, ++checked) {
      unsigned parity = 0;
      for (const int symbol : check.symbols) parity ^= sent[first + static_cast<size_t>(symbol)];
      failed += parity;
    }
    EXPECT_EQ(failed, 0u);
    EXPECT_GT(checked, 9000u);
    // A different pattern's check does not hold: the screen tells the patterns apart.
    const PunctureCheck other = LowestWeightCheck(puncturing == ViterbiDecoder::Puncturing::kMetop
                                                      ? ViterbiDecoder::Puncturing::kCommon
                                                      : ViterbiDecoder::Puncturing::kMetop);
    size_t other_failed = 0;
    for (size_t first = 8; first + 40 < sent.size(); first += 4) {
      unsigned parity = 0;
      for (const int symbol : other.symbols) parity ^= sent[first + static_cast<size_t>(symbol)];
      other_failed += parity;
    }
    EXPECT_GT(other_failed, checked / 4);
  }
}

// --- Every block that locks today passes ---

enum class Family { kMetop, kFy3 };

struct LockCase {
  Family family;
  double ebn0;
  int rotation;
  bool swap;
};

std::string Name(const LockCase& c) {
  return std::string(c.family == Family::kMetop ? "MetOp" : "FY3") + "_" +
         std::to_string(static_cast<int>(c.ebn0 * 10)) + "cB_" + std::to_string(c.rotation) +
         (c.swap ? "_swapped" : "");
}

// Noise, the pass, noise: the pass starts and ends mid-block.
Values Recording(const LockCase& c) {
  std::vector<uint8_t> pass;
  if (c.family == Family::kMetop) {
    sim::MetopOptions options;
    options.packets = 6;
    pass =
        sim::MakeMetopPass(options, sim::CaduEncoding{}, sim::Impairments{}, kSeed).recording.bytes;
  } else {
    sim::Fy3Options options;
    options.lines = 2;
    pass =
        sim::MakeFy3Pass(options, sim::CaduEncoding{}, sim::Impairments{}, kSeed).recording.bytes;
  }
  sim::SoftOptions options;
  options.modulation =
      c.family == Family::kMetop ? sim::SoftModulation::kMetopQpsk : sim::SoftModulation::kFy3Qpsk;
  options.rotation = c.rotation;
  options.iq_swap = c.swap;
  options.ebn0_db = c.ebn0;
  options.seed = kSeed + static_cast<uint64_t>(c.rotation);
  // The demodulator's noise as loud as the signal is (its values' spread with no signal).
  Values values = Noise(kBlock + 40001, kSeed + 1, 60);
  sim::SoftSymbolWriter writer(options, [&values](const uint8_t* data, size_t size) {
    values.insert(values.end(), reinterpret_cast<const int8_t*>(data),
                  reinterpret_cast<const int8_t*>(data) + size);
  });
  writer.Write(pass.data(), pass.size());
  writer.Finish();
  const Values after = Noise(kBlock + 20003, kSeed + 2, 60);
  values.insert(values.end(), after.begin(), after.end());
  return values;
}

class ScreenPassesLocks : public ::testing::TestWithParam<LockCase> {};

TEST_P(ScreenPassesLocks, EveryBlockTheSearchLocksInScoresAboveTheThreshold) {
  const LockCase& c = GetParam();
  const Values values = Recording(c);
  CodeScreen screen;
  size_t locks = 0;
  double lowest = INFINITY;
  // Every block at every start a stream may cut it at: whole blocks, and blocks from halfway.
  for (size_t at = 0; at + kBlock / 4 < values.size(); at += kBlock / 2) {
    const size_t count = std::min(kBlock, values.size() - at);
    const int8_t* block = values.data() + at;
    const bool lock = c.family == Family::kMetop
                          ? reference::FindMetopLock(block, count).has_value()
                          : reference::FindFy3Lock(block, count).has_value();
    if (!lock) continue;
    ++locks;
    const double score = c.family == Family::kMetop ? screen.MetopScore(block, count)
                                                    : screen.Fy3Score(block, count);
    lowest = std::min(lowest, score);
    EXPECT_GE(score, kMinCodeScore) << "block from value " << at;
  }
  EXPECT_GT(locks, 0u);
  std::printf("%s: %zu blocks lock, the lowest score %.1f\n", Name(c).c_str(), locks, lowest);
}

std::vector<LockCase> LockCases() {
  std::vector<LockCase> cases;
  for (const Family family : {Family::kMetop, Family::kFy3})
    for (const double ebn0 : {1.0})
      for (const int rotation : {0, 90, 180, 270})
        for (const bool swap : {false, true}) cases.push_back({family, ebn0, rotation, swap});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Passes, ScreenPassesLocks, ::testing::ValuesIn(LockCases()),
                         [](const ::testing::TestParamInfo<LockCase>& info) {
                           return Name(info.param);
                         });

// --- Content without the code is rejected ---

struct NoCodeCase {
  const char* name;
  double sigma;
  double i, q;  // the point a carrier is held at (0, 0: no carrier)
};

class ScreenRejects : public ::testing::TestWithParam<NoCodeCase> {};

// Sixteen blocks of each, for both families: every score below the threshold (noise passes it
// about once in a thousand blocks, a carrier never: its checks that are not constant fail).
TEST_P(ScreenRejects, NoBlockOfItScoresAboveTheThreshold) {
  const NoCodeCase& c = GetParam();
  CodeScreen screen;
  double highest[2] = {-INFINITY, -INFINITY};
  for (uint64_t block = 0; block < 16; ++block) {
    const Values values = Noise(kBlock, kSeed + 100 * block, c.sigma, c.i, c.q);
    highest[0] = std::max(highest[0], screen.MetopScore(values.data(), values.size()));
    highest[1] = std::max(highest[1], screen.Fy3Score(values.data(), values.size()));
  }
  EXPECT_LT(highest[0], kMinCodeScore);
  EXPECT_LT(highest[1], kMinCodeScore);
  std::printf("%s: highest score MetOp %.1f, FY-3 %.1f\n", c.name, highest[0], highest[1]);
}

INSTANTIATE_TEST_SUITE_P(
    Content, ScreenRejects,
    ::testing::Values(NoCodeCase{"quiet_noise", 12, 0, 0}, NoCodeCase{"noise", 40, 0, 0},
                      NoCodeCase{"clipped_noise", 120, 0, 0}, NoCodeCase{"carrier", 24, 64, 64},
                      NoCodeCase{"carrier_turned", 24, 64, -64},
                      NoCodeCase{"weak_carrier", 40, 50, 30},
                      NoCodeCase{"carrier_on_one_branch", 30, -90, 0},
                      NoCodeCase{"strong_carrier", 3, 100, -100}),
    [](const ::testing::TestParamInfo<NoCodeCase>& info) { return std::string(info.param.name); });

// Blocks too short for a run are always searched; a block of zeros has no check with a weight.
TEST(ScreenEdges, ShortBlocksPassZerosScoreNothing) {
  CodeScreen screen;
  const Values noise = Noise(4 * CodeScreen::kWindowValues, kSeed, 40);
  EXPECT_EQ(screen.MetopScore(noise.data(), noise.size()), INFINITY);
  EXPECT_EQ(screen.Fy3Score(noise.data(), noise.size()), INFINITY);
  EXPECT_EQ(screen.MetopScore(noise.data(), 0), INFINITY);
  const Values zeros(kBlock, 0);
  EXPECT_EQ(screen.MetopScore(zeros.data(), zeros.size()), 0.0);
  EXPECT_EQ(screen.Fy3Score(zeros.data(), zeros.size()), 0.0);
}

}  // namespace
}  // namespace vantrel
