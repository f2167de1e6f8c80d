#include "tests/baseband/meteor_test_signal.h"

#include <algorithm>
#include <numbers>
#include <random>

namespace vantrel::testing {

std::vector<uint8_t> RandomBits(size_t count, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<uint8_t> bits(count);
  for (size_t i = 0; i < count; i += 64) {
    const uint64_t word = random();
    for (size_t b = 0; b < 64 && i + b < count; ++b) bits[i + b] = (word >> b) & 1;
  }
  return bits;
}

double MeteorNoiseVariance(const MeteorSignalParams& p) {
  if (std::isinf(p.es_n0_db)) return 0;
  const double data_power = std::sin(p.beta) * std::sin(p.beta) * p.amplitude * p.amplitude;
  return data_power * p.sample_rate / (p.bit_rate * std::pow(10.0, p.es_n0_db / 10));
}

double IdealBpskBer(double eb_n0_db) {
  return 0.5 * std::erfc(std::sqrt(std::pow(10.0, eb_n0_db / 10)));
}

std::vector<std::complex<float>> MakeMeteorSignal(const MeteorSignalParams& p,
                                                  const std::vector<uint8_t>& bits,
                                                  size_t noise_before, size_t noise_after) {
  const double true_rate = p.sample_rate * (1 + p.clock_error_ppm * 1e-6);
  const double half_bits_per_sample = 2 * p.bit_rate / true_rate;
  const double half_bits = 2.0 * static_cast<double>(bits.size());
  // Signal samples: up to the end of the last half-bit.
  const size_t signal_samples =
      static_cast<size_t>(std::ceil((half_bits + 2 * p.timing_offset_bits) / half_bits_per_sample));
  std::vector<std::complex<float>> out(noise_before + signal_samples + noise_after);

  auto level = [&](long half_bit) -> double {  // m(t) on half-bit `half_bit`; 0 outside
    if (half_bit < 0 || static_cast<double>(half_bit) >= half_bits) return 0;
    const bool one = bits[static_cast<size_t>(half_bit / 2)] != 0;
    const bool first = (half_bit % 2) == 0;
    return one == first ? 1 : -1;
  };
  const double cos_beta = std::cos(p.beta), sin_beta = std::sin(p.beta);
  const double start = -2 * p.timing_offset_bits;  // half-bit position of signal sample 0
  for (size_t n = 0; n < signal_samples; ++n) {
    // The mean of m over [u0, u1) in half-bits.
    const double u0 = start + static_cast<double>(n) * half_bits_per_sample;
    const double u1 = u0 + half_bits_per_sample;
    double mean = level(static_cast<long>(std::floor(u0)));
    if (p.averaged) {
      double integral = 0;
      for (double u = u0; u < u1;) {
        const double edge = std::min(std::floor(u) + 1, u1);
        integral += level(static_cast<long>(std::floor(u))) * (edge - u);
        u = edge;
      }
      mean = integral / half_bits_per_sample;
    }
    const double t = u0 / (2 * p.bit_rate);  // seconds from the first data bit
    const double phase =
        p.carrier_phase +
        2 * std::numbers::pi * (p.carrier_offset_hz * t + 0.5 * p.carrier_drift_hz_per_s * t * t);
    // exp(j beta m) for m = +-1; averaged, the data's part is sin(beta) times the mean of m.
    const std::complex<double> value =
        p.amplitude * std::complex<double>(cos_beta, sin_beta * mean) * std::polar(1.0, phase);
    out[noise_before + n] = std::complex<float>(value);
  }

  std::mt19937_64 random(p.seed ^ 0x9E3779B97F4A7C15ull);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const float sigma = static_cast<float>(std::sqrt(MeteorNoiseVariance(p) / 2));
  for (auto& x : out) {
    if (sigma > 0) x += std::complex<float>(sigma * normal(random), sigma * normal(random));
    x += p.dc;
  }
  return out;
}

BitComparison CompareBits(const std::vector<int8_t>& values, const std::vector<uint8_t>& sent,
                          long max_shift, size_t skip) {
  BitComparison best;
  const long probe = 512;
  for (long shift = -max_shift; shift <= max_shift; ++shift) {
    long agree = 0, total = 0;
    for (long i = static_cast<long>(skip); i < static_cast<long>(values.size()) && total < probe;
         ++i) {
      const long j = i + shift;
      if (j < 0 || j >= static_cast<long>(sent.size())) continue;
      agree += (values[static_cast<size_t>(i)] > 0) == (sent[static_cast<size_t>(j)] != 0);
      ++total;
    }
    if (total < probe / 2) continue;
    for (const bool inverted : {false, true}) {
      const long wrong = inverted ? agree : total - agree;
      if (wrong * 5 < total && (best.errors < 0 || wrong < best.errors)) {
        best.shift = shift;
        best.inverted = inverted;
        best.errors = wrong;
      }
    }
  }
  if (best.errors < 0) return best;
  best.errors = 0;
  best.compared = 0;
  for (size_t i = skip; i < values.size(); ++i) {
    const long j = static_cast<long>(i) + best.shift;
    if (j < 0 || j >= static_cast<long>(sent.size())) continue;
    const bool one = (values[i] > 0) != best.inverted;
    best.errors += one != (sent[static_cast<size_t>(j)] != 0);
    ++best.compared;
  }
  return best;
}

}  // namespace vantrel::testing
