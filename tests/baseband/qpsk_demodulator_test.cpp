// The QPSK demodulator's blocks and the whole of it on signals from the test transmitter
// (tests/baseband/qpsk_test_signal.h): the carrier search on tones and on QPSK, the timing
// recovery on known offsets and clock errors, and the demodulator through offset, Doppler ramp,
// clock error and noise, against the bits sent.
#include "baseband/qpsk_demodulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>
// liquid's C header after <complex>: its complex types are then std::complex<float>.
#include <liquid/liquid.h>

#include "baseband/carrier_search.h"
#include "sim/convolutional_encoder.h"
#include "tests/baseband/qpsk_test_signal.h"
#include "viterbi/viterbi_decoder.h"

namespace vantrel {
namespace {

std::vector<std::complex<float>> Tone(size_t count, double sample_rate, double hz, double phase) {
  std::vector<std::complex<float>> tone(count);
  for (size_t n = 0; n < count; ++n) {
    const double a = phase + 2 * M_PI * hz * static_cast<double>(n) / sample_rate;
    tone[n] = {static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a))};
  }
  return tone;
}

// --- Carrier search ---------------------------------------------------------------------------

TEST(CarrierSearchTest, FindsToneWithinAFractionOfABin) {
  constexpr double kRate = 6e6;
  CarrierSearch search(65536, kRate, 1, 60000);
  const double bin = search.resolution_hz();  // 91.6 Hz
  for (double hz : {0.0, 1234.5, -23456.7, 45.8, 59000.0, -59900.3}) {
    auto signal = Tone(65536, kRate, hz, 0.3);
    const auto noise = MakeNoise(signal.size(), 1.0, 7);  // tone 0 dB per sample
    for (size_t n = 0; n < signal.size(); ++n) signal[n] += noise[n];
    const CarrierSearchResult found = search.Find(signal.data(), signal.size());
    EXPECT_TRUE(found.found) << hz;
    EXPECT_NEAR(found.offset_hz, hz, 0.1 * bin) << hz;
    EXPECT_GT(found.peak_to_floor, 1000) << hz;
  }
}

TEST(CarrierSearchTest, IgnoresToneOutsideRangeAndNoise) {
  constexpr double kRate = 6e6;
  CarrierSearch search(65536, kRate, 1, 60000);
  const auto outside = Tone(65536, kRate, 90000, 0);
  auto noise = MakeNoise(65536, 1.0, 3);
  for (size_t n = 0; n < noise.size(); ++n) noise[n] += 0.001f * outside[n];
  EXPECT_FALSE(search.Find(noise.data(), noise.size()).found);
  for (uint32_t seed = 10; seed < 30; ++seed) {
    const auto only_noise = MakeNoise(65536, 1.0, seed);
    const CarrierSearchResult result = search.Find(only_noise.data(), only_noise.size());
    EXPECT_FALSE(result.found) << seed;
    EXPECT_LT(result.peak_to_floor, 16) << seed;
  }
  const std::vector<std::complex<float>> silence(65536);
  EXPECT_FALSE(search.Find(silence.data(), silence.size()).found);
}

TEST(CarrierSearchTest, FindsQpskByItsFourthPower) {
  CarrierSearch search(65536, 6e6, 4, 60000);
  for (double hz : {-41234.0, 0.0, 17777.7, 59500.0}) {
    QpskTestSignal config;
    config.symbols = 26000;  // just over a block
    config.carrier_hz = hz;
    config.es_n0_db = 5.5;
    config.seed = static_cast<uint32_t>(hz + 100000);
    const auto recording = MakeQpskTestSignal(config);
    const CarrierSearchResult found = search.Find(recording.samples.data(), 65536);
    EXPECT_TRUE(found.found) << hz << " ratio " << found.peak_to_floor;
    EXPECT_NEAR(found.offset_hz, hz, 0.25 * search.resolution_hz()) << hz;
  }
  // The fourth power of noise has no line.
  for (uint32_t seed = 40; seed < 50; ++seed) {
    const auto noise = MakeNoise(65536, 1.0, seed);
    EXPECT_FALSE(search.Find(noise.data(), noise.size()).found) << seed;
  }
}

TEST(CarrierSearchTest, RefusesSettingsThatCannotWork) {
  EXPECT_THROW(CarrierSearch(32, 6e6, 4, 1000), std::invalid_argument);
  EXPECT_THROW(CarrierSearch(4096, 0, 4, 1000), std::invalid_argument);
  EXPECT_THROW(CarrierSearch(4096, 6e6, 0, 1000), std::invalid_argument);
  EXPECT_THROW(CarrierSearch(4096, 6e6, 4, 800000), std::invalid_argument);  // 4x aliases
  EXPECT_THROW(CarrierSearch(4096, 6e6, 4, -1), std::invalid_argument);
  EXPECT_NO_THROW(CarrierSearch(4096, 6e6, 1, 2.9e6));
}

// --- Timing recovery --------------------------------------------------------------------------

struct TimingCase {
  double symbol_rate;
  double timing_offset;
  double clock_ppm;
};

