#include "tests/baseband/qpsk_test_signal.h"

#include <complex>
// liquid's C header after <complex>: its complex types are then std::complex<float>.
#include <liquid/liquid.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace vantrel {
namespace {

constexpr unsigned kTablePerSymbol = 4096;
constexpr unsigned kTableHalfSpan = 6;  // symbols either side of the pulse's centre

// The pulse from liquid-dsp, tabulated finely and scaled so that unit symbols give unit power.
std::vector<float> PulseTable() {
  std::vector<float> table(2 * kTablePerSymbol * kTableHalfSpan + 1);
  liquid_firdes_rrcos(kTablePerSymbol, kTableHalfSpan, 0.5f, 0.0f, table.data());
  double energy = 0;  // integral of the pulse squared, in symbols
  for (float v : table) energy += static_cast<double>(v) * v;
  energy /= kTablePerSymbol;
  for (float& v : table) v = static_cast<float>(v / std::sqrt(energy));
  table.push_back(0);
  return table;
}

}  // namespace

std::vector<std::complex<float>> MakeNoise(size_t count, double sigma2, uint32_t seed) {
  std::mt19937 random(seed);
  std::normal_distribution<float> normal(0.0f, static_cast<float>(std::sqrt(sigma2 / 2)));
  std::vector<std::complex<float>> noise(count);
  for (auto& n : noise) n = {normal(random), normal(random)};
  return noise;
}

QpskTestRecording MakeQpskTestSignal(const QpskTestSignal& config) {
  static const std::vector<float> table = PulseTable();
  QpskTestRecording recording;
  std::mt19937 random(config.seed);
  if (config.bits.empty()) {
    recording.bits.resize(2 * config.symbols);
    for (auto& b : recording.bits) b = static_cast<uint8_t>(random() & 1);
  } else {
    recording.bits = config.bits;
    recording.bits.resize(recording.bits.size() / 2 * 2);
  }
  const size_t symbols = recording.bits.size() / 2;
  const float rail = static_cast<float>(config.amplitude / std::sqrt(2.0));

  const double samples_per_symbol = config.sample_rate / config.symbol_rate;
  // Seconds per received sample (the receiver's clock fast by clock_ppm: its samples are shorter).
  const double sample_seconds = 1 / (config.sample_rate * (1 + config.clock_ppm * 1e-6));
  const size_t signal_samples =
      static_cast<size_t>(std::ceil((symbols + config.timing_offset + kTableHalfSpan) *
                                    samples_per_symbol * (1 + config.clock_ppm * 1e-6)));
  const size_t total = config.noise_before + signal_samples + config.noise_after;
  recording.samples.assign(total, {});
  for (size_t n = 0; n < signal_samples; ++n) {
    const double t = static_cast<double>(n) * sample_seconds;
    const double u = t * config.symbol_rate - config.timing_offset;  // in symbols
    const long first = std::max(0L, static_cast<long>(std::ceil(u - kTableHalfSpan)));
    const long last =
        std::min(static_cast<long>(symbols) - 1, static_cast<long>(std::floor(u + kTableHalfSpan)));
    float i = 0, q = 0;
    for (long k = first; k <= last; ++k) {
      const double position = (u - static_cast<double>(k) + kTableHalfSpan) * kTablePerSymbol;
      const size_t index = static_cast<size_t>(position);
      const float fraction = static_cast<float>(position - static_cast<double>(index));
      const float g = table[index] + fraction * (table[index + 1] - table[index]);
      i += g * (recording.bits[2 * k] ? rail : -rail);
      q += g * (recording.bits[2 * k + 1] ? rail : -rail);
    }
    const double phase =
        config.phase + 2 * M_PI * (config.carrier_hz * t + 0.5 * config.drift_hz_per_s * t * t);
    recording.samples[config.noise_before + n] =
        std::complex<float>(i, q) * std::complex<float>(static_cast<float>(std::cos(phase)),
                                                        static_cast<float>(std::sin(phase)));
  }
  if (std::isfinite(config.es_n0_db)) {
    const double power = config.amplitude * config.amplitude;
    recording.noise_sigma2 =
        power * config.sample_rate / (config.symbol_rate * std::pow(10.0, config.es_n0_db / 10));
    const auto noise = MakeNoise(total, recording.noise_sigma2, config.seed + 1000);
    for (size_t n = 0; n < total; ++n) recording.samples[n] += noise[n];
  }
  return recording;
}

