#pragma once

// Baseband of a simulated pass as an SDR receiver records it: the recording's bits modulated as
// the satellite sends them, moved by the pass's Doppler curve and the receiver's oscillator,
// sampled by a clock that runs off, with noise that follows the pass and the DC offset and I/Q
// imbalance of a cheap receiver. Streaming: memory stays the same whatever the pass's length.
//
//   MetOp, FY-3:  QPSK of the rail bits RailBitEncoder makes (the soft-symbol writer's symbols),
//                 ((b_i ? 1 : -1) + j (b_q ? 1 : -1)) / sqrt(2), root-raised-cosine pulses of
//                 roll-off 0.5 at the symbol rate.
//   Meteor-M N2:  the data bits Manchester coded (1 -> +1 then -1 for half a bit each, 0 -> -1
//                 then +1) into m(t) and phase modulated with a residual carrier,
//                 exp(j beta m(t)) = cos(beta) + j sin(beta) m(t) for m = +-1. The same identity
//                 band-limits it: the quadrature NRZ is low-passed (a windowed ideal low-pass of
//                 0.45 of the sample rate, at most 1.5 MHz) before sampling, so the recorded
//                 signal is the satellite's filtered and nothing aliases.
//
// Pulses are tabulated at kPulsePhases fractional positions per symbol, kPulseHalfSpan symbols
// either side, and evaluated at the instants of the (erring) sample clock.
//
// Es/N0 follows the shared definition: Es the power of the recorded signal over the symbol rate
// (Meteor-M N2: over the data bit rate, of the data's share only, the residual carrier not
// counted), N0 = sigma^2 / fs for complex noise of total variance sigma^2 per sample at the
// nominal rate fs. The noise floor is constant; with a pass profile the signal's amplitude makes
// Es/N0 rise from the horizon value at both ends of the pass to the top value in its middle.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "sim/soft_symbols.h"

namespace vantrel::sim {

inline constexpr double kMetopSymbolRate = 2.3333e6;
inline constexpr double kFy3AbSymbolRate = 2.8e6;
inline constexpr double kFy3CSymbolRate = 2.6e6;
inline constexpr double kMn2DataRate = 665.4e3;
inline constexpr double kRrcRollOff = 0.5;
inline constexpr int kPulseHalfSpan = 8;
inline constexpr int kPulsePhases = 512;
// Each component's RMS at the top of the pass, signal and noise, as a fraction of full scale:
// Gaussian noise reaches full scale at 4 sigma, so clipping stays rare.
inline constexpr double kFullScaleRms = 0.25;

// A standard normal generator fast enough for tens of millions of samples a second: the
// ziggurat of Marsaglia and Tsang (J. Stat. Software 5(8), 2000, 128 strips) over xoshiro256**,
// with the strip index and the value from separate bits of each draw.
class GaussianNoise {
 public:
  explicit GaussianNoise(uint64_t seed);
  float Next() {
    const uint64_t bits = NextBits();
    const auto value = static_cast<int32_t>(static_cast<uint32_t>(bits >> 32));
    const auto strip = static_cast<unsigned>(bits & kStripMask);
    if (Magnitude(value) < Tables().k[strip]) return static_cast<float>(value) * Tables().w[strip];
    return Slow(value, strip);
  }

 private:
  static constexpr int kStrips = 128;
  static constexpr uint64_t kStripMask = kStrips - 1;
  struct ZigguratTables {
    std::array<uint32_t, kStrips> k;  // |value| below k[i]: inside strip i's rectangle
    std::array<float, kStrips> w;     // value to x
    std::array<float, kStrips> f;     // exp(-x^2/2) at the strip's edge
  };
  static const ZigguratTables& Tables();
  static uint32_t Magnitude(int32_t value) {
    return value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  }
  uint64_t NextBits() {
    const uint64_t result = Rotate(state_[1] * 5, 7) * 9;
    const uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = Rotate(state_[3], 45);
    return result;
  }
  static uint64_t Rotate(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  double Uniform();  // (0, 1)
  float Slow(int32_t value, unsigned strip);

  std::array<uint64_t, 4> state_{};
};

// A pulse tabulated for fractional timing: row q holds p(q / phases + half_span - 1 - m) for the
// 2 * half_span taps m, the pulse's time in symbols; a sample at fractional position q / phases
// past symbol k is sum over m of row[m] * symbol[k - half_span + 1 + m].
class PulseTable {
 public:
  template <typename Pulse>
  PulseTable(Pulse pulse, int half_span, int phases)
      : taps_(2 * half_span), phases_(phases), values_(static_cast<size_t>(taps_ * phases)) {
    for (int q = 0; q < phases; ++q)
      for (int m = 0; m < taps_; ++m)
        values_[static_cast<size_t>(q * taps_ + m)] =
            static_cast<float>(pulse(static_cast<double>(q) / phases + half_span - 1 - m));
  }
  const float* Row(int q) const { return values_.data() + static_cast<ptrdiff_t>(q) * taps_; }
  int taps() const { return taps_; }
  int phases() const { return phases_; }