// Noiseless QPSK at a known timing offset and clock error, carrier phase 0: after the loop
// settles, every symbol is the one sent and lies close to the ideal point.
TEST(SymbolTimingRecoveryTest, ConvergesOnKnownOffsetAndClockError) {
  for (const TimingCase& c :
       {TimingCase{2.3333e6, 0.37, 50}, TimingCase{2.3333e6, 0.81, -50}, TimingCase{2.8e6, 0.5, 30},
        TimingCase{2.6e6, 0.12, -20}, TimingCase{3.75e6, 0.66, 50}, TimingCase{1.5e6, 0.25, 50}}) {
    SCOPED_TRACE(c.symbol_rate);
    QpskTestSignal config;
    config.symbol_rate = c.symbol_rate;
    config.timing_offset = c.timing_offset;
    config.clock_ppm = c.clock_ppm;
    config.symbols = 40000;
    const auto recording = MakeQpskTestSignal(config);
    SymbolTimingRecovery timing(config.sample_rate / c.symbol_rate, 0.5);
    timing.SetLoopBandwidth(0.002);
    std::vector<std::complex<float>> symbols;
    // In uneven pieces, as a stream.
    for (size_t at = 0; at < recording.samples.size();) {
      const size_t piece = std::min<size_t>(recording.samples.size() - at, 777 + at % 5000);
      timing.Process(recording.samples.data() + at, piece, symbols);
      at += piece;
    }
    ASSERT_GT(symbols.size(), 39000u);
    EXPECT_NEAR(timing.period(), config.sample_rate / c.symbol_rate * (1 + c.clock_ppm * 1e-6),
                5e-5);
    std::vector<int8_t> soft;
    double error_power = 0;
    for (size_t k = 0; k < symbols.size(); ++k) {
      soft.push_back(static_cast<int8_t>(symbols[k].real() > 0 ? 64 : -64));
      soft.push_back(static_cast<int8_t>(symbols[k].imag() > 0 ? 64 : -64));
      if (k >= 2000) {
        const float r = 0.70710678f;
        const std::complex<float> ideal(symbols[k].real() > 0 ? r : -r,
                                        symbols[k].imag() > 0 ? r : -r);
        error_power += std::norm(symbols[k] - ideal);
      }
    }
    const double evm_db = 10 * std::log10(error_power / static_cast<double>(symbols.size() - 2000));
    EXPECT_LT(evm_db, -25);
    const SymbolComparison compared = CompareSymbols(recording.bits, soft, 2000);
    EXPECT_EQ(compared.mapping, 0);  // no rotation: timing alone
    EXPECT_GT(compared.compared, 37000u);
    EXPECT_EQ(compared.symbol_errors, 0u);
  }
}

// Modulation error ratio of symbols with the carrier phase right (dB): the ideal points'
// power over the error's, the scale taken from the symbols themselves.
double ModulationErrorRatioDb(const std::vector<std::complex<float>>& symbols, size_t skip) {
  double rail = 0;
  for (size_t k = skip; k < symbols.size(); ++k)
    rail += std::abs(symbols[k].real()) + std::abs(symbols[k].imag());
  rail /= 2.0 * static_cast<double>(symbols.size() - skip);
  double error = 0;
  for (size_t k = skip; k < symbols.size(); ++k) {
    const std::complex<double> y(symbols[k].real(), symbols[k].imag());
    const std::complex<double> ideal(y.real() > 0 ? rail : -rail, y.imag() > 0 ? rail : -rail);
    error += std::norm(y - ideal);
  }
  return 10 * std::log10(2 * rail * rail * static_cast<double>(symbols.size() - skip) / error);
}

// liquid-dsp as the oracle: its polyphase synchroniser takes whole samples per symbol only, so
// its way to 2.571 is resamp_crcf to 2 samples per symbol, then symsync_crcf. Ours, at the rate
// itself, gives symbols at least as clean on the same noisy signal.
TEST(SymbolTimingRecoveryTest, AsCleanAsLiquidResamplerAndSynchroniser) {
  QpskTestSignal config;
  config.symbols = 60000;
  config.timing_offset = 0.43;
  config.clock_ppm = 50;
  config.es_n0_db = 14;
  const auto recording = MakeQpskTestSignal(config);
  std::vector<std::complex<float>> ours;
  SymbolTimingRecovery timing(config.sample_rate / config.symbol_rate, 0.5);
  timing.Process(recording.samples.data(), recording.samples.size(), ours);

  const float rate = static_cast<float>(2 * config.symbol_rate / config.sample_rate);
  resamp_crcf resamp = resamp_crcf_create(rate, 13, 0.45f, 60.0f, 64);
  symsync_crcf sync = symsync_crcf_create_rnyquist(LIQUID_FIRFILT_RRC, 2, 4, 0.5f, 32);
  symsync_crcf_set_lf_bw(sync, 0.002f);
  std::vector<std::complex<float>> resampled(recording.samples.size() + 64);
  unsigned resampled_count = 0;
  resamp_crcf_execute_block(resamp, const_cast<std::complex<float>*>(recording.samples.data()),
                            static_cast<unsigned>(recording.samples.size()), resampled.data(),
                            &resampled_count);
  std::vector<std::complex<float>> theirs(resampled_count);
  unsigned symbol_count = 0;
  symsync_crcf_execute(sync, resampled.data(), resampled_count, theirs.data(), &symbol_count);
  theirs.resize(symbol_count);
  resamp_crcf_destroy(resamp);
  symsync_crcf_destroy(sync);

  ASSERT_GT(theirs.size(), 55000u);
  const double ours_db = ModulationErrorRatioDb(ours, 5000);
  const double theirs_db = ModulationErrorRatioDb(theirs, 5000);
  std::printf("MER at Es/N0 14 dB: ours %.2f dB, liquid resamp + symsync %.2f dB\n", ours_db,
              theirs_db);
  EXPECT_GT(ours_db, theirs_db - 0.2);
  EXPECT_GT(ours_db, 13.3);  // within 0.7 dB of the noise alone
}

