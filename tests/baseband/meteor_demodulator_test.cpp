// The Meteor-M N2 demodulator against a test signal made apart from it: each block on its own
// (the carrier search on known tones and on noise, the PLL through a pass's Doppler ramp, the bit
// timing on a known offset and clock error), then the whole demodulator: bit error rates against
// ideal BPSK, locking onto a signal that starts in noise, losing it when it fades, modulation
// indices, reports, and configurations it refuses.
#include "baseband/meteor_demodulator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "tests/baseband/meteor_test_signal.h"

namespace vantrel {
namespace {

using testing::BitComparison;
using testing::CompareBits;
using testing::IdealBpskBer;
using testing::MakeMeteorSignal;
using testing::MeteorSignalParams;
using testing::RandomBits;

constexpr double kBitRate = 665.4e3;

double WrapPhase(double phase) {
  return phase - 2 * std::numbers::pi * std::nearbyint(phase / (2 * std::numbers::pi));
}

// ---------------------------------------------------------------------------------------------
// Carrier search

TEST(ResidualCarrierSearchTest, FindsTheCarrierWithinAFractionOfABinAtTheNoiseFloor) {
  // beta 1.45 leaves the carrier cos^2(1.45) = 1.5 % of the power: the weakest case.
  for (const double offset : {-57321.7, -12345.6, 137.2, 31000.9, 58800.1}) {
    SCOPED_TRACE(offset);
    MeteorSignalParams params;
    params.beta = 1.45;
    params.es_n0_db = 2;
    params.carrier_offset_hz = offset;
    params.carrier_phase = 2.1;
    params.seed = static_cast<uint64_t>(offset + 1e5);
    ResidualCarrierSearch search(params.sample_rate, 60000);
    const auto bits = RandomBits(search.BlockSize() / 4 + 16, 7);
    const auto samples = MakeMeteorSignal(params, bits);
    ASSERT_GE(samples.size(), search.BlockSize());
    const auto result = search.Search(samples.data());
    ASSERT_TRUE(result.found) << "peak ratio " << result.peak_ratio;
    const double bin_hz = params.sample_rate / static_cast<double>(search.FftSize());
    EXPECT_LT(std::abs(result.offset_hz - offset), 0.05 * bin_hz);
    EXPECT_LT(std::abs(WrapPhase(result.phase - params.carrier_phase)), 0.3);
    EXPECT_NEAR(result.amplitude, std::cos(params.beta), 0.2 * std::cos(params.beta));
  }
}

TEST(ResidualCarrierSearchTest, FindsNothingInNoiseOrOutsideItsRange) {
  ResidualCarrierSearch search(3e6, 60000);
  MeteorSignalParams noise;
  noise.es_n0_db = 0;
  for (uint64_t seed = 1; seed <= 40; ++seed) {
    noise.seed = seed;
    const auto samples = MakeMeteorSignal(noise, {}, search.BlockSize());
    const auto result = search.Search(samples.data());
    EXPECT_FALSE(result.found) << "seed " << seed << " peak ratio " << result.peak_ratio;
  }
  MeteorSignalParams outside;
  outside.es_n0_db = 10;
  outside.carrier_offset_hz = 90000;
  const auto samples = MakeMeteorSignal(outside, RandomBits(search.BlockSize() / 4 + 16, 3));
  EXPECT_FALSE(search.Search(samples.data()).found);
}

// ---------------------------------------------------------------------------------------------
// Carrier tracking

TEST(ResidualCarrierPllTest, FollowsA400HzPerSecondRampAt40kHz) {
  MeteorSignalParams params;
  params.carrier_offset_hz = 40000;
  params.carrier_drift_hz_per_s = 400;
  params.es_n0_db = 3;
  params.carrier_phase = -1.0;
  const size_t samples_wanted = static_cast<size_t>(1.5 * params.sample_rate);
  const auto samples =
      MakeMeteorSignal(params, RandomBits(static_cast<size_t>(1.5 * kBitRate), 11));
  ResidualCarrierPll pll(params.sample_rate, 200);
  // Started 25 Hz and half a radian off, as after a coarse search.
  pll.Reset(40025, params.carrier_phase + 0.5, std::cos(params.beta));
  constexpr size_t kBlock = 30000;  // 10 ms
  std::vector<float> quadrature(kBlock);
  double worst_offset_error = 0, worst_phase_error = 0;
  for (size_t at = 0; at + kBlock <= samples_wanted; at += kBlock) {
    pll.Process(samples.data() + at, kBlock, quadrature.data());
    const auto sums = pll.TakeCarrierSums();
    if (at < 5 * kBlock) continue;  // 50 ms to settle
    const double seconds = static_cast<double>(at + kBlock) / params.sample_rate;
    const double truth = params.carrier_offset_hz + params.carrier_drift_hz_per_s * seconds;
    worst_offset_error = std::max(worst_offset_error, std::abs(pll.OffsetHz() - truth));
    ASSERT_GT(sums.in_phase, 0) << "at " << seconds << " s";
    worst_phase_error =
        std::max(worst_phase_error, std::abs(std::atan2(sums.quadrature, sums.in_phase)));
  }
  EXPECT_LT(worst_offset_error, 10);
  EXPECT_LT(worst_phase_error, 0.1);
}

// ---------------------------------------------------------------------------------------------
// Bit timing

// The quadrature component of a signal with an ideal carrier.
std::vector<float> Quadrature(const MeteorSignalParams& params, const std::vector<uint8_t>& bits) {
  const auto samples = MakeMeteorSignal(params, bits);
  std::vector<float> quadrature(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) quadrature[i] = samples[i].imag();
  return quadrature;
}

std::vector<int8_t> Signs(const std::vector<float>& values) {
  std::vector<int8_t> signs;
  for (const float v : values) signs.push_back(v > 0 ? 1 : -1);
  return signs;
}

TEST(ManchesterBitSyncTest, FollowsAFractionalOffsetAndA50PpmClockError) {
  for (const double ppm : {50.0, -50.0}) {
    SCOPED_TRACE(ppm);
    MeteorSignalParams params;
    params.clock_error_ppm = ppm;
    params.timing_offset_bits = 0.37;
    const auto bits = RandomBits(200000, 5);
    const auto quadrature = Quadrature(params, bits);
    ManchesterBitSync sync(params.sample_rate, kBitRate);
    std::vector<float> values;
    for (size_t at = 0; at < quadrature.size(); at += 1001)  // odd pieces: state across calls
      sync.Process(quadrature.data() + at, std::min<size_t>(1001, quadrature.size() - at), values);
    const BitComparison match = CompareBits(Signs(values), bits, 4);
    ASSERT_GE(match.errors, 0);
    EXPECT_FALSE(match.inverted);
    EXPECT_EQ(match.errors, 0);
    EXPECT_GT(match.compared, 199000);
    EXPECT_EQ(sync.PairingSlips(), 0u);
    const double expected = params.sample_rate * (1 + ppm * 1e-6) / kBitRate;
    EXPECT_NEAR(sync.SamplesPerBit() / expected - 1, 0, 3e-6);
  }
}

TEST(ManchesterBitSyncTest, KeepsThePairingThroughLongRunsOfOneBitValue) {
  // Runs of equal bits look the same paired either way; the pairing must not wander there.
  MeteorSignalParams params;
  params.timing_offset_bits = 0.81;
  params.es_n0_db = 6;
  auto bits = RandomBits(60000, 9);
  for (size_t i = 20000; i < 30000; ++i) bits[i] = 0;
  for (size_t i = 40000; i < 45000; ++i) bits[i] = 1;
  const auto quadrature = Quadrature(params, bits);
  ManchesterBitSync sync(params.sample_rate, kBitRate);
  std::vector<float> values;
  sync.Process(quadrature.data(), quadrature.size(), values);
  const BitComparison match = CompareBits(Signs(values), bits, 4);
  ASSERT_GE(match.errors, 0);
  EXPECT_EQ(sync.PairingSlips(), 0u);
  // Eb/N0 6 dB: about 140 errors in 60000 bits.
  EXPECT_LT(match.errors, 3 * IdealBpskBer(6) * 60000);
}

TEST(ManchesterBitSyncTest, MatchedFilterOfTheWholeBitReachesIdealBpsk) {
  MeteorSignalParams params;
  params.es_n0_db = 4;
  params.timing_offset_bits = 0.5;
  params.clock_error_ppm = 30;
  const auto bits = RandomBits(300000, 21);
  const auto quadrature = Quadrature(params, bits);
  ManchesterBitSync sync(params.sample_rate, kBitRate);
  std::vector<float> values;
  sync.Process(quadrature.data(), quadrature.size(), values);
  const BitComparison match = CompareBits(Signs(values), bits, 4);
  ASSERT_GE(match.errors, 0);
  const double ber = static_cast<double>(match.errors) / static_cast<double>(match.compared);
  EXPECT_LT(ber, IdealBpskBer(4 - 0.3));
  EXPECT_GT(ber, 0.85 * IdealBpskBer(4));
}

TEST(ManchesterBitSyncTest, ChoosesTheMatchedFilterForSamplesTakenAtInstantsOrAveraged) {
  // Averaged over its period, a sample astride a boundary holds less of the bit: the best a
  // receiver can do is ideal BPSK at the energy the averaging left, which the noiseless
  // samples tell.
  for (const bool averaged : {false, true}) {
    SCOPED_TRACE(averaged ? "averaged" : "at instants");
    MeteorSignalParams params;
    params.averaged = averaged;
    params.timing_offset_bits = 0.2;
    params.clock_error_ppm = -20;
    const auto bits = RandomBits(300000, 31);
    const auto clean = Quadrature(params, bits);
    double energy = 0;
    for (const float q : clean) energy += static_cast<double>(q) * q;
    const double sent =
        std::sin(params.beta) * std::sin(params.beta) * static_cast<double>(clean.size());
    const double left_db = 10 * std::log10(energy / sent);
    params.es_n0_db = 4;
    const auto quadrature = Quadrature(params, bits);
    ManchesterBitSync sync(params.sample_rate, kBitRate);
    std::vector<float> values;
    sync.Process(quadrature.data(), quadrature.size(), values);
    EXPECT_EQ(sync.Filter(), averaged ? ManchesterBitSync::kFilters - 1 : 0);
    const BitComparison match = CompareBits(Signs(values), bits, 4);
    ASSERT_GE(match.errors, 0);
    const double ber = static_cast<double>(match.errors) / static_cast<double>(match.compared);
    EXPECT_LT(ber, IdealBpskBer(4 + left_db - 0.3)) << "energy left " << left_db << " dB";
    if (averaged) {
      EXPECT_LT(left_db, -0.8);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The whole demodulator

DemodulatorConfig Config(double sample_rate = 3e6) {
  DemodulatorConfig config;
  config.sample_rate = sample_rate;
  config.symbol_rate = kBitRate;
  return config;
}

std::vector<int8_t> Demodulate(Demodulator& demodulator,
                               const std::vector<std::complex<float>>& samples,
                               size_t piece = 65536) {
  std::vector<int8_t> out;
  for (size_t at = 0; at < samples.size(); at += piece)
    demodulator.Process(samples.data() + at, std::min(piece, samples.size() - at), out);
  demodulator.Finish(out);
  return out;
}

// Measured bit error rate of the whole demodulator on `bits` bits at Eb/N0 `eb_n0_db`.
struct Measured {
  double ber = 1;
  long errors = -1;
  long compared = 0;
};
Measured MeasureBer(MeteorSignalParams params, double eb_n0_db, size_t count,
                    double sample_rate = 3e6) {
  params.es_n0_db = eb_n0_db;
  params.sample_rate = sample_rate;
  const auto bits = RandomBits(count, params.seed + 100);
  const auto demodulator = MakeMeteorDemodulator(Config(sample_rate));
  const auto values = Demodulate(*demodulator, MakeMeteorSignal(params, bits));
  const BitComparison match = CompareBits(values, bits, 8);
  Measured measured;
  if (match.errors < 0 || match.compared == 0) return measured;
  measured.errors = match.errors;
  measured.compared = match.compared;
  measured.ber = static_cast<double>(match.errors) / static_cast<double>(match.compared);
  return measured;
}

MeteorSignalParams PassLikeSignal() {
  MeteorSignalParams params;
  params.carrier_offset_hz = 23456.7;
  params.carrier_drift_hz_per_s = -400;
  params.carrier_phase = 0.7;
  params.clock_error_ppm = 30;
  params.timing_offset_bits = 0.3;
  params.amplitude = 0.25;
  params.dc = {0.02f, -0.01f};
  params.seed = 42;
  return params;
}

TEST(MeteorDemodulatorTest, BitErrorRateWithin1DbOfIdealBpsk) {
  struct Point {
    double eb_n0_db;
    size_t bits;
  };
  for (const Point point : {Point{2, 300000}, Point{4, 300000}, Point{6, 600000}}) {
    SCOPED_TRACE(point.eb_n0_db);
    const Measured measured = MeasureBer(PassLikeSignal(), point.eb_n0_db, point.bits);
    ASSERT_GE(measured.errors, 0);
    EXPECT_GT(measured.compared, static_cast<long>(point.bits) - 10000);
    EXPECT_LT(measured.ber, IdealBpskBer(point.eb_n0_db - 1));
    // Better than ideal would mean the test counts wrongly.
    EXPECT_GT(measured.ber, 0.8 * IdealBpskBer(point.eb_n0_db));
  }
}

TEST(MeteorDemodulatorTest, WorksForModulationIndices08And145AndAtOtherSampleRates) {
  struct Case {
    double beta;
    double sample_rate;
  };
  for (const Case c : {Case{0.8, 3e6}, Case{1.45, 3e6}, Case{1.2, 2e6}, Case{1.2, 6e6}}) {
    SCOPED_TRACE(::testing::Message() << "beta " << c.beta << " rate " << c.sample_rate);
    MeteorSignalParams params = PassLikeSignal();
    params.beta = c.beta;
    params.carrier_offset_hz = -35000;
    const Measured measured = MeasureBer(params, 4, 200000, c.sample_rate);
    ASSERT_GE(measured.errors, 0);
    EXPECT_LT(measured.ber, IdealBpskBer(3));
  }
}

TEST(MeteorDemodulatorTest, ACarrierAtTheCentreIsNotTakenForADcOffset) {
  // No Doppler, no oscillator offset: the carrier sits at 0 Hz all pass long, where the DC
  // removal would take it; with a receiver's DC offset on top.
  for (const std::complex<float> dc : {std::complex<float>(0, 0), {0.05f, 0.03f}}) {
    SCOPED_TRACE(dc.real());
    MeteorSignalParams params = PassLikeSignal();
    params.carrier_offset_hz = 0;
    params.carrier_drift_hz_per_s = 0;
    params.dc = dc;
    const Measured measured = MeasureBer(params, 5, 200000);
    ASSERT_GE(measured.errors, 0);
    EXPECT_LT(measured.ber, IdealBpskBer(4));
  }
}

TEST(MeteorDemodulatorTest, NoiseAloneWritesNothingAndNeverLocks) {
  MeteorSignalParams noise;
  noise.es_n0_db = 0;
  noise.dc = {0.3f, 0.2f};  // a cheap receiver's DC offset is no carrier either
  const auto samples = MakeMeteorSignal(noise, {}, static_cast<size_t>(2.5 * 3e6));
  const auto demodulator = MakeMeteorDemodulator(Config());
  EXPECT_TRUE(Demodulate(*demodulator, samples).empty());
  EXPECT_EQ(demodulator->Summary().locks, 0u);
  EXPECT_TRUE(std::isnan(demodulator->Summary().first_lock_seconds));
  EXPECT_EQ(demodulator->Summary().samples, samples.size());
  std::vector<SignalReport> reports;
  demodulator->TakeReports(reports);
  ASSERT_EQ(reports.size(), 3u);  // two whole seconds and the half at the end
  for (const auto& report : reports) EXPECT_FALSE(report.locked);
  EXPECT_DOUBLE_EQ(reports[0].seconds, 1);
}

TEST(MeteorDemodulatorTest, ACarrierWhoseBitsAreLostInTheNoiseIsNotLocked) {
  // At Eb/N0 -10 dB the carrier (beta 1.2) still stands out of the noise, the bits do not.
  MeteorSignalParams weak = PassLikeSignal();
  weak.es_n0_db = -10;
  const auto weak_bits = RandomBits(static_cast<size_t>(0.4 * kBitRate), 4);
  const auto weak_samples = MakeMeteorSignal(weak, weak_bits);
  const auto alone = MakeMeteorDemodulator(Config());
  EXPECT_TRUE(Demodulate(*alone, weak_samples).empty());
  EXPECT_EQ(alone->Summary().locks, 0u);

  // A good signal fading into that: the lock goes with the bits.
  MeteorSignalParams good = weak;
  good.es_n0_db = 8;
  const auto bits = RandomBits(static_cast<size_t>(0.3 * kBitRate), 5);
  auto samples = MakeMeteorSignal(good, bits);
  samples.insert(samples.end(), weak_samples.begin(), weak_samples.end());
  const auto fading = MakeMeteorDemodulator(Config());
  const auto values = Demodulate(*fading, samples);
  EXPECT_EQ(fading->Summary().locks, 1u);
  EXPECT_EQ(fading->Summary().locks_lost, 1u);
  const long block_bits = static_cast<long>(32768 / 3e6 * kBitRate) + 2;
  EXPECT_LE(values.size(), bits.size() + static_cast<size_t>(block_bits));
  const BitComparison match = CompareBits(values, bits, 8);
  ASSERT_GE(match.errors, 0);
  // Cut off at once, the signal's last eighth of a block (1.4 ms) may go with the fade.
  EXPECT_GE(match.compared, static_cast<long>(bits.size()) - block_bits / 8 - 2);
  EXPECT_LT(match.errors, 3 * IdealBpskBer(8) * static_cast<double>(bits.size()) + 10);
}

TEST(MeteorDemodulatorTest, ZerosAndDamagedSamplesWriteNothing) {
  std::vector<std::complex<float>> samples(200000);
  for (size_t i = 100000; i < samples.size(); ++i) samples[i] = {NAN, i % 2 ? INFINITY : 1.0f};
  const auto demodulator = MakeMeteorDemodulator(Config());
  EXPECT_TRUE(Demodulate(*demodulator, samples).empty());
  EXPECT_EQ(demodulator->Summary().locks, 0u);
}

TEST(MeteorDemodulatorTest, LocksQuicklyOnASignalAfterNoiseAndLetsGoWhenItFades) {
  MeteorSignalParams params = PassLikeSignal();
  params.es_n0_db = 8;
  const size_t noise_before = 750000, noise_after = 750000;  // 0.25 s each
  const auto bits = RandomBits(static_cast<size_t>(0.5 * kBitRate), 77);
  const auto samples = MakeMeteorSignal(params, bits, noise_before, noise_after);
  const auto demodulator = MakeMeteorDemodulator(Config());
  const auto values = Demodulate(*demodulator, samples, 10000);
  const DemodulatorSummary& summary = demodulator->Summary();
  const double block_seconds = 32768 / 3e6;
  EXPECT_EQ(summary.locks, 1u);
  EXPECT_EQ(summary.locks_lost, 1u);
  EXPECT_GT(summary.first_lock_seconds, 0.25 - 2 * block_seconds);
  EXPECT_LT(summary.first_lock_seconds, 0.25 + block_seconds);
  // Demodulated from the start of the block the carrier was found in: at most that block's
  // noise comes before the first bit, and at most one block's after the last.
  const long block_bits = static_cast<long>(block_seconds * kBitRate) + 2;
  const BitComparison match = CompareBits(values, bits, block_bits);
  ASSERT_GE(match.errors, 0);
  EXPECT_LE(-match.shift, block_bits);
  EXPECT_LE(match.shift, 0) << "bits of the signal's start lost";
  EXPECT_LE(values.size(), bits.size() + 2 * block_bits);
  EXPECT_GE(match.compared, static_cast<long>(bits.size()) - 2);
  EXPECT_LT(match.errors, 3 * IdealBpskBer(8) * static_cast<double>(bits.size()) + 10);
  // Right from the lock on: the first bits after the signal's start.
  std::vector<int8_t> first(values.begin(), values.begin() + (-match.shift) + 2000);
  const BitComparison start = CompareBits(first, bits, block_bits);
  EXPECT_LE(start.errors, 3);
  EXPECT_EQ(summary.symbols, values.size());
  EXPECT_NEAR(summary.locked_seconds, 0.5, 2 * block_seconds);
}

TEST(MeteorDemodulatorTest, LocksAgainAfterAFadeAtAnotherOffset) {
  // Two stretches of signal with a fade between them, the second at another carrier offset and
  // timing: the second lock starts afresh (carrier, timing, pairing) and loses none of it.
  MeteorSignalParams first = PassLikeSignal();
  first.es_n0_db = 7;
  MeteorSignalParams second = first;
  second.carrier_offset_hz = -41000;
  second.timing_offset_bits = 0.77;
  second.seed = 43;
  const auto bits_a = RandomBits(200000, 1), bits_b = RandomBits(200000, 2);
  auto samples = MakeMeteorSignal(first, bits_a, 100000, 300000);
  const auto more = MakeMeteorSignal(second, bits_b, 0, 100000);
  samples.insert(samples.end(), more.begin(), more.end());
  const auto demodulator = MakeMeteorDemodulator(Config());
  const auto values = Demodulate(*demodulator, samples);
  EXPECT_EQ(demodulator->Summary().locks, 2u);
  EXPECT_EQ(demodulator->Summary().locks_lost, 2u);
  const long block_bits = static_cast<long>(32768 / 3e6 * kBitRate) + 2;
  const BitComparison a = CompareBits(values, bits_a, block_bits);
  ASSERT_GE(a.errors, 0);
  EXPECT_LE(a.shift, 0);
  EXPECT_LT(a.errors, 3 * IdealBpskBer(7) * 200000 + 10);
  // The second stretch's values come after the first's.
  const size_t second_from = static_cast<size_t>(static_cast<long>(bits_a.size()) - a.shift);
  ASSERT_LT(second_from, values.size());
  const std::vector<int8_t> rest(values.begin() + static_cast<long>(second_from), values.end());
  const BitComparison b = CompareBits(rest, bits_b, 3 * block_bits);
  ASSERT_GE(b.errors, 0);
  EXPECT_LE(b.shift, 0);
  EXPECT_GE(b.compared, 200000 - 2);
  EXPECT_LT(b.errors, 3 * IdealBpskBer(7) * 200000 + 10);
}

TEST(MeteorDemodulatorTest, ReportsEachSecondTheOffsetAndEsN0) {
  MeteorSignalParams params = PassLikeSignal();
  params.es_n0_db = 5;
  params.carrier_drift_hz_per_s = 0;
  const auto bits = RandomBits(static_cast<size_t>(1.3 * kBitRate), 3);
  const auto demodulator = MakeMeteorDemodulator(Config());
  std::vector<int8_t> out;
  const auto samples = MakeMeteorSignal(params, bits);
  demodulator->Process(samples.data(), samples.size(), out);
  std::vector<SignalReport> reports;
  demodulator->TakeReports(reports);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(reports[0].locked);
  EXPECT_DOUBLE_EQ(reports[0].seconds, 1);
  EXPECT_NEAR(reports[0].carrier_offset_hz, params.carrier_offset_hz, 5);
  EXPECT_NEAR(reports[0].snr_db, 5, 0.5);
  const SignalReport now = demodulator->Current();
  EXPECT_TRUE(now.locked);
  EXPECT_NEAR(now.snr_db, 5, 1);

  std::vector<std::complex<float>> points;
  demodulator->RecentSymbols(points, 500);
  ASSERT_EQ(points.size(), 500u);
  double mean_magnitude = 0;
  for (const auto& p : points) {
    EXPECT_EQ(p.imag(), 0);
    mean_magnitude += std::abs(p.real());
  }
  EXPECT_NEAR(mean_magnitude / 500, 1, 0.15);

  demodulator->Finish(out);
  reports.clear();
  demodulator->TakeReports(reports);
  ASSERT_EQ(reports.size(), 1u);  // the 0.3 s at the end
  EXPECT_NEAR(reports[0].seconds, static_cast<double>(samples.size()) / 3e6, 1e-9);
  const DemodulatorSummary& summary = demodulator->Summary();
  EXPECT_NEAR(summary.best_snr_db, 5, 0.5);
  EXPECT_NEAR(summary.min_offset_hz, params.carrier_offset_hz, 20);
  EXPECT_NEAR(summary.max_offset_hz, params.carrier_offset_hz, 20);

  // A clean bit comes out near the agreed amplitude.
  double mean_soft = 0;
  for (const int8_t v : out) mean_soft += std::abs(v);
  EXPECT_NEAR(mean_soft / static_cast<double>(out.size()), kSoftSymbolAmplitude, 8);
}

TEST(MeteorDemodulatorTest, OutputDoesNotDependOnHowTheSamplesArePieced) {
  MeteorSignalParams params = PassLikeSignal();
  params.es_n0_db = 3;
  const auto samples = MakeMeteorSignal(params, RandomBits(100000, 8), 100000, 100000);
  const auto whole = MakeMeteorDemodulator(Config());
  const auto pieces = MakeMeteorDemodulator(Config());
  const auto a = Demodulate(*whole, samples, samples.size());
  const auto b = Demodulate(*pieces, samples, 777);
  EXPECT_GT(a.size(), 99000u);
  EXPECT_EQ(a, b);
}

TEST(MeteorDemodulatorTest, RefusesConfigurationsThatCannotWork) {
  struct Bad {
    double sample_rate, symbol_rate, range;
    const char* names;
  };
  for (const Bad bad :
       {Bad{0, kBitRate, 60000, "sample rate"}, Bad{NAN, kBitRate, 60000, "sample rate"},
        Bad{1.5e6, kBitRate, 60000, "sample rate"}, Bad{2e10, kBitRate, 60000, "sample rate"},
        Bad{3e6, 0, 60000, "bit rate"}, Bad{3e6, -kBitRate, 60000, "bit rate"},
        Bad{3e6, INFINITY, 60000, "bit rate"}, Bad{3e6, kBitRate, -1, "search range"},
        Bad{3e6, kBitRate, NAN, "search range"}, Bad{3e6, kBitRate, 800000, "search range"}}) {
    DemodulatorConfig config;
    config.sample_rate = bad.sample_rate;
    config.symbol_rate = bad.symbol_rate;
    config.carrier_range_hz = bad.range;
    const std::string error = MeteorDemodulatorConfigError(config);
    EXPECT_NE(error.find(bad.names), std::string::npos) << error;
    EXPECT_THROW(MakeMeteorDemodulator(config), std::invalid_argument) << error;
  }
  EXPECT_EQ(MeteorDemodulatorConfigError(Config(2e6)), "");
  EXPECT_EQ(MeteorDemodulatorConfigError(Config(3e6)), "");
}

// The table of bit error rates against ideal BPSK, Eb/N0 2 to 8 dB (a few seconds to run):
//   meteor_demodulator_test --gtest_also_run_disabled_tests --gtest_filter='*BerTable*'
TEST(MeteorDemodulatorTest, DISABLED_BerTable) {
  std::printf("Eb/N0 dB  ideal BPSK  measured    errors / bits       loss dB\n");
  for (double eb_n0 = 2; eb_n0 <= 8; eb_n0 += 1) {
    const double ideal = IdealBpskBer(eb_n0);
    const size_t bits = std::clamp<size_t>(static_cast<size_t>(1000 / ideal), 300000, 6000000);
    const Measured measured = MeasureBer(PassLikeSignal(), eb_n0, bits);
    ASSERT_GE(measured.errors, 0);
    // The Eb/N0 at which ideal BPSK has the measured error rate.
    double low = eb_n0 - 5, high = eb_n0 + 1;
    for (int i = 0; i < 60; ++i) {
      const double mid = (low + high) / 2;
      (IdealBpskBer(mid) > measured.ber ? low : high) = mid;
    }
    std::printf("%8.1f  %10.3e  %10.3e  %7ld / %-8ld  %6.2f\n", eb_n0, ideal, measured.ber,
                measured.errors, measured.compared, eb_n0 - low);
    EXPECT_LT(measured.ber, IdealBpskBer(eb_n0 - 1));
  }
}

}  // namespace
}  // namespace vantrel
