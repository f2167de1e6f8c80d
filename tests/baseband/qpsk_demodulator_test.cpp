// The QPSK demodulator's blocks and the whole of it on signals from the test transmitter
// (tests/baseband/qpsk_test_signal.h): the carrier search on tones and on QPSK, the timing
// recovery on known offsets and clock errors, and the demodulator through offset, Doppler ramp,
// clock error and noise, against the bits sent.
#include "baseband/qpsk_demodulator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "baseband/carrier_search.h"
#include "tests/baseband/qpsk_test_signal.h"

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

}  // namespace
}  // namespace vantrel