// --- The whole demodulator ------------------------------------------------------------------

struct Demodulated {
  std::vector<int8_t> soft;
  std::vector<SignalReport> reports;
  DemodulatorSummary summary;
  size_t written_before_end = 0;            // soft values out before Finish
  std::vector<std::complex<float>> points;  // the constellation's last 1024 points after Finish
};

Demodulated Demodulate(const std::vector<std::complex<float>>& samples, double symbol_rate,
                       double sample_rate = 6e6) {
  DemodulatorConfig config;
  config.sample_rate = sample_rate;
  config.symbol_rate = symbol_rate;
  auto demodulator = MakeQpskDemodulator(config);
  Demodulated result;
  for (size_t at = 0; at < samples.size();) {
    const size_t piece = std::min<size_t>(samples.size() - at, 30000 + at % 7919);
    demodulator->Process(samples.data() + at, piece, result.soft);
    at += piece;
  }
  result.written_before_end = result.soft.size();
  demodulator->Finish(result.soft);
  demodulator->TakeReports(result.reports);
  result.summary = demodulator->Summary();
  demodulator->RecentSymbols(result.points, 1024);
  return result;
}

// A pass's worst: carrier 23 kHz off and ramping at 400 Hz/s, the sample clock 50 ppm fast, Es/N0
// 8 dB. The bits come back with a symbol error rate near that of ideal QPSK.
TEST(QpskDemodulatorTest, RecoversBitsThroughDopplerClockErrorAndNoise) {
  QpskTestSignal config;
  config.symbols = 700000;  // 0.3 s
  config.timing_offset = 0.3;
  config.clock_ppm = 50;
  config.carrier_hz = 23456;
  config.drift_hz_per_s = 400;
  config.phase = 1.0;
  config.es_n0_db = 8;
  config.amplitude = 0.05;  // any level: the AGC takes it
  const auto recording = MakeQpskTestSignal(config);
  const Demodulated out = Demodulate(recording.samples, config.symbol_rate);

  EXPECT_EQ(out.summary.locks, 1u);
  EXPECT_EQ(out.summary.locks_lost, 0u);
  EXPECT_LT(out.summary.first_lock_seconds, 0.02);
  const SymbolComparison compared = CompareSymbols(recording.bits, out.soft, 0);
  ASSERT_GE(compared.mapping, 0);
  EXPECT_GT(compared.compared, config.symbols - 100);
  const double ser = static_cast<double>(compared.symbol_errors) / compared.compared;
  const double ideal = IdealQpskSymbolErrorRate(config.es_n0_db);
  std::printf("Es/N0 8 dB: symbol error rate %.5f, ideal %.5f, over %zu symbols\n", ser, ideal,
              compared.compared);
  EXPECT_LT(ser, 1.3 * ideal);
  EXPECT_GT(ser, 0.7 * ideal);  // the noise is there: the comparison is not vacuous
  // The offsets followed the ramp: 23456 Hz to 23456 + 400 * 0.3 = 23576 Hz.
  EXPECT_NEAR(out.summary.min_offset_hz, 23456, 30);
  EXPECT_NEAR(out.summary.max_offset_hz, 23576, 30);
  EXPECT_NEAR(out.summary.best_snr_db, 8, 0.7);
  EXPECT_EQ(out.summary.symbols, out.soft.size() / 2);
}

