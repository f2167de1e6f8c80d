#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantrel {

// What the test transmitter sends and how the channel spoils it.
struct QpskTestSignal {
  double sample_rate = 6e6;
  double symbol_rate = 2.3333e6;
  size_t symbols = 20000;
  double timing_offset = 0;  // the first symbol's centre, in symbols after sample 0
  double clock_ppm = 0;      // the receiver's sample clock runs fast by this much
  double carrier_hz = 0;     // carrier offset at sample 0
  double drift_hz_per_s = 0;
  double phase = 0;  // carrier phase at sample 0, rad
  double es_n0_db = INFINITY;
  double amplitude = 1;     // sqrt of the signal's power
  size_t noise_before = 0;  // samples of noise alone before the first symbol
  size_t noise_after = 0;   // and after the last
  uint32_t seed = 1;
  std::vector<uint8_t> bits;  // rail bits to send (I then Q per symbol); empty: `symbols` random
};

// The symbols sent: rail bits, I then Q of each symbol (1 = +1 on the rail).
struct QpskTestRecording {
  std::vector<std::complex<float>> samples;
  std::vector<uint8_t> bits;  // 2 per symbol
  double noise_sigma2 = 0;    // complex noise variance per sample
};

// QPSK of random bits, ((b_i ? 1 : -1) + j (b_q ? 1 : -1)) / sqrt(2), root-raised-cosine pulses
// of roll-off 0.5 (liquid-dsp's design, tabulated at 1/4096 symbol and interpolated), sampled at
// the (clock-skewed) sample instants, with the carrier, its drift and complex white noise added:
// sigma^2 = P * fs / (Rs * 10^(EsN0/10)). Noise comes from a seeded generator (the seed is the
// config's), so a test's signal is the same every run.
QpskTestRecording MakeQpskTestSignal(const QpskTestSignal& config);

// Complex white Gaussian noise of variance sigma2 per sample.
std::vector<std::complex<float>> MakeNoise(size_t count, double sigma2, uint32_t seed);

// Counts how many of `received` (hard decisions of soft values, I then Q per symbol) differ
// from `sent` under the best of the 8 QPSK ambiguities (quarter turns, I/Q swap) and the best
// alignment (received symbol 0 = sent symbol `offset`, searched on a stretch in the middle).
struct SymbolComparison {
  size_t compared = 0;       // symbols compared
  size_t symbol_errors = 0;  // symbols with a rail wrong
  size_t bit_errors = 0;
  long offset = 0;
  int mapping = -1;  // -1: no alignment found
};
SymbolComparison CompareSymbols(const std::vector<uint8_t>& sent_bits,
                                const std::vector<int8_t>& soft, size_t skip_symbols);

// The soft values of `soft` put back in the order and orientation of the symbols sent, using a
// comparison's alignment and mapping: `sent_symbols` pairs, 0 (unknown) where nothing came.
std::vector<int8_t> AlignSoft(const std::vector<int8_t>& soft, const SymbolComparison& comparison,
                              size_t sent_symbols);

// Ideal QPSK symbol error rate at Es/N0 (linear): 1 - (1 - p)^2, p = Q(sqrt(Es/N0)).
double IdealQpskSymbolErrorRate(double es_n0_db);

}  // namespace vantrel
