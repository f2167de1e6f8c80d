// The simulator's baseband: measured from the samples as a receiver would, against what was
// asked: the symbols' signs, the carrier's frequency, the clock, the noise, the levels, and the
// files as the project's reader sees them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "baseband/baseband_reader.h"
#include "core/file_io.h"
#include "sim/baseband_modulator.h"
#include "sim/baseband_writer.h"
#include "sim/soft_symbols.h"
#include "tests/support/temp_folder.h"

namespace vantrel::sim {
namespace {

using Samples = std::vector<std::complex<double>>;
constexpr double kTwoPi = 2 * std::numbers::pi;
constexpr uint64_t kSeed = 4242;

std::vector<uint8_t> RandomBytes(size_t size, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> bytes(size);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

BasebandTimeline WholeSignal(const std::vector<uint8_t>& bytes) {
  return {8 * bytes.size(), 0, 8 * bytes.size()};
}

// Modulates `bytes` in pieces of odd sizes (the stream must not care) and returns the samples.
Samples Modulate(const BasebandOptions& options, const std::vector<uint8_t>& bytes,
                 const BasebandTimeline& timeline, uint64_t* announced = nullptr) {
  Samples out;
  BasebandModulator modulator(options, timeline, [&out](const float* iq, size_t count) {
    for (size_t k = 0; k < count; ++k) out.emplace_back(iq[2 * k], iq[2 * k + 1]);
  });
  for (size_t at = 0; at < bytes.size();) {
    const size_t piece = std::min<size_t>(bytes.size() - at, 777 + at % 5000);
    modulator.Write(bytes.data() + at, piece);
    at += piece;
  }
  modulator.Finish();
  if (announced) *announced = modulator.SampleCount();
  return out;
}

BasebandOptions Qpsk(SoftModulation modulation, double symbol_rate) {
  BasebandOptions o;
  o.modulation = modulation;
  o.symbol_rate = symbol_rate;
  o.sample_rate = 6e6;
  o.seed = kSeed;
  return o;
}

BasebandOptions Meteor() {
  BasebandOptions o;
  o.modulation = SoftModulation::kMeteorBpsk;
  o.symbol_rate = kMn2DataRate;
  o.sample_rate = 3e6;
  o.seed = kSeed;
  return o;
}

// The soft-symbol writer's rail signs for these bytes (true = 1), I then Q per symbol.
std::vector<bool> SoftRailSigns(SoftModulation modulation, const std::vector<uint8_t>& bytes) {
  SoftOptions soft;
  soft.modulation = modulation;
  std::vector<bool> signs;
  SoftSymbolWriter writer(soft, [&signs](const uint8_t* data, size_t size) {
    for (size_t k = 0; k < size; ++k) signs.push_back(static_cast<int8_t>(data[k]) > 0);
  });
  writer.Write(bytes.data(), bytes.size());
  writer.Finish();
  return signs;
}

// Matched filter output at symbol k: the samples derotated by a carrier of `hz` (phase 0 at the
// first sample) and weighted by the pulse centred on k / symbol_rate, time on the true clock.
std::complex<double> MatchedFilter(const Samples& x, double symbol_rate, double true_rate,
                                   double hz, int64_t k) {
  const double samples_per_symbol = true_rate / symbol_rate;
  const auto first = std::max<int64_t>(0, static_cast<int64_t>((k - 9) * samples_per_symbol));
  const auto last = std::min<int64_t>(static_cast<int64_t>(x.size()),
                                      static_cast<int64_t>((k + 9) * samples_per_symbol));
  std::complex<double> sum = 0;
  for (int64_t n = first; n < last; ++n) {
    const double t = static_cast<double>(n) / true_rate;
    const double p = RootRaisedCosine(t * symbol_rate - static_cast<double>(k), kRrcRollOff);
    sum += x[static_cast<size_t>(n)] * std::polar(1.0, -kTwoPi * hz * t) * p;
  }
  return sum / samples_per_symbol;
}

double MeanPower(const Samples& x, size_t from, size_t to) {
  double sum = 0;
  for (size_t n = from; n < to; ++n) sum += std::norm(x[n]);
  return sum / static_cast<double>(to - from);
}

TEST(GaussianNoise, HasTheNormalDistributionsMomentsAndTails) {
  GaussianNoise noise(7);
  constexpr int kCount = 4000000;
  double sum = 0, sum2 = 0, sum4 = 0;
  int beyond1 = 0, beyond2 = 0, beyond3 = 0, beyond_r = 0;
  for (int k = 0; k < kCount; ++k) {
    const double x = noise.Next();
    sum += x;
    sum2 += x * x;
    sum4 += x * x * x * x;
    beyond1 += std::abs(x) > 1;
    beyond2 += std::abs(x) > 2;
    beyond3 += std::abs(x) > 3;
    beyond_r += std::abs(x) > 3.6;  // inside the base strip's tail
  }
  EXPECT_NEAR(sum / kCount, 0, 0.002);
  EXPECT_NEAR(sum2 / kCount, 1, 0.003);
  EXPECT_NEAR(sum4 / kCount, 3, 0.03);
  // Two-sided tail probabilities of the standard normal.
  EXPECT_NEAR(beyond1 / double(kCount), 0.317311, 0.001);
  EXPECT_NEAR(beyond2 / double(kCount), 0.0455003, 0.0004);
  EXPECT_NEAR(beyond3 / double(kCount), 0.0026998, 0.0001);
  EXPECT_NEAR(beyond_r / double(kCount), 0.000318, 0.00004);

  GaussianNoise again(7), other(8);
  GaussianNoise first(7);
  int same = 0;
  for (int k = 0; k < 100; ++k) {
    const float a = first.Next();
    EXPECT_EQ(a, again.Next());
    same += a == other.Next();
  }
  EXPECT_LT(same, 3);
}

TEST(BasebandPulse, RootRaisedCosineHasUnitEnergyAndNoIsiThroughItsMatchedFilter) {
  // p convolved with p is the raised cosine: 1 at 0, 0 at every other whole symbol.
  constexpr int kPerSymbol = 64;
  auto correlation = [&](int lag) {
    double sum = 0;
    for (int n = -20 * kPerSymbol; n <= 20 * kPerSymbol; ++n) {
      const double t = static_cast<double>(n) / kPerSymbol;
      sum += RootRaisedCosine(t, 0.5) * RootRaisedCosine(t - lag, 0.5);
    }
    return sum / kPerSymbol;
  };
  EXPECT_NEAR(correlation(0), 1, 1e-3);
  for (int lag = 1; lag <= 4; ++lag) EXPECT_NEAR(correlation(lag), 0, 2e-3) << lag;
  EXPECT_NEAR(RootRaisedCosine(0, 0.5), 1 - 0.5 + 2 / std::numbers::pi, 1e-12);
  // Continuous through the formula's removable points at 0 and 1/(4a).
  EXPECT_NEAR(RootRaisedCosine(0.5, 0.5), RootRaisedCosine(0.5 + 1e-6, 0.5), 1e-5);
  EXPECT_NEAR(RootRaisedCosine(-0.5, 0.5), RootRaisedCosine(-0.5 - 1e-6, 0.5), 1e-5);
}

// The clean QPSK of both families, matched-filtered at the known timing and carrier, gives the
// soft writer's signs symbol for symbol, even with the clock off and the carrier moved.
TEST(BasebandModulator, QpskCarriesTheSoftWritersRailBits) {
  const auto bytes = RandomBytes(30000, 1);
  struct Case {
    SoftModulation modulation;
    double symbol_rate, ppm, hz;
  };
  for (const Case& c : {Case{SoftModulation::kMetopQpsk, kMetopSymbolRate, 0, 0},
                        Case{SoftModulation::kMetopQpsk, kMetopSymbolRate, 300, 25000},
                        Case{SoftModulation::kFy3Qpsk, kFy3AbSymbolRate, -200, -41000}}) {
    BasebandOptions o = Qpsk(c.modulation, c.symbol_rate);
    o.clock_ppm = c.ppm;
    o.carrier_offset_hz = c.hz;
    const Samples x = Modulate(o, bytes, WholeSignal(bytes));
    const std::vector<bool> rails = SoftRailSigns(c.modulation, bytes);
    const double true_rate = o.sample_rate * (1 + c.ppm * 1e-6);
    // The symbol's amplitude: each rail at 1/sqrt(2) of the signal's RMS.
    const double rail = std::sqrt(MeanPower(x, 1000, x.size() - 1000) / 2);
    const auto symbols = static_cast<int64_t>(rails.size() / 2);
    int wrong = 0;
    double worst = 1;
    for (int64_t k = 0; k < symbols - 1; ++k) {
      const std::complex<double> y = MatchedFilter(x, c.symbol_rate, true_rate, c.hz, k);
      wrong += (y.real() > 0) != rails[2 * k];
      wrong += (y.imag() > 0) != rails[2 * k + 1];
      if (k > 10 && k < symbols - 10)
        worst = std::min({worst, std::abs(y.real()) / rail, std::abs(y.imag()) / rail});
    }
    EXPECT_EQ(wrong, 0) << c.symbol_rate << " " << c.ppm;
    EXPECT_GT(worst, 0.97) << "clean symbols come out at full amplitude";
  }
}

// Power spectral density at `hz`, averaged over Hann-windowed blocks (relative units).
double Density(const Samples& x, double hz, double rate) {
  constexpr size_t kBlock = 2048;
  double sum = 0;
  int blocks = 0;
  for (size_t from = 0; from + kBlock <= x.size(); from += kBlock, ++blocks) {
    std::complex<double> bin = 0;
    for (size_t n = 0; n < kBlock; ++n) {
      const double w = 0.5 - 0.5 * std::cos(kTwoPi * n / kBlock);
      bin += w * x[from + n] * std::polar(1.0, -kTwoPi * hz * n / rate);
    }
    sum += std::norm(bin);
  }
  return sum / blocks;
}

double Decibels(double ratio) {
  return 10 * std::log10(ratio);
}

// The waveforms are band-limited as the downlinks are: QPSK to (1 + 0.5) / 2 symbol rates either
// side, Meteor-M N2 below the sampled band's edge, so that nothing aliases into the signal.
TEST(BasebandModulator, SpectrumStaysInItsBand) {
  const auto bytes = RandomBytes(20000, 10);
  const BasebandOptions qpsk = Qpsk(SoftModulation::kMetopQpsk, kMetopSymbolRate);
  const Samples q = Modulate(qpsk, bytes, WholeSignal(bytes));
  const double in_band = Density(q, 0.3e6, qpsk.sample_rate);
  EXPECT_NEAR(Decibels(Density(q, -0.6e6, qpsk.sample_rate) / in_band), 0, 1);
  // The density is the raised cosine's spectrum: half power at half the symbol rate, nothing
  // beyond (1 + 0.5) / 2 symbol rates, 1.75 MHz (the truncated pulse leaves less than -40 dB).
  EXPECT_NEAR(Decibels(Density(q, 1.16667e6, qpsk.sample_rate) / in_band), -3, 1);
  for (const double hz : {2.0e6, -2.3e6, 2.6e6, 2.95e6})
    EXPECT_LT(Decibels(Density(q, hz, qpsk.sample_rate) / in_band), -40) << hz;

  for (const double rate : {3e6, 2.2e6}) {
    BasebandOptions meteor = Meteor();
    meteor.sample_rate = rate;
    const Samples m = Modulate(meteor, bytes, WholeSignal(bytes));
    // The data's lobe peaks near 0.56 MHz; the band's edge is far below it.
    const double peak = Density(m, 0.56e6, rate);
    EXPECT_LT(Decibels(Density(m, 0.49 * rate, rate) / peak), -30) << rate;
    EXPECT_LT(Decibels(Density(m, -0.49 * rate, rate) / peak), -30) << rate;
  }
}

// The carrier follows -D u / sqrt(u^2 + a^2) plus the offset, its phase continuous: the samples
// turned back by that curve's integral keep one phase from start to end (Meteor-M N2: of the
// residual carrier, QPSK: of the fourth power), and over every 10 ms window the frequency
// measured from the phase's drift between the window's halves is the curve's.
TEST(BasebandModulator, CarrierFollowsTheDopplerCurveAndTheOffset) {
  struct Case {
    BasebandOptions options;
    int power;
  };
  BasebandOptions meteor = Meteor();
  BasebandOptions qpsk = Qpsk(SoftModulation::kMetopQpsk, kMetopSymbolRate);
  for (BasebandOptions* o : {&meteor, &qpsk}) {
    o->doppler_hz = 40000;
    o->doppler_rate = 400000;  // a short pass: the curve bends within it
    o->carrier_offset_hz = -15000;
    o->clock_ppm = 50;
  }
  for (const Case& c : {Case{meteor, 1}, Case{qpsk, 4}}) {
    const auto bytes = RandomBytes(c.power == 1 ? 20000 : 100000, 2);
    const Samples x = Modulate(c.options, bytes, WholeSignal(bytes));
    BasebandModulator probe(c.options, WholeSignal(bytes), [](const float*, size_t) {});
    const double top = (probe.RiseTime() + probe.SetTime()) / 2;
    const double true_rate = c.options.sample_rate * (1 + c.options.clock_ppm * 1e-6);
    const double a = c.options.doppler_hz / c.options.doppler_rate;
    auto curve = [&](double t) {
      const double u = t - top;
      return c.options.carrier_offset_hz - c.options.doppler_hz * u / std::sqrt(u * u + a * a);
    };
    // Turned back by the curve's integral over true time (midpoint rule per sample).
    Samples residual(x.size());
    double phase = 0;
    for (size_t n = 0; n < x.size(); ++n) {
      residual[n] = std::pow(x[n] * std::polar(1.0, -kTwoPi * phase), c.power);
      phase += curve((static_cast<double>(n) + 0.5) / true_rate) / true_rate;
    }
    const size_t window = static_cast<size_t>(true_rate / 100), half = window / 2;
    double reference = NAN, low = 1e9, high = -1e9;
    for (size_t from = 0; from + window <= x.size(); from += window) {
      std::complex<double> first = 0, second = 0;
      for (size_t n = from; n < from + half; ++n) first += residual[n];
      for (size_t n = from + half; n < from + window; ++n) second += residual[n];
      const double t = (static_cast<double>(from) + half) / true_rate;
      const double drift = std::arg(second * std::conj(first)) / c.power / kTwoPi;
      const double measured = curve(t) + drift / (static_cast<double>(half) / true_rate);
      EXPECT_NEAR(measured, curve(t), 2.0) << "window at " << t << " s, power " << c.power;
      low = std::min(low, measured);
      high = std::max(high, measured);
      // No phase jumps: the same phase all through the pass.
      const double angle = std::arg(first + second);
      if (std::isnan(reference)) reference = angle;
      EXPECT_NEAR(std::remainder(angle - reference, kTwoPi), 0, 0.05)
          << "window at " << t << " s, power " << c.power;
    }
    // The pass swept most of its Doppler.
    EXPECT_GT(high - low, 50000) << c.power;
  }
}

// The sample clock's error shows in the number of samples: +-500 ppm gives 0.05 % more or fewer,
// and the modulator hands out exactly the number it announced.
TEST(BasebandModulator, SampleCountFollowsTheClockError) {
  const auto bytes = RandomBytes(60000, 3);
  for (const BasebandOptions& base :
       {Qpsk(SoftModulation::kMetopQpsk, kMetopSymbolRate), Meteor()}) {
    double nominal = 0;
    for (const double ppm : {0.0, 500.0, -500.0}) {
      BasebandOptions o = base;
      o.clock_ppm = ppm;
      uint64_t announced = 0;
      const Samples x = Modulate(o, bytes, WholeSignal(bytes), &announced);
      EXPECT_EQ(x.size(), announced);
      const double units = base.modulation == SoftModulation::kMeteorBpsk
                               ? 16.0 * bytes.size()
                               : 8.0 * bytes.size() * 2 / 3;
      const double unit_rate =
          base.modulation == SoftModulation::kMeteorBpsk ? 2 * kMn2DataRate : kMetopSymbolRate;
      EXPECT_NEAR(static_cast<double>(x.size()),
                  units / unit_rate * o.sample_rate * (1 + ppm * 1e-6), 1.0);
      if (ppm == 0) nominal = static_cast<double>(x.size());
      EXPECT_NEAR(static_cast<double>(x.size()) / nominal, 1 + ppm * 1e-6, 2e-6);
    }
  }
}

// Memory stays bounded: a piece of several seconds (a pass's noise before rise comes in one)
// is modulated a little at a time, and the symbols already sent are let go.
TEST(BasebandModulator, HoldsFewSymbolsWhateverThePieceOrPassLength) {
  const auto bytes = RandomBytes(3 << 20, 9);
  const BasebandOptions o = Qpsk(SoftModulation::kMetopQpsk, kMetopSymbolRate);
  size_t most = 0;
  uint64_t samples = 0;
  BasebandModulator* self = nullptr;
  BasebandModulator modulator(o, WholeSignal(bytes), [&](const float*, size_t count) {
    most = std::max(most, self->BufferedUnits());
    samples += count;
  });
  self = &modulator;
  modulator.Write(bytes.data(), bytes.size());
  modulator.Finish();
  EXPECT_EQ(samples, modulator.SampleCount());
  EXPECT_LT(most, 200000u) << "of " << 8 * bytes.size() * 2 / 3 << " symbols";
}

// Es/N0 measured from the samples: the noise is what a noisy run has beyond the clean run's
// waveform (same bits, same timing), the signal its projection on that waveform.
struct Measured {
  double esn0_db;
  double rms_per_component;
};
Measured MeasureEsN0(BasebandOptions options, const std::vector<uint8_t>& bytes) {
  const Samples noisy = Modulate(options, bytes, WholeSignal(bytes));
  options.esn0_db = NAN;
  const Samples clean = Modulate(options, bytes, WholeSignal(bytes));
  const size_t from = 2000, to = clean.size() - 2000;
  std::complex<double> cross = 0, mean = 0;
  double clean_power = 0;
  for (size_t n = from; n < to; ++n) {
    cross += noisy[n] * std::conj(clean[n]);
    clean_power += std::norm(clean[n]);
    mean += clean[n];
  }
  const double count = static_cast<double>(to - from);
  const double gain = cross.real() / clean_power;
  mean /= count;
  clean_power /= count;
  double noise = 0;
  for (size_t n = from; n < to; ++n) noise += std::norm(noisy[n] - gain * clean[n]);
  noise /= count;
  const bool meteor = options.modulation == SoftModulation::kMeteorBpsk;
  // Meteor-M N2 counts the data's share: the power beyond the residual carrier (the mean).
  const double signal = gain * gain * (meteor ? clean_power - std::norm(mean) : clean_power);
  const double es = signal / options.symbol_rate, n0 = noise / options.sample_rate;
  return {10 * std::log10(es / n0), std::sqrt(MeanPower(noisy, from, to) / 2)};
}

TEST(BasebandModulator, NoiseGivesTheAskedEsN0AndTheLevelLeavesHeadroom) {
  const auto bytes = RandomBytes(40000, 4);
  for (const double esn0 : {2.0, 6.0, 12.0}) {
    BasebandOptions qpsk = Qpsk(SoftModulation::kFy3Qpsk, kFy3CSymbolRate);
    qpsk.esn0_db = esn0;
    qpsk.carrier_offset_hz = 12345;
    const Measured q = MeasureEsN0(qpsk, bytes);
    EXPECT_NEAR(q.esn0_db, esn0, 0.2) << "QPSK";
    EXPECT_NEAR(q.rms_per_component, kFullScaleRms, 0.01);

    BasebandOptions meteor = Meteor();
    meteor.esn0_db = esn0;
    meteor.modulation_index = 1.0;
    const Measured m = MeasureEsN0(meteor, bytes);
    EXPECT_NEAR(m.esn0_db, esn0, 0.2) << "Meteor-M N2";
    EXPECT_NEAR(m.rms_per_component, kFullScaleRms, 0.01);
  }
}

// With a pass profile the signal is absent before rise and after set, and Es/N0 rises from the
// horizon value to the top value in the middle of the pass.
TEST(BasebandModulator, SignalFollowsThePassBetweenNoiseOnlyEnds) {
  const auto bytes = RandomBytes(90000, 5);
  const BasebandTimeline timeline{8 * bytes.size(), 8 * 10000, 8 * 80000};
  BasebandOptions o = Qpsk(SoftModulation::kMetopQpsk, kMetopSymbolRate);
  o.esn0_db = 10;
  o.esn0_horizon_db = 0;
  o.follow_pass = true;
  const Samples noisy = Modulate(o, bytes, timeline);
  BasebandModulator probe(o, timeline, [](const float*, size_t) {});
  const double bit_rate = 1.5 * kMetopSymbolRate;
  EXPECT_NEAR(probe.RiseTime(), 8 * 10000 / bit_rate, 1e-9);
  EXPECT_NEAR(probe.SetTime(), 8 * 80000 / bit_rate, 1e-9);
  EXPECT_NEAR(probe.EsN0At(probe.RiseTime()), 0, 1e-9);
  EXPECT_NEAR(probe.EsN0At((probe.RiseTime() + probe.SetTime()) / 2), 10, 1e-9);
  EXPECT_NEAR(probe.EsN0At(probe.SetTime()), 0, 1e-9);

  // The noise alone before rise and after set, the signal on top of it in between.
  const auto rise = static_cast<size_t>(probe.RiseTime() * o.sample_rate);
  const auto set = static_cast<size_t>(probe.SetTime() * o.sample_rate);
  const double noise = MeanPower(noisy, 0, rise - 10);
  EXPECT_NEAR(noise, probe.NoiseVariance(), 0.03 * probe.NoiseVariance());
  EXPECT_NEAR(MeanPower(noisy, set + 10, noisy.size()), noise, 0.03 * noise);
  const size_t middle = (rise + set) / 2, span = 40000;
  const double top = MeanPower(noisy, middle - span, middle + span) - noise;
  const double edge = MeanPower(noisy, rise + 10, rise + 10 + span / 4) - noise;
  // 10 dB Es/N0 at the top: signal power = 10 x N0 x Rs.
  EXPECT_NEAR(10 * std::log10(top / (noise / o.sample_rate * kMetopSymbolRate)), 10, 0.25);
  EXPECT_NEAR(10 * std::log10(edge / (noise / o.sample_rate * kMetopSymbolRate)), 0, 0.6);

  // Without noise the ends are silent: exactly zero.
  o.esn0_db = NAN;
  o.follow_pass = false;
  const Samples clean = Modulate(o, bytes, timeline);
  EXPECT_EQ(MeanPower(clean, 0, rise - 1), 0);
  EXPECT_EQ(MeanPower(clean, set + 1, clean.size()), 0);
  EXPECT_GT(MeanPower(clean, rise + 100, set - 100), 0.1);
}

// Meteor-M N2 after the carrier is removed: the in-phase part is the residual carrier cos(beta),
// the quadrature part sin(beta) m(t), the Manchester waveform of the data bits: +1 then -1 for a
// one. Each half bit's centre has the chip's sign, and the bit's correlation with the
// Manchester template gives the bit.
TEST(BasebandModulator, MeteorQuadratureHasTheManchesterShapeOfTheData) {
  const auto bytes = RandomBytes(5000, 6);
  for (const double beta : {0.8, 1.2, 1.45}) {
    BasebandOptions o = Meteor();
    o.modulation_index = beta;
    o.carrier_offset_hz = 30000;
    const Samples received = Modulate(o, bytes, WholeSignal(bytes));
    Samples x(received.size());
    for (size_t n = 0; n < x.size(); ++n)
      x[n] = received[n] * std::polar(1.0, -kTwoPi * o.carrier_offset_hz * n / o.sample_rate);
    std::complex<double> mean = 0;
    for (const auto& v : x) mean += v;
    mean /= static_cast<double>(x.size());
    const double amplitude = std::abs(mean) / std::cos(beta);
    EXPECT_NEAR(mean.imag(), 0, 0.002) << "the carrier's phase is the reference";

    const double chip = o.sample_rate / (2 * kMn2DataRate);
    int wrong_chips = 0, wrong_bits = 0;
    double weakest = 1e9;
    const size_t bits = 8 * bytes.size();
    for (size_t b = 1; b + 1 < bits; ++b) {
      const bool bit = bytes[b / 8] >> (7 - b % 8) & 1;
      double template_sum = 0;
      for (int half = 0; half < 2; ++half) {
        // Chip k is centred on k chip periods, as a QPSK symbol on its symbol period.
        const double centre = (2.0 * b + half) * chip;
        const double q = x[static_cast<size_t>(std::lround(centre))].imag();
        const bool positive = (half == 0) == bit;
        wrong_chips += (q > 0) != positive;
        weakest = std::min(weakest, std::abs(q));
        for (int n = static_cast<int>(std::ceil((2.0 * b + half - 0.5) * chip));
             n < (2.0 * b + half + 0.5) * chip; ++n)
          template_sum += (half == 0 ? 1 : -1) * x[static_cast<size_t>(n)].imag();
      }
      wrong_bits += (template_sum > 0) != bit;
    }
    EXPECT_EQ(wrong_chips, 0) << beta;
    EXPECT_EQ(wrong_bits, 0) << beta;
    // Band-limited at 1.35 MHz the chips' centres keep most of sin(beta).
    EXPECT_GT(weakest, 0.6 * amplitude * std::sin(beta)) << beta;
    // In phase: the carrier, whatever the data.
    double spread = 0;
    for (size_t n = 100; n < x.size() - 100; ++n)
      spread = std::max(spread, std::abs(x[n].real() - amplitude * std::cos(beta)));
    EXPECT_LT(spread, 1e-3) << beta;
  }
}

TEST(BasebandModulator, ReceiverDcOffsetAndIqImbalance) {
  const auto bytes = RandomBytes(20000, 7);
  BasebandOptions o = Qpsk(SoftModulation::kMetopQpsk, kMetopSymbolRate);
  o.dc_i = 0.05;
  o.dc_q = -0.02;
  o.iq_gain_db = 1.5;
  o.iq_phase_deg = 10;
  o.carrier_offset_hz = 20000;  // spreads the constellation over all phases
  const Samples x = Modulate(o, bytes, WholeSignal(bytes));
  std::complex<double> mean = 0;
  for (const auto& v : x) mean += v;
  mean /= static_cast<double>(x.size());
  EXPECT_NEAR(mean.real(), 0.05, 0.002);
  EXPECT_NEAR(mean.imag(), -0.02, 0.002);
  double ii = 0, qq = 0, iq = 0;
  for (const auto& v : x) {
    const double i = v.real() - mean.real(), q = v.imag() - mean.imag();
    ii += i * i;
    qq += q * q;
    iq += i * q;
  }
  EXPECT_NEAR(10 * std::log10(qq / ii), 1.5, 0.1);  // a power ratio
  EXPECT_NEAR(iq / std::sqrt(ii * qq), std::sin(10 * std::numbers::pi / 180), 0.01);
}

TEST(BasebandModulator, RefusesWhatCannotBeSampled) {
  const auto bytes = RandomBytes(100, 8);
  auto make = [&](const BasebandOptions& o) {
    BasebandModulator m(o, WholeSignal(bytes), [](const float*, size_t) {});
  };
  BasebandOptions slow = Qpsk(SoftModulation::kMetopQpsk, kMetopSymbolRate);
  slow.sample_rate = 2.3e6;  // under one sample per symbol
  EXPECT_THROW(make(slow), std::invalid_argument);
  BasebandOptions ppm = Meteor();
  ppm.clock_ppm = -1001;
  EXPECT_THROW(make(ppm), std::invalid_argument);
  BasebandOptions index = Meteor();
  index.modulation_index = 1.6;
  EXPECT_THROW(make(index), std::invalid_argument);
  BasebandOptions band = Meteor();
  band.carrier_offset_hz = 1.46e6;
  band.doppler_hz = 40000;
  EXPECT_THROW(make(band), std::invalid_argument);

  // A recording of another length than announced is a programming fault, not a short file.
  BasebandModulator m(Meteor(), {800, 0, 800}, [](const float*, size_t) {});
  m.Write(bytes.data(), 99);
  EXPECT_THROW(m.Finish(), std::logic_error);
}

// ---- Files ----------------------------------------------------------------------------------

std::vector<std::complex<float>> ReadBack(const std::string& path, bool wav, BasebandFormat format,
                                          uint32_t* rate, int64_t* declared) {
  InputFile file;
  EXPECT_TRUE(file.Open(path));
  BasebandReader reader;
  if (wav)
    EXPECT_TRUE(reader.OpenWav(file)) << reader.Error();
  else
    EXPECT_TRUE(reader.OpenRaw(file, format, 6000000, file.Size()));
  std::vector<std::complex<float>> out;
  while (reader.Read(out, 1 << 16) > 0) {
  }
  EXPECT_EQ(reader.GetStatus(), BasebandReader::Status::kEnd) << reader.Error();
  if (rate) *rate = reader.SampleRate();
  if (declared) *declared = reader.DeclaredSamples();
  return out;
}

std::vector<uint8_t> WriteFile(SampleFileFormat format, uint32_t rate, const std::vector<float>& iq,
                               uint64_t* clipped) {
  std::vector<uint8_t> bytes;
  SampleFileWriter writer(format, rate, iq.size() / 2, [&bytes](const uint8_t* d, size_t n) {
    bytes.insert(bytes.end(), d, d + n);
  });
  writer.Write(iq.data(), iq.size() / 2);
  writer.Finish();
  *clipped = writer.Clipped();
  return bytes;
}

TEST(SampleFileWriter, WavHeaderIsReadBackWithRateAndCountPastALISTChunk) {
  testing::TempFolder folder;
  std::vector<float> iq;
  for (int k = 0; k < 1001; ++k) {
    iq.push_back(std::sin(k * 0.01f) * 0.9f);
    iq.push_back(std::cos(k * 0.01f) * -0.9f);
  }
  uint64_t clipped = 0;
  const auto bytes = WriteFile(SampleFileFormat::kWav, 6000000, iq, &clipped);
  testing::WriteFileBytes("pass.wav", bytes);
  uint32_t rate = 0;
  int64_t declared = 0;
  const auto samples = ReadBack("pass.wav", true, BasebandFormat::kWav, &rate, &declared);
  EXPECT_EQ(rate, 6000000u);
  EXPECT_EQ(declared, 1001);
  ASSERT_EQ(samples.size(), 1001u);
  for (size_t k = 0; k < samples.size(); ++k) {
    EXPECT_NEAR(samples[k].real(), iq[2 * k], 1.0 / 32768);
    EXPECT_NEAR(samples[k].imag(), iq[2 * k + 1], 1.0 / 32768);
  }
  EXPECT_EQ(clipped, 0u);
  // A reader that skips 44 bytes would land inside the LIST chunk, not on the samples.
  const std::string head(bytes.begin(), bytes.begin() + 48);
  EXPECT_EQ(head.find("LIST"), 36u);
  EXPECT_NE(head.substr(36, 4), "data");
  EXPECT_EQ(bytes.size() % 2, 0u);
}

TEST(SampleFileWriter, LargePassesGetAnRf64HeaderWithTheirSize) {
  testing::TempFolder folder;
  // 15 minutes at 6 Msps: 21.6 GB of 16-bit I/Q; the header alone tells the reader.
  constexpr uint64_t kSamples = 5400000000;
  const auto header = WavHeader(6000000, kSamples);
  EXPECT_EQ(std::string(header.begin(), header.begin() + 4), "RF64");
  EXPECT_EQ(std::string(header.begin() + 12, header.begin() + 16), "ds64");
  testing::WriteFileBytes("big.wav", header);
  InputFile file;
  ASSERT_TRUE(file.Open("big.wav"));
  BasebandReader reader;
  ASSERT_TRUE(reader.OpenWav(file)) << reader.Error();
  EXPECT_EQ(reader.SampleRate(), 6000000u);
  EXPECT_EQ(reader.DeclaredSamples(), static_cast<int64_t>(kSamples));
  EXPECT_EQ(reader.SampleFormat(), BasebandFormat::kCs16);

  // Just below the limit it stays RIFF; just above, RF64.
  const uint64_t riff_limit = (0xFFFFFFFFull - 200) / 4;
  EXPECT_EQ(WavHeader(6000000, riff_limit - 1000)[0], 'R');
  EXPECT_EQ(WavHeader(6000000, riff_limit - 1000)[1], 'I');
  EXPECT_EQ(WavHeader(6000000, riff_limit + 1000)[1], 'F');
}

TEST(SampleFileWriter, RawFormatsScaleAndCentreAndCountClips) {
  testing::TempFolder folder;
  const std::vector<float> iq = {0.0f, 0.5f, -0.5f, 0.25f, 1.0f, -1.0f, 1.2f, -0.1f};
  uint64_t clipped = 0;

  const auto cu8 = WriteFile(SampleFileFormat::kCu8, 1, iq, &clipped);
  ASSERT_EQ(cu8.size(), 8u);
  // Centred on 127.5, +-127.5 full scale.
  EXPECT_TRUE(cu8[0] == 127 || cu8[0] == 128);
  EXPECT_EQ(cu8[1], 191);  // 127.5 + 63.75
  EXPECT_EQ(cu8[2], 64);
  EXPECT_EQ(cu8[4], 255);
  EXPECT_EQ(cu8[5], 0);
  EXPECT_EQ(cu8[6], 255);
  EXPECT_EQ(clipped, 1u);  // the 1.2 only: +-1 is full scale
  testing::WriteFileBytes("x.cu8", cu8);
  const auto u8 = ReadBack("x.cu8", false, BasebandFormat::kCu8, nullptr, nullptr);
  ASSERT_EQ(u8.size(), 4u);
  EXPECT_NEAR(u8[0].real(), 0, 0.5 / 127.5 + 1e-6);
  EXPECT_NEAR(u8[1].real(), -0.5, 0.5 / 127.5 + 1e-6);
  EXPECT_NEAR(u8[2].imag(), -1, 1e-6);

  const auto cs16 = WriteFile(SampleFileFormat::kCs16, 1, iq, &clipped);
  ASSERT_EQ(cs16.size(), 16u);
  EXPECT_EQ(cs16[2] | cs16[3] << 8, 16384);                           // 0.5
  EXPECT_EQ(static_cast<int16_t>(cs16[10] | cs16[11] << 8), -32768);  // -1
  EXPECT_EQ(static_cast<int16_t>(cs16[8] | cs16[9] << 8), 32767);     // 1, clipped
  EXPECT_EQ(clipped, 2u);
  testing::WriteFileBytes("x.cs16", cs16);
  const auto s16 = ReadBack("x.cs16", false, BasebandFormat::kCs16, nullptr, nullptr);
  ASSERT_EQ(s16.size(), 4u);
  EXPECT_NEAR(s16[1].imag(), 0.25, 1e-6);

  const auto cf32 = WriteFile(SampleFileFormat::kCf32, 1, iq, &clipped);
  testing::WriteFileBytes("x.cf32", cf32);
  const auto f32 = ReadBack("x.cf32", false, BasebandFormat::kCf32, nullptr, nullptr);
  ASSERT_EQ(f32.size(), 4u);
  EXPECT_EQ(f32[3].real(), 1.2f);  // floats are kept beyond full scale, and counted
  EXPECT_EQ(clipped, 1u);

  // The writer refuses to end on another count than its header promised.
  SampleFileWriter short_file(SampleFileFormat::kWav, 1, 10, [](const uint8_t*, size_t) {});
  short_file.Write(iq.data(), 4);
  EXPECT_THROW(short_file.Finish(), std::logic_error);
}

}  // namespace
}  // namespace vantrel::sim