// Symbol error rate against Es/N0, against ideal QPSK: the implementation loss stays small.
TEST(QpskDemodulatorTest, SymbolErrorRateNearIdealAtLowSnr) {
  for (double es_n0 : {2.5, 4.0, 5.5, 6.5}) {
    QpskTestSignal config;
    config.symbols = 400000;
    config.timing_offset = 0.6;
    config.clock_ppm = -30;
    config.carrier_hz = -12000;
    config.drift_hz_per_s = -300;
    config.es_n0_db = es_n0;
    config.seed = static_cast<uint32_t>(es_n0 * 10);
    const auto recording = MakeQpskTestSignal(config);
    const Demodulated out = Demodulate(recording.samples, config.symbol_rate);
    const SymbolComparison compared = CompareSymbols(recording.bits, out.soft, 0);
    ASSERT_GE(compared.mapping, 0) << es_n0;
    EXPECT_EQ(out.summary.locks_lost, 0u) << es_n0;
    EXPECT_GT(compared.compared, config.symbols - 100) << es_n0;
    const double ser = static_cast<double>(compared.symbol_errors) / compared.compared;
    // Ideal at 0.2 dB less: the implementation loss is under 0.2 dB.
    const double ideal = IdealQpskSymbolErrorRate(es_n0);
    const double allowed = IdealQpskSymbolErrorRate(es_n0 - 0.2);
    std::printf("Es/N0 %.1f dB: symbol error rate %.5f, ideal %.5f (at -0.2 dB %.5f)\n", es_n0, ser,
                ideal, allowed);
    EXPECT_LT(ser, allowed) << es_n0;
  }
}

// FY-3's rates and the fewest samples per symbol taken in practice (1.6).
TEST(QpskDemodulatorTest, DemodulatesAtOtherSymbolRates) {
  for (double symbol_rate : {2.8e6, 2.6e6, 3.75e6, 1.0e6}) {
    QpskTestSignal config;
    config.symbol_rate = symbol_rate;
    config.symbols = 150000;
    config.timing_offset = 0.45;
    config.clock_ppm = -50;
    config.carrier_hz = -51000;
    config.drift_hz_per_s = -400;
    config.es_n0_db = 8;
    config.seed = static_cast<uint32_t>(symbol_rate / 1000);
    const auto recording = MakeQpskTestSignal(config);
    const Demodulated out = Demodulate(recording.samples, symbol_rate);
    const SymbolComparison compared = CompareSymbols(recording.bits, out.soft, 0);
    ASSERT_GE(compared.mapping, 0) << symbol_rate;
    EXPECT_GT(compared.compared, config.symbols - 100) << symbol_rate;
    const double ser = static_cast<double>(compared.symbol_errors) / compared.compared;
    const double ideal = IdealQpskSymbolErrorRate(config.es_n0_db);
    std::printf("%.4g symbols/s at 6 Msps, Es/N0 8 dB: symbol error rate %.5f, ideal %.5f\n",
                symbol_rate, ser, ideal);
    EXPECT_LT(ser, 1.4 * ideal) << symbol_rate;
  }
}

TEST(QpskDemodulatorTest, NoiseAloneWritesNothingAndReportsNoLock) {
  const auto noise = MakeNoise(7200000, 0.3, 99);  // 1.2 s
  const Demodulated out = Demodulate(noise, 2.3333e6);
  EXPECT_TRUE(out.soft.empty());
  EXPECT_EQ(out.summary.locks, 0u);
  EXPECT_EQ(out.summary.symbols, 0u);
  EXPECT_EQ(out.summary.samples, noise.size());
  EXPECT_TRUE(std::isnan(out.summary.first_lock_seconds));
  EXPECT_TRUE(std::isnan(out.summary.best_snr_db));
  ASSERT_EQ(out.reports.size(), 2u);  // the whole second and the last 0.2 s
  EXPECT_DOUBLE_EQ(out.reports[0].seconds, 1.0);
  EXPECT_NEAR(out.reports[1].seconds, 1.2, 1e-9);
  for (const SignalReport& report : out.reports) {
    EXPECT_FALSE(report.locked);
    EXPECT_TRUE(std::isnan(report.snr_db));
  }
}

