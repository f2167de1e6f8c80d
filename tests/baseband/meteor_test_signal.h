#pragma once

// A Meteor-M N2 test signal, made apart from the demodulator: random data bits, Manchester coded
// (a one is a half-bit of +1 then one of -1), phase modulated with a residual carrier,
// s(t) = exp(j * beta * m(t)), with a carrier offset and drift, a timing offset, a sample clock
// error, a DC offset and complex white noise at a given Es/N0 of the data bits.

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantrel::testing {

struct MeteorSignalParams {
  double sample_rate = 3e6;  // the rate the recording claims
  double bit_rate = 665.4e3;
  double beta = 1.2;  // peak phase deviation, radians
  double carrier_offset_hz = 0;
  double carrier_drift_hz_per_s = 0;
  double carrier_phase = 0;  // radians at the first data bit's start
  // The recording's true sample rate is sample_rate * (1 + clock_error_ppm * 1e-6).
  double clock_error_ppm = 0;
  // The first data bit starts this many bit periods after the first signal sample.
  double timing_offset_bits = 0;
  // Es/N0 of one data bit in dB, counting only the data's share sin^2(beta) of the power;
  // infinity: no noise. Noise of variance sigma^2 = sin^2(beta) * a^2 * fs / (Rb * 10^(x/10)).
  double es_n0_db = INFINITY;
  double amplitude = 1;
  std::complex<float> dc = 0;
  // false: each sample is the waveform at its instant; true: the waveform averaged over the
  // sample period (a receiver's anti-alias filter at its crudest: it takes some of the
  // signal's energy, about 1 dB at 2.25 samples per half-bit).
  bool averaged = false;
  uint64_t seed = 1;
};

// `count` random bits (0 or 1) from `seed`.
std::vector<uint8_t> RandomBits(size_t count, uint64_t seed);

// The recording: `noise_before` samples of noise alone, the signal carrying `bits`, then
// `noise_after` samples of noise alone.
std::vector<std::complex<float>> MakeMeteorSignal(const MeteorSignalParams& params,
                                                  const std::vector<uint8_t>& bits,
                                                  size_t noise_before = 0, size_t noise_after = 0);

// The noise level in the units of the samples (total complex variance per sample).
double MeteorNoiseVariance(const MeteorSignalParams& params);

// Ideal BPSK bit error rate at Eb/N0 of `eb_n0_db`.
double IdealBpskBer(double eb_n0_db);

// Compares the demodulator's soft values with the sent bits: finds where in `sent` the values
// start (within `max_shift` bits, either polarity) and counts the disagreeing signs over
// `values` from `skip` on. `errors` is -1 when no alignment fits (more than a fifth wrong).
struct BitComparison {
  long shift = 0;  // values[i] is sent[i + shift]; negative: values before the first bit
  bool inverted = false;
  long compared = 0;
  long errors = -1;
};
BitComparison CompareBits(const std::vector<int8_t>& values, const std::vector<uint8_t>& sent,
                          long max_shift, size_t skip = 0);

}  // namespace vantrel::testing