namespace {

// The rail signs (+1/-1) the receiver sees for sent bits under ambiguity `mapping` (0..7).
void Map(int mapping, int& i, int& q) {
  if (mapping >= 4) std::swap(i, q);
  for (int r = 0; r < mapping % 4; ++r) {
    const int t = i;
    i = -q;
    q = t;
  }
}

bool Matches(const std::vector<uint8_t>& sent, long k, const std::vector<int8_t>& soft, size_t j,
             int mapping, int& bit_errors) {
  int i = sent[2 * k] ? 1 : -1, q = sent[2 * k + 1] ? 1 : -1;
  Map(mapping, i, q);
  bit_errors = ((soft[2 * j] > 0) != (i > 0)) + ((soft[2 * j + 1] > 0) != (q > 0));
  return bit_errors == 0;
}

}  // namespace

SymbolComparison CompareSymbols(const std::vector<uint8_t>& sent_bits,
                                const std::vector<int8_t>& soft, size_t skip_symbols) {
  SymbolComparison result;
  const long sent = static_cast<long>(sent_bits.size() / 2);
  const long received = static_cast<long>(soft.size() / 2);
  constexpr long kProbe = 256;
  const long probe = std::max<long>(static_cast<long>(skip_symbols), received / 2 - kProbe);
  if (probe + kProbe > received) return result;
  int errors = 0;
  // Offsets nearest 0 first: 0, -1, 1, -2, 2, ...
  for (long step = 0; step <= 2 * sent && result.mapping < 0; ++step) {
    const long offset = step % 2 ? -(step + 1) / 2 : step / 2;
    if (probe + offset < 0 || probe + offset + kProbe > sent) continue;
    for (int mapping = 0; mapping < 8; ++mapping) {
      int matches = 0;
      for (long j = probe; j < probe + kProbe; ++j)
        matches += Matches(sent_bits, j + offset, soft, static_cast<size_t>(j), mapping, errors);
      if (matches >= kProbe * 3 / 4) {  // chance gives 1 in 4
        result.offset = offset, result.mapping = mapping;
        break;
      }
    }
  }
  if (result.mapping < 0) return result;
  for (long j = static_cast<long>(skip_symbols); j < received; ++j) {
    const long k = j + result.offset;
    if (k < 0 || k >= sent) continue;
    ++result.compared;
    if (!Matches(sent_bits, k, soft, static_cast<size_t>(j), result.mapping, errors)) {
      ++result.symbol_errors;
      result.bit_errors += static_cast<size_t>(errors);
    }
  }
  return result;
}

std::vector<int8_t> AlignSoft(const std::vector<int8_t>& soft, const SymbolComparison& comparison,
                              size_t sent_symbols) {
  std::vector<int8_t> aligned(2 * sent_symbols, 0);
  for (size_t j = 0; 2 * j + 1 < soft.size(); ++j) {
    const long k = static_cast<long>(j) + comparison.offset;
    if (k < 0 || k >= static_cast<long>(sent_symbols)) continue;
    int i = soft[2 * j], q = soft[2 * j + 1];
    // Undo the quarter turns, then the swap.
    for (int r = 0; r < comparison.mapping % 4; ++r) {
      const int t = i;
      i = q;
      q = -t;
    }
    if (comparison.mapping >= 4) std::swap(i, q);
    aligned[2 * k] = static_cast<int8_t>(i);
    aligned[2 * k + 1] = static_cast<int8_t>(q);
  }
  return aligned;
}

double IdealQpskSymbolErrorRate(double es_n0_db) {
  const double p = 0.5 * std::erfc(std::sqrt(std::pow(10.0, es_n0_db / 10) / 2));
  return 1 - (1 - p) * (1 - p);
}

}  // namespace vantrel