// Noise, then the signal, then noise again (a pass's horizons): the lock is taken within a few
// milliseconds of the signal's start, the symbols from the signal's first on come out right (the
// loops do not pull in on them: a frame's marker there would be lost), and little of the noise
// around the signal is written.
TEST(QpskDemodulatorTest, LocksOnSignalAfterNoiseAndLetsGoWhenItEnds) {
  QpskTestSignal config;
  config.symbols = 300000;  // 0.13 s
  // The signal rises in the block the carrier is found in, after 13 ms of noise the loops ran
  // through (a loop pulling in on the first symbols made hundreds of errors in them here).
  config.noise_before = 80000;
  config.noise_after = 400000;
  config.carrier_hz = 37000;
  config.drift_hz_per_s = 400;
  config.clock_ppm = -50;
  config.es_n0_db = 10;
  const auto recording = MakeQpskTestSignal(config);
  const Demodulated out = Demodulate(recording.samples, config.symbol_rate);

  const double start = config.noise_before / config.sample_rate;
  EXPECT_EQ(out.summary.locks, 1u);
  EXPECT_EQ(out.summary.locks_lost, 1u);
  EXPECT_GT(out.summary.first_lock_seconds, start);
  EXPECT_LT(out.summary.first_lock_seconds, start + 0.02);
  EXPECT_NEAR(out.summary.locked_seconds, config.symbols / config.symbol_rate, 0.002);

  const SymbolComparison compared = CompareSymbols(recording.bits, out.soft, 0);
  ASSERT_GE(compared.mapping, 0);
  // The first symbols are there: the output starts before the signal, by at most the window of
  // noise before the first that shows it (1024 symbols; the demodulation after the lock begins at
  // most three rise windows of 1024 samples, 1200 symbols, before the signal).
  EXPECT_LE(compared.offset, 0);
  EXPECT_GE(compared.offset, -1200);
  const long received = static_cast<long>(out.soft.size() / 2);
  const long after_end = received + compared.offset - static_cast<long>(config.symbols);
  // At most the window the signal ended in and the first without it (which may hold its last
  // symbols when it ends early in a window): two windows.
  EXPECT_LE(after_end, 2 * 1024 + 50);
  // Every sent symbol compared, from the very first, near theory.
  EXPECT_GE(compared.compared, config.symbols - 10);
  const double ideal = IdealQpskSymbolErrorRate(config.es_n0_db);
  EXPECT_LT(static_cast<double>(compared.symbol_errors) / compared.compared, 1.5 * ideal);
  // The signal's first 1000 symbols as right as the rest (ideal: 1.6 errors; a loop pulling in
  // on them makes hundreds).
  const std::vector<int8_t> aligned = AlignSoft(out.soft, compared, config.symbols);
  int first_errors = 0;
  for (size_t k = 0; k < 1000; ++k)
    for (size_t rail = 0; rail < 2; ++rail) {
      const int8_t value = aligned[2 * k + rail];
      if (value == 0 || (value > 0) != (recording.bits[2 * k + rail] != 0)) {
        ++first_errors;
        break;
      }
    }
  EXPECT_LE(first_errors, 8);
}

// A fade into noise between two stretches of signal (a pass's dropout), with the DC offset of a
// cheap receiver: the lock is let go in the fade and taken again by the search, and both
// stretches come back right.
TEST(QpskDemodulatorTest, ReacquiresAfterAFadeWithDcOffset) {
  QpskTestSignal first;
  first.symbols = 150000;
  first.noise_after = 300000;  // 50 ms of noise alone
  first.carrier_hz = 15000;
  first.es_n0_db = 9;
  QpskTestSignal second = first;
  second.noise_after = 0;
  second.carrier_hz = 15100;  // Doppler moved on
  second.timing_offset = 0.7;
  second.seed = 2;
  const auto a = MakeQpskTestSignal(first);
  const auto b = MakeQpskTestSignal(second);
  std::vector<std::complex<float>> samples = a.samples;
  samples.insert(samples.end(), b.samples.begin(), b.samples.end());
  for (auto& x : samples) x += std::complex<float>(0.4f, -0.3f);

  const Demodulated out = Demodulate(samples, first.symbol_rate);
  EXPECT_EQ(out.summary.locks, 2u);
  EXPECT_EQ(out.summary.locks_lost, 1u);
  EXPECT_NEAR(out.summary.min_offset_hz, 15000, 20);
  EXPECT_NEAR(out.summary.max_offset_hz, 15100, 20);
  // The two stretches, each against its own bits: the first from the start of the output, the
  // second from its end.
  const std::vector<int8_t> start(out.soft.begin(),
                                  out.soft.begin() + std::min<long>(300000, out.soft.size()));
  const SymbolComparison in_first = CompareSymbols(a.bits, start, 0);
  ASSERT_GE(in_first.mapping, 0);
  const size_t first_symbols = static_cast<size_t>(150000 - in_first.offset) + 1100;
  const SymbolComparison whole_first = CompareSymbols(
      a.bits, {out.soft.begin(), out.soft.begin() + 2 * static_cast<long>(first_symbols)}, 0);
  ASSERT_LT(2 * first_symbols, out.soft.size());
  const std::vector<int8_t> rest(out.soft.begin() + 2 * static_cast<long>(first_symbols) - 2200,
                                 out.soft.end());
  const SymbolComparison in_second = CompareSymbols(b.bits, rest, 0);
  ASSERT_GE(in_second.mapping, 0);
  const double ideal = IdealQpskSymbolErrorRate(first.es_n0_db);
  for (const SymbolComparison& c : {whole_first, in_second}) {
    EXPECT_GT(c.compared, 149000u);
    EXPECT_LT(static_cast<double>(c.symbol_errors) / c.compared, 1.4 * ideal);
  }
  // Nothing of the 50 ms of noise: both stretches and at most three windows more (the window the
  // first ended in and the first without it, which may hold its last symbols; before the second,
  // the window of noise before the first that shows it).
  EXPECT_LT(out.soft.size() / 2, 300000u + 3 * 1024 + 100);
}