 private:
  int taps_;
  int phases_;
  std::vector<float> values_;
};

// The root-raised-cosine pulse of unit energy (time in symbols): sum of p(t)^2 over one symbol's
// worth of samples per symbol is 1, and p(0) = 1 - a + 4a / pi.
double RootRaisedCosine(double t, double roll_off);

struct BasebandOptions {
  SoftModulation modulation = SoftModulation::kMetopQpsk;  // kMeteorBpsk: Meteor-M N2 PM
  double symbol_rate = kMetopSymbolRate;  // QPSK symbols/s; Meteor-M N2: data bits/s
  double sample_rate = 6e6;               // nominal, as the file's header says
  double clock_ppm = 0;                   // the sample clock runs this far fast (ppm)
  double modulation_index = 1.2;          // Meteor-M N2: peak phase deviation, radians
  double doppler_hz = 0;                  // largest Doppler shift of the pass
  double doppler_rate = 400;              // Hz/s at the top of the pass
  double carrier_offset_hz = 0;           // receiver oscillator, constant
  double esn0_db = NAN;                   // at the top of the pass; NaN: no noise
  bool follow_pass = false;               // Es/N0 rises from esn0_horizon_db to esn0_db
  double esn0_horizon_db = NAN;
  double dc_i = 0, dc_q = 0;  // fractions of full scale
  // I/Q imbalance: Q' = g (Q cos(phi) + I sin(phi)), g = 10^(gain_db / 20): the Q branch
  // gain_db stronger than I and phi off quadrature.
  double iq_gain_db = 0;
  double iq_phase_deg = 0;
  uint64_t seed = 1;
};

// Where the pass lies in the recording's bits: before signal_first_bit and from signal_end_bit
// on the recording is noise (before rise, after set) and the baseband holds noise only.
struct BasebandTimeline {
  uint64_t recording_bits = 0;
  uint64_t signal_first_bit = 0;
  uint64_t signal_end_bit = 0;
};

// Receives samples as interleaved I, Q floats, full scale +-1, `count` complex samples.
using SampleSink = std::function<void(const float* iq, size_t count)>;

// Takes the recording's bytes in pieces of any size and hands out samples. The number of samples
// is fixed at construction (SampleCount), from the timeline's length: the samples whose instants
// fall within the recording's symbols. Throws std::invalid_argument for options that cannot be
// met (a rate below 1.5 symbol rates, an index outside (0, pi/2), a carrier outside the band),
// std::logic_error when the recording's length is not the timeline's.
class BasebandModulator {
 public:
  BasebandModulator(const BasebandOptions& options, const BasebandTimeline& timeline,
                    SampleSink sink);
  void Write(const uint8_t* bytes, size_t size);
  // Sends the last symbols and the samples up to SampleCount.
  void Finish();

  uint64_t SampleCount() const { return sample_count_; }
  uint64_t SamplesWritten() const { return next_sample_; }
  // Units held for samples still to come: bounded whatever the pass's length or the pieces'.
  size_t BufferedUnits() const { return unit_q_.size(); }
  // Units of the waveform: QPSK symbols, Meteor-M N2 Manchester half-bits (chips).
  double UnitRate() const { return unit_rate_; }
  // Signal power at the top of the pass and noise variance per complex sample (full scale 1).
  double SignalPower() const { return signal_power_; }
  double NoiseVariance() const { return noise_variance_; }
  // Carrier offset (Doppler plus oscillator) at time t seconds from the first sample.
  double CarrierAt(double t) const;
  // Es/N0 in dB at time t (NaN without noise).
  double EsN0At(double t) const;
  // Times of the pass: the signal from rise to set, the top in the middle.
  double RiseTime() const { return rise_s_; }
  double SetTime() const { return set_s_; }

 private:
  void AddUnits();
  void Produce(bool final);
  void SendBlock(size_t count, uint64_t first_sample);
  double AmplitudeAt(double t) const;

  BasebandOptions options_;
  SampleSink sink_;
  RailBitEncoder rails_;
  bool meteor_ = false;
  double unit_rate_ = 0;
  double actual_rate_ = 0;  // the sample clock's true rate
  double units_per_sample_ = 0;
  uint64_t expected_units_ = 0;
  uint64_t sample_count_ = 0;
  uint64_t next_sample_ = 0;
  PulseTable pulse_;
  // The waveform's units from unit_base_ on (absolute index), I and Q amplitudes.
  std::vector<float> unit_i_, unit_q_;
  int64_t unit_base_ = 0;
  uint64_t units_added_ = 0;
  std::vector<uint8_t> i_rail_, q_rail_;
  bool finished_ = false;
  // Level, noise and the pass.
  double amplitude_ = 0;  // of the symbols (Meteor-M N2: of the carrier phasor) at the top
  double signal_power_ = 0;
  double noise_variance_ = 0;
  float noise_sigma_ = 0;    // per component
  float carrier_level_ = 0;  // Meteor-M N2: cos(beta); quadrature scale sin(beta)
  float quadrature_level_ = 0;
  double rise_s_ = 0, set_s_ = 0, top_s_ = 0;
  uint64_t rise_sample_ = 0, set_sample_ = 0;
  double doppler_a_ = 0;  // seconds: D / rate at the top
  double phase_ = 0;      // carrier phase, cycles, at the next sample
  GaussianNoise noise_;
  float iq_gain_ = 1, iq_cos_ = 1, iq_sin_ = 0;
  std::vector<float> block_;  // interleaved I, Q
};

}  // namespace vantrel::sim