// A float recording's garbage (NaN, infinities, huge values) and a stretch of zeros: no crash,
// the signal around them comes back.
TEST(QpskDemodulatorTest, SurvivesSamplesThatAreNotNumbers) {
  QpskTestSignal config;
  config.symbols = 200000;
  config.carrier_hz = -4000;
  config.es_n0_db = 10;
  auto recording = MakeQpskTestSignal(config);
  auto& x = recording.samples;
  for (size_t n = 100000; n < x.size(); n += 50000) {
    x[n] = {NAN, 0.0f};
    x[n + 1] = {INFINITY, -INFINITY};
    x[n + 2] = {3e38f, 1e20f};
  }
  std::fill(x.begin() + 300000, x.begin() + 301000, std::complex<float>{});
  const Demodulated out = Demodulate(x, config.symbol_rate);
  EXPECT_GE(out.summary.locks, 1u);
  const SymbolComparison compared = CompareSymbols(recording.bits, out.soft, 0);
  ASSERT_GE(compared.mapping, 0);
  EXPECT_GT(compared.compared, 190000u);
  EXPECT_LT(static_cast<double>(compared.symbol_errors) / compared.compared, 0.01);
  for (const SignalReport& report : out.reports) {
    EXPECT_TRUE(std::isfinite(report.carrier_offset_hz));
  }
}

// Streaming: the same recording in pieces of any size gives the same soft values, byte for byte.
TEST(QpskDemodulatorTest, OutputDoesNotDependOnThePieces) {
  QpskTestSignal config;
  config.symbols = 120000;
  config.noise_before = 100000;
  config.carrier_hz = 9000;
  config.es_n0_db = 7;
  const auto recording = MakeQpskTestSignal(config);
  DemodulatorConfig demodulator_config;
  demodulator_config.sample_rate = config.sample_rate;
  demodulator_config.symbol_rate = config.symbol_rate;
  auto run = [&](size_t piece) {
    auto demodulator = MakeQpskDemodulator(demodulator_config);
    std::vector<int8_t> soft;
    for (size_t at = 0; at < recording.samples.size(); at += piece)
      demodulator->Process(recording.samples.data() + at,
                           std::min(piece, recording.samples.size() - at), soft);
    demodulator->Finish(soft);
    return soft;
  };
  const std::vector<int8_t> whole = run(recording.samples.size());
  ASSERT_GT(whole.size(), 2 * 119000u);
  EXPECT_EQ(run(1), whole);
  EXPECT_EQ(run(4097), whole);
  EXPECT_EQ(run(65536), whole);
}

// An unmodulated carrier (a receiver's spur) is found by the search and makes a perfect
// constellation, but it is no data: no lock, nothing written.
TEST(QpskDemodulatorTest, TakesNoLockOnAnUnmodulatedCarrier) {
  auto samples = Tone(2000000, 6e6, 21000, 0.5);
  const auto noise = MakeNoise(samples.size(), 0.2, 77);
  for (size_t n = 0; n < samples.size(); ++n) samples[n] += noise[n];
  const Demodulated out = Demodulate(samples, 2.3333e6);
  EXPECT_EQ(out.summary.locks, 0u);
  EXPECT_TRUE(out.soft.empty());
}

// One report per second of recording: the SNR and the offset as sent, the lock as held.
TEST(QpskDemodulatorTest, ReportsEverySecond) {
  QpskTestSignal config;
  config.sample_rate = 1e6;
  config.symbol_rate = 0.4e6;
  config.symbols = 600000;  // 1.5 s
  config.noise_before = 500000;
  config.noise_after = 100000;
  config.carrier_hz = -8000;
  config.es_n0_db = 10;
  const auto recording = MakeQpskTestSignal(config);
  const Demodulated out = Demodulate(recording.samples, config.symbol_rate, config.sample_rate);
  ASSERT_EQ(out.reports.size(), 3u);  // 1 s, 2 s and the last piece
  EXPECT_TRUE(out.reports[0].locked);
  EXPECT_TRUE(out.reports[1].locked);
  EXPECT_FALSE(out.reports[2].locked);  // the signal ended before the recording
  for (int i = 0; i < 2; ++i) {
    EXPECT_DOUBLE_EQ(out.reports[i].seconds, i + 1.0);
    EXPECT_NEAR(out.reports[i].snr_db, 10, 0.6) << i;
    EXPECT_NEAR(out.reports[i].carrier_offset_hz, -8000, 20) << i;
  }
  EXPECT_GT(out.summary.first_lock_seconds, 0.5);
  EXPECT_LT(out.summary.first_lock_seconds, 0.52);
  EXPECT_NEAR(out.summary.locked_seconds, 1.5, 0.02);
  EXPECT_NEAR(out.summary.best_snr_db, 10, 0.6);
  EXPECT_EQ(out.summary.samples, recording.samples.size());
}

TEST(QpskDemodulatorTest, KeepsConstellationPointsNearTheUnitCircle) {
  QpskTestSignal config;
  config.symbols = 50000;
  config.carrier_hz = 5000;
  config.es_n0_db = 20;
  const auto recording = MakeQpskTestSignal(config);
  DemodulatorConfig demodulator_config;
  demodulator_config.sample_rate = config.sample_rate;
  demodulator_config.symbol_rate = config.symbol_rate;
  auto demodulator = MakeQpskDemodulator(demodulator_config);
  std::vector<int8_t> soft;
  demodulator->Process(recording.samples.data(), recording.samples.size(), soft);
  std::vector<std::complex<float>> points;
  demodulator->RecentSymbols(points, 300);
  ASSERT_EQ(points.size(), 300u);
  double error_power = 0;  // from the nearest ideal point (+-1 +-j) / sqrt(2)
  for (const auto& p : points) {
    const float r = 0.70710678f;
    error_power += std::norm(p - std::complex<float>(p.real() > 0 ? r : -r, p.imag() > 0 ? r : -r));
  }
  EXPECT_LT(error_power / 300, 0.02);  // Es/N0 20 dB: 0.01
  EXPECT_TRUE(demodulator->Current().locked);
  EXPECT_NEAR(demodulator->Current().snr_db, 20, 2);
  // Clean symbols give soft values near +-kSoftSymbolAmplitude.
  ASSERT_GT(soft.size(), 20000u);
  double magnitude = 0;
  for (size_t i = soft.size() - 20000; i < soft.size(); ++i) magnitude += std::abs(soft[i]);
  EXPECT_NEAR(magnitude / 20000, kSoftSymbolAmplitude, 4);
}

// The constellation's points are the symbols the soft values were made of, in the same order,
// however the last round of the loops is cut (the loops take eight symbols at a time): the last
// points after Finish and the last soft values agree in sign and in size.
class QpskDemodulatorEndTest : public testing::TestWithParam<size_t> {};

TEST_P(QpskDemodulatorEndTest, LastPointsAreTheLastSoftValues) {
  QpskTestSignal config;
  config.symbols = GetParam();
  config.carrier_hz = -7000;
  config.es_n0_db = 12;
  const auto recording = MakeQpskTestSignal(config);
  const Demodulated out = Demodulate(recording.samples, config.symbol_rate, config.sample_rate);
  constexpr size_t kCompared = 500;
  ASSERT_GE(out.points.size(), kCompared);
  const std::complex<float>* points = out.points.data() + out.points.size() - kCompared;
  ASSERT_GT(out.soft.size(), 2 * kCompared);
  // A point of magnitude 1 is a soft value of kSoftSymbolAmplitude * sqrt(2) per axis.
  const double scale = kSoftSymbolAmplitude * std::sqrt(2.0);
  const int8_t* last = out.soft.data() + out.soft.size() - 2 * kCompared;
  for (size_t k = 0; k < kCompared; ++k) {
    const double i = std::clamp(points[k].real() * scale, -127.0, 127.0);
    const double q = std::clamp(points[k].imag() * scale, -127.0, 127.0);
    ASSERT_NEAR(last[2 * k], i, 1.0) << "symbol " << k << " of the last " << kCompared;
    ASSERT_NEAR(last[2 * k + 1], q, 1.0) << "symbol " << k << " of the last " << kCompared;
  }
}

INSTANTIATE_TEST_SUITE_P(SymbolCounts, QpskDemodulatorEndTest,
                         testing::Values(30000, 30001, 30002, 30003, 30005, 30007));

TEST(QpskDemodulatorTest, RefusesSettingsThatCannotWork) {
  auto refused = [](double sample_rate, double symbol_rate, double range, const char* names) {
    DemodulatorConfig config;
    config.sample_rate = sample_rate;
    config.symbol_rate = symbol_rate;
    config.carrier_range_hz = range;
    try {
      MakeQpskDemodulator(config);
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(names), std::string::npos) << e.what();
      return true;
    }
    return false;
  };
  EXPECT_TRUE(refused(6e6, 0, 60000, "symbol rate 0"));
  EXPECT_TRUE(refused(0, 2.3333e6, 60000, "sample rate 0"));
  EXPECT_TRUE(refused(-6e6, 2.3333e6, 60000, "sample rate -6e+06"));
  EXPECT_TRUE(refused(6e6, NAN, 60000, "symbol rate nan"));
  EXPECT_TRUE(refused(6e6, 5.1e6, 60000, "symbol rate 5.1e+06"));  // above 6e6 / 1.2
  EXPECT_TRUE(refused(6e6, 2e4, 60000, "symbol rate 20000"));      // 300 samples per symbol
  EXPECT_TRUE(refused(6e6, 2.3333e6, -1, "range"));
  EXPECT_TRUE(refused(6e6, 2.3333e6, 800000, "range"));  // the fourth power would alias
  EXPECT_FALSE(refused(6e6, 5e6, 60000, ""));
  EXPECT_THROW(SymbolTimingRecovery(1.1, 0.5), std::invalid_argument);
  EXPECT_THROW(SymbolTimingRecovery(2.5, 0), std::invalid_argument);
  EXPECT_THROW(SymbolTimingRecovery(65, 0.5), std::invalid_argument);
  EXPECT_THROW(SymbolTimingRecovery(INFINITY, 0.5), std::invalid_argument);
  EXPECT_FALSE(refused(3e6, 665.4e3, 0, ""));
}

// --- MetOp's code through the demodulator -----------------------------------------------------

struct DecodedErrors {
  size_t bits = 0;
  // The most bytes wrong in one Reed-Solomon codeword (1020-byte frames, interleaved by 4, as
  // a CADU's): up to 16 are corrected.
  size_t worst_codeword_bytes = 0;
};

// Errors after rate-3/4 Viterbi decoding of `soft` (aligned to the coded rail bits).
DecodedErrors DecodeErrors(const std::vector<int8_t>& soft, const std::vector<uint8_t>& data_bits) {
  ViterbiDecoder decoder(ViterbiDecoder::Puncturing::kMetop);
  std::vector<uint8_t> decoded;
  decoder.Decode(soft.data(), soft.size(), decoded);
  decoder.Flush(decoded);
  const std::vector<uint8_t> bits = sim::UnpackBits(decoded);
  DecodedErrors errors;
  constexpr size_t kFrame = 1020, kDepth = 4;
  const size_t compared = data_bits.size() - 64;  // the unterminated end decodes poorly
  std::vector<size_t> codeword_bytes((compared / 8 / kFrame + 1) * kDepth, 0);
  size_t last_byte = SIZE_MAX;
  for (size_t k = 0; k < compared; ++k) {
    if (k < bits.size() && bits[k] == data_bits[k]) continue;
    ++errors.bits;
    const size_t byte = k / 8;
    if (byte == last_byte) continue;
    last_byte = byte;
    const size_t codeword = byte / kFrame * kDepth + byte % kFrame % kDepth;
    errors.worst_codeword_bytes = std::max(errors.worst_codeword_bytes, ++codeword_bytes[codeword]);
  }
  return errors;
}

// The symbols of an ideal receiver at Es/N0: the rail bits at +-kSoftSymbolAmplitude plus
// Gaussian noise of the right variance, quantised as the demodulator quantises.
std::vector<int8_t> IdealSoft(const std::vector<uint8_t>& rail_bits, double es_n0_db,
                              uint32_t seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> normal(0, std::sqrt(1 / std::pow(10.0, es_n0_db / 10)));
  std::vector<int8_t> soft;
  for (uint8_t b : rail_bits) {
    const double v = kSoftSymbolAmplitude * ((b ? 1 : -1) + normal(random));
    soft.push_back(static_cast<int8_t>(std::lround(std::clamp(v, -127.0, 127.0))));
  }
  return soft;
}

// MetOp's convolutional code, punctured to 3/4, sent through the worst channel of a pass and
// demodulated: after Viterbi decoding the bit errors are no more than an ideal receiver's at
// 0.3 dB less Es/N0 (the implementation loss is under 0.3 dB where the code starts to work).
TEST(QpskDemodulatorTest, MetopCodeDecodesAsFromAnIdealReceiver) {
  std::mt19937 random(2024);
  std::vector<uint8_t> data_bits(300000);
  for (auto& b : data_bits) b = static_cast<uint8_t>(random() & 1);
  sim::ConvolutionalEncoder encoder;
  std::vector<uint8_t> coded;
  encoder.Encode(data_bits, coded);
  const std::vector<uint8_t> rail_bits = sim::Puncture(coded, sim::Puncture34::kMetop);

  for (double es_n0 : {4.0, 5.5}) {
    QpskTestSignal config;
    config.bits = rail_bits;
    config.timing_offset = 0.2;
    config.clock_ppm = 50;
    config.carrier_hz = -33000;
    config.drift_hz_per_s = 400;
    config.es_n0_db = es_n0;
    config.seed = static_cast<uint32_t>(es_n0 * 100);
    const auto recording = MakeQpskTestSignal(config);
    const Demodulated out = Demodulate(recording.samples, config.symbol_rate);
    const SymbolComparison compared = CompareSymbols(recording.bits, out.soft, 0);
    ASSERT_GE(compared.mapping, 0) << es_n0;
    const size_t symbols = rail_bits.size() / 2;
    const std::vector<int8_t> aligned = AlignSoft(out.soft, compared, symbols);
    const DecodedErrors demodulated = DecodeErrors(aligned, data_bits);
    const DecodedErrors ideal = DecodeErrors(IdealSoft(rail_bits, es_n0, 5), data_bits);
    const DecodedErrors ideal_less = DecodeErrors(IdealSoft(rail_bits, es_n0 - 0.3, 5), data_bits);
    std::printf(
        "Es/N0 %.1f dB, rate 3/4: decoded bit errors %zu of %zu (worst codeword %zu bytes); "
        "ideal receiver %zu (%zu), at -0.3 dB %zu (%zu)\n",
        es_n0, demodulated.bits, data_bits.size(), demodulated.worst_codeword_bytes, ideal.bits,
        ideal.worst_codeword_bytes, ideal_less.bits, ideal_less.worst_codeword_bytes);
    EXPECT_LE(demodulated.bits, ideal_less.bits) << es_n0;
    // From 5.5 dB every codeword is within Reed-Solomon's reach: every CADU comes back.
    if (es_n0 >= 5.5) {
      EXPECT_LE(demodulated.worst_codeword_bytes, 16u);
    }
  }
}

}  // namespace
}  // namespace vantrel
