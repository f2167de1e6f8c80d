#include "sim/baseband_modulator.h"

#include <algorithm>
#include <complex>
#include <cstring>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>

namespace vantrel::sim {
namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;
constexpr size_t kBlockSamples = 4096;
constexpr size_t kWritePiece = 4096;  // recording bytes modulated at a time
// The carrier's phasor is advanced by multiplication for this many samples, then set afresh.
constexpr size_t kPhasorRun = 256;
// Units kept in front of the first one still needed before the buffer is compacted.
constexpr int64_t kCompactUnits = 1 << 16;
// Rates below this many units per second alias the waveform: refused.
constexpr double kMinSamplesPerUnit = 1.5;
constexpr double kMaxClockPpm = 1000;
// Meteor-M N2: the quadrature NRZ's low-pass, as a fraction of the sample rate and at most the
// downlink's stated 3 MHz bandwidth.
constexpr double kMn2LowPassOfRate = 0.45;
constexpr double kMn2MaxLowPassHz = 1.5e6;
// Fine grid of the low-pass's step response, per chip.
constexpr int kStepGrid = 4096;
// Es/N0 at the horizon: the pass profile's |2x - 1|^3 shape, as the bit error rate has.
constexpr double kEdgePower = 3;

// ---- Gaussian noise -----------------------------------------------------------------------

constexpr double kZigguratR = 3.442619855899;       // start of the base strip's tail
constexpr double kZigguratV = 9.91256303526217e-3;  // area of each strip
constexpr double kTwoTo31 = 2147483648.0;

uint64_t SplitMix(uint64_t& x) {
  uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// ---- Pulses ---------------------------------------------------------------------------------

// The quadrature NRZ chip of Meteor-M N2 through a Hann-windowed ideal low-pass of `cutoff`
// cycles per chip: g(t) = integral over [t - 1/2, t + 1/2] of h, h(t) = 2c sinc(2ct) w(t), the
// window reaching zero half a chip inside the table's span so that g fits it.
class LowPassChip {
 public:
  LowPassChip(double cutoff, int half_span)
      : half_width_(half_span - 0.5), step_(static_cast<size_t>(2 * half_span * kStepGrid + 1)) {
    // Cumulative integral of h on the grid from -half_span, trapezoidal, normalised to 1.
    const double dt = 1.0 / kStepGrid;
    auto h = [&](double t) {
      if (std::abs(t) >= half_width_) return 0.0;
      const double x = 2 * cutoff * t;
      const double sinc = x == 0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
      return 2 * cutoff * sinc * 0.5 * (1 + std::cos(std::numbers::pi * t / half_width_));
    };
    double previous = h(-half_span), sum = 0;
    step_[0] = 0;
    for (size_t i = 1; i < step_.size(); ++i) {
      const double value = h(-half_span + static_cast<double>(i) * dt);
      sum += 0.5 * (previous + value) * dt;
      step_[i] = sum;
      previous = value;
    }
    if (sum > 0)  // (a cutoff of zero is refused by the modulator)
      for (double& s : step_) s /= sum;
    half_span_ = half_span;
  }
  double operator()(double t) const { return Step(t + 0.5) - Step(t - 0.5); }

 private:
  double Step(double t) const {
    const double x = (t + half_span_) * kStepGrid;
    if (x <= 0) return 0;
    if (x >= static_cast<double>(step_.size() - 1)) return 1;
    const auto i = static_cast<size_t>(x);
    const double f = x - static_cast<double>(i);
    return step_[i] + f * (step_[i + 1] - step_[i]);
  }
  double half_width_;
  int half_span_ = 0;
  std::vector<double> step_;
};

PulseTable MakePulse(const BasebandOptions& o) {
  if (o.modulation != SoftModulation::kMeteorBpsk)
    return PulseTable([](double t) { return RootRaisedCosine(t, kRrcRollOff); }, kPulseHalfSpan,
                      kPulsePhases);
  const double chip_rate = 2 * o.symbol_rate;
  const double cutoff = std::min(kMn2LowPassOfRate * o.sample_rate, kMn2MaxLowPassHz) / chip_rate;
  return PulseTable(LowPassChip(cutoff, kPulseHalfSpan), kPulseHalfSpan, kPulsePhases);
}

// Power of a Manchester waveform of random data with this chip pulse, in units of the chip
// amplitude squared: the chips of one bit are opposite, of different bits independent, so
// P = R(0) - R(1), R the pulse's autocorrelation in chip units (taken from the table's rows).
double ManchesterPower(const PulseTable& pulse) {
  double r0 = 0, r1 = 0;
  for (int q = 0; q < pulse.phases(); ++q) {
    const float* row = pulse.Row(q);
    for (int m = 0; m < pulse.taps(); ++m) {
      r0 += row[m] * row[m];
      if (m + 1 < pulse.taps()) r1 += row[m] * row[m + 1];
    }
  }
  return (r0 - r1) / pulse.phases();
}

// Sum of 2 * kPulseHalfSpan products, four lanes at a time.
using Lanes = float __attribute__((vector_size(16)));
inline float Dot(const float* a, const float* b) {
  static_assert(2 * kPulseHalfSpan % 4 == 0);
  Lanes sum{};
  for (int m = 0; m < 2 * kPulseHalfSpan; m += 4) {
    Lanes x, y;
    std::memcpy(&x, a + m, sizeof x);
    std::memcpy(&y, b + m, sizeof y);
    sum += x * y;
  }
  return (sum[0] + sum[1]) + (sum[2] + sum[3]);
}

}  // namespace

GaussianNoise::GaussianNoise(uint64_t seed) {
  for (uint64_t& word : state_) word = SplitMix(seed);
}

const GaussianNoise::ZigguratTables& GaussianNoise::Tables() {
  // The strips' edges x[i] from the tail inwards: equal areas v, x[127] = r.
  static const ZigguratTables tables = [] {
    ZigguratTables t{};
    double edge = kZigguratR, outer = edge;
    const double q = kZigguratV / std::exp(-0.5 * edge * edge);
    t.k[0] = static_cast<uint32_t>(edge / q * kTwoTo31);
    t.k[1] = 0;
    t.w[0] = static_cast<float>(q / kTwoTo31);
    t.w[kStrips - 1] = static_cast<float>(edge / kTwoTo31);
    t.f[0] = 1.0f;
    t.f[kStrips - 1] = static_cast<float>(std::exp(-0.5 * edge * edge));
    for (int i = kStrips - 2; i >= 1; --i) {
      edge = std::sqrt(-2 * std::log(kZigguratV / edge + std::exp(-0.5 * edge * edge)));
      t.k[i + 1] = static_cast<uint32_t>(edge / outer * kTwoTo31);
      outer = edge;
      t.f[i] = static_cast<float>(std::exp(-0.5 * edge * edge));
      t.w[i] = static_cast<float>(edge / kTwoTo31);
    }
    return t;
  }();
  return tables;
}

double GaussianNoise::Uniform() {
  return (static_cast<double>(NextBits() >> 11) + 0.5) * 0x1.0p-53;
}

float GaussianNoise::Slow(int32_t value, unsigned strip) {
  const ZigguratTables& t = Tables();
  for (;;) {
    if (strip == 0) {
      // The tail beyond r, by Marsaglia's exponential method.
      double x = 0, y = 0;
      do {
        x = -std::log(Uniform()) / kZigguratR;
        y = -std::log(Uniform());
      } while (y + y < x * x);
      return static_cast<float>(value > 0 ? kZigguratR + x : -kZigguratR - x);
    }
    const double x = static_cast<double>(value) * t.w[strip];
    if (t.f[strip] + Uniform() * (t.f[strip - 1] - t.f[strip]) < std::exp(-0.5 * x * x))
      return static_cast<float>(x);
    const uint64_t bits = NextBits();
    value = static_cast<int32_t>(static_cast<uint32_t>(bits >> 32));
    strip = static_cast<unsigned>(bits & kStripMask);
    if (Magnitude(value) < t.k[strip]) return static_cast<float>(value) * t.w[strip];
  }
}

double RootRaisedCosine(double t, double a) {
  const double pi = std::numbers::pi;
  if (std::abs(t) < 1e-9) return 1 - a + 4 * a / pi;
  if (std::abs(std::abs(t) - 1 / (4 * a)) < 1e-9)
    return a / std::sqrt(2.0) *
           ((1 + 2 / pi) * std::sin(pi / (4 * a)) + (1 - 2 / pi) * std::cos(pi / (4 * a)));
  const double x = 4 * a * t;
  return (std::sin(pi * t * (1 - a)) + 4 * a * t * std::cos(pi * t * (1 + a))) /
         (pi * t * (1 - x * x));
}

BasebandModulator::BasebandModulator(const BasebandOptions& options,
                                     const BasebandTimeline& timeline, SampleSink sink)
    : options_(options),
      sink_(std::move(sink)),
      rails_(options.modulation),
      meteor_(options.modulation == SoftModulation::kMeteorBpsk),
      pulse_(MakePulse(options)),
      noise_(options.seed) {
  const BasebandOptions& o = options_;
  unit_rate_ = meteor_ ? 2 * o.symbol_rate : o.symbol_rate;
  if (!(o.symbol_rate > 0)) throw std::invalid_argument("the symbol rate must be positive");
  // QPSK from one sample per symbol (the band's edges fold in, as in a receiver whose band is
  // narrower than the signal's); the Manchester half-bits from 1.5 samples each.
  const double least_per_unit = meteor_ ? kMinSamplesPerUnit : 1.0;
  if (!(o.sample_rate >= least_per_unit * unit_rate_))
    throw std::invalid_argument("the sample rate " + std::to_string(o.sample_rate) + " is below " +
                                (meteor_ ? "1.5 times the " : "the ") +
                                (meteor_ ? "Manchester half-bit rate " : "symbol rate ") +
                                std::to_string(unit_rate_));
  if (!(std::abs(o.clock_ppm) <= kMaxClockPpm))
    throw std::invalid_argument("the clock error must be within +-1000 ppm");
  if (meteor_ && !(o.modulation_index > 0 && o.modulation_index < std::numbers::pi / 2))
    throw std::invalid_argument("the modulation index must be above 0 and below pi/2 rad");
  if (!(std::abs(o.carrier_offset_hz) + std::abs(o.doppler_hz) < o.sample_rate / 2))
    throw std::invalid_argument("the carrier offset and Doppler leave the sampled band");
  if (o.doppler_hz != 0 && !(o.doppler_rate > 0))
    throw std::invalid_argument("the Doppler rate must be positive");
  if (o.follow_pass && (std::isnan(o.esn0_db) || std::isnan(o.esn0_horizon_db)))
    throw std::invalid_argument("an Es/N0 that follows the pass needs its top and horizon values");

  actual_rate_ = o.sample_rate * (1 + o.clock_ppm * 1e-6);
  units_per_sample_ = unit_rate_ / actual_rate_;
  const uint64_t bits = timeline.recording_bits;
  double bits_per_unit = 1.5;
  switch (o.modulation) {
    case SoftModulation::kMetopQpsk:
      expected_units_ = (bits + 2) / 3 * 2;
      break;
    case SoftModulation::kFy3Qpsk:
      expected_units_ = (bits + 5) / 6 * 4;
      break;
    case SoftModulation::kMeteorBpsk:
      expected_units_ = 2 * bits;
      bits_per_unit = 0.5;
      break;
  }
  sample_count_ = static_cast<uint64_t>(static_cast<double>(expected_units_) / units_per_sample_);
  const double bit_rate = unit_rate_ * bits_per_unit;
  rise_s_ = static_cast<double>(timeline.signal_first_bit) / bit_rate;
  set_s_ =
      static_cast<double>(std::max(timeline.signal_end_bit, timeline.signal_first_bit)) / bit_rate;
  top_s_ = (rise_s_ + set_s_) / 2;
  rise_sample_ = static_cast<uint64_t>(std::ceil(rise_s_ * actual_rate_));
  set_sample_ = static_cast<uint64_t>(std::ceil(set_s_ * actual_rate_));
  doppler_a_ = o.doppler_hz != 0 ? std::abs(o.doppler_hz) / o.doppler_rate : 1;

  // Level: signal and noise at the top take kFullScaleRms of full scale on each component.
  // QPSK symbols and the unit-energy pulse make the power the amplitude squared; Meteor-M N2's
  // is the carrier's cos^2 beta plus the band-limited data's share.
  double total_share = 1, data_share = 1;
  if (meteor_) {
    const double beta = o.modulation_index;
    data_share = std::pow(std::sin(beta), 2) * ManchesterPower(pulse_);
    total_share = std::pow(std::cos(beta), 2) + data_share;
    carrier_level_ = static_cast<float>(std::cos(beta));
    quadrature_level_ = static_cast<float>(std::sin(beta));
  }
  const double target = 2 * kFullScaleRms * kFullScaleRms;
  // sigma^2 per unit of amplitude squared: Es fs / (Es/N0), Es = data power / data rate.
  const double noise_share =
      std::isnan(o.esn0_db)
          ? 0
          : data_share * o.sample_rate / (o.symbol_rate * std::pow(10.0, o.esn0_db / 10));
  const double amplitude2 = target / (total_share + noise_share);
  amplitude_ = std::sqrt(amplitude2);
  signal_power_ = amplitude2 * total_share;
  noise_variance_ = amplitude2 * noise_share;
  noise_sigma_ = static_cast<float>(std::sqrt(noise_variance_ / 2));

  iq_gain_ = static_cast<float>(std::pow(10.0, o.iq_gain_db / 20));
  iq_cos_ = static_cast<float>(std::cos(o.iq_phase_deg * std::numbers::pi / 180));
  iq_sin_ = static_cast<float>(std::sin(o.iq_phase_deg * std::numbers::pi / 180));

  // Units before the first are silent: the first samples' pulses reach back to them.
  unit_base_ = -kPulseHalfSpan;
  unit_i_.assign(kPulseHalfSpan, 0.0f);
  unit_q_.assign(kPulseHalfSpan, 0.0f);
  block_.resize(2 * kBlockSamples);
}

double BasebandModulator::CarrierAt(double t) const {
  double f = options_.carrier_offset_hz;
  if (options_.doppler_hz != 0) {
    const double u = t - top_s_;
    f -= options_.doppler_hz * u / std::sqrt(u * u + doppler_a_ * doppler_a_);
  }
  return f;
}

double BasebandModulator::EsN0At(double t) const {
  if (std::isnan(options_.esn0_db)) return NAN;
  if (!options_.follow_pass) return options_.esn0_db;
  const double length = set_s_ - rise_s_;
  const double x = length > 0 ? std::clamp((t - rise_s_) / length, 0.0, 1.0) : 0.5;
  const double edge = std::pow(std::abs(2 * x - 1), kEdgePower);
  return options_.esn0_db + (options_.esn0_horizon_db - options_.esn0_db) * edge;
}

double BasebandModulator::AmplitudeAt(double t) const {
  if (!options_.follow_pass) return amplitude_;
  return amplitude_ * std::pow(10.0, (EsN0At(t) - options_.esn0_db) / 20);
}

void BasebandModulator::AddUnits() {
  constexpr float kRail = static_cast<float>(std::numbers::sqrt2 / 2);
  if (meteor_) {
    for (const uint8_t bit : i_rail_) {
      const float first = bit ? 1.0f : -1.0f;
      unit_i_.push_back(0);
      unit_i_.push_back(0);
      unit_q_.push_back(first);
      unit_q_.push_back(-first);
    }
    units_added_ += 2 * i_rail_.size();
  } else {
    for (size_t k = 0; k < i_rail_.size(); ++k) {
      unit_i_.push_back(i_rail_[k] ? kRail : -kRail);
      unit_q_.push_back(q_rail_[k] ? kRail : -kRail);
    }
    units_added_ += i_rail_.size();
  }
  i_rail_.clear();
  q_rail_.clear();
}

void BasebandModulator::Write(const uint8_t* bytes, size_t size) {
  if (finished_) throw std::logic_error("baseband modulator: write after Finish");
  // In small pieces, so that the symbols waiting for their samples stay few whatever the
  // caller hands over at once (a pass's seconds of noise come in one piece).
  for (size_t at = 0; at < size; at += kWritePiece) {
    rails_.Encode(bytes + at, std::min(kWritePiece, size - at), i_rail_, q_rail_);
    AddUnits();
    Produce(false);
  }
}

void BasebandModulator::Finish() {
  if (finished_) return;
  rails_.Finish(i_rail_, q_rail_);
  AddUnits();
  if (units_added_ != expected_units_)
    throw std::logic_error("baseband modulator: the recording has " + std::to_string(units_added_) +
                           " symbols, not the " + std::to_string(expected_units_) + " announced");
  // Silence after the last unit, for the pulses of the last samples.
  unit_i_.insert(unit_i_.end(), kPulseHalfSpan + 2, 0.0f);
  unit_q_.insert(unit_q_.end(), kPulseHalfSpan + 2, 0.0f);
  finished_ = true;
  Produce(true);
}

void BasebandModulator::Produce(bool final) {
  const int phases = pulse_.phases();
  const int64_t units_end = unit_base_ + static_cast<int64_t>(unit_q_.size());
  // The last sample whose pulses reach only units present: floor(n x ups) + half span + 1 <
  // units_end.
  uint64_t limit = sample_count_;
  if (!final) {
    const double reach = static_cast<double>(units_end - kPulseHalfSpan - 1);
    const double last = reach > 0 ? std::floor(reach / units_per_sample_) : 0;
    limit = std::min(sample_count_, static_cast<uint64_t>(last));
  }
  while (next_sample_ < limit) {
    const size_t count =
        static_cast<size_t>(std::min<uint64_t>(kBlockSamples, limit - next_sample_));
    for (size_t j = 0; j < count; ++j) {
      const double position = static_cast<double>(next_sample_ + j) * units_per_sample_;
      auto unit = static_cast<int64_t>(position);
      int q = static_cast<int>(std::lround((position - static_cast<double>(unit)) * phases));
      if (q == phases) {
        q = 0;
        ++unit;
      }
      const float* row = pulse_.Row(q);
      const size_t at = static_cast<size_t>(unit - kPulseHalfSpan + 1 - unit_base_);
      block_[2 * j] = meteor_ ? 0.0f : Dot(row, unit_i_.data() + at);
      block_[2 * j + 1] = Dot(row, unit_q_.data() + at);
    }
    SendBlock(count, next_sample_);
    next_sample_ += count;
  }
  // Drop the units no later sample reaches.
  const auto needed =
      static_cast<int64_t>(static_cast<double>(next_sample_) * units_per_sample_) - kPulseHalfSpan;
  if (needed - unit_base_ > kCompactUnits) {
    const auto drop = static_cast<long>(needed - unit_base_);
    unit_i_.erase(unit_i_.begin(), unit_i_.begin() + drop);
    unit_q_.erase(unit_q_.begin(), unit_q_.begin() + drop);
    unit_base_ = needed;
  }
}

void BasebandModulator::SendBlock(size_t count, uint64_t first_sample) {
  const double middle =
      (static_cast<double>(first_sample) + 0.5 * static_cast<double>(count)) / actual_rate_;
  // The signal is there from rise to set only.
  const float amplitude = static_cast<float>(AmplitudeAt(middle));
  const uint64_t last_sample = first_sample + count;
  const size_t on =
      static_cast<size_t>(std::clamp(rise_sample_, first_sample, last_sample) - first_sample);
  const size_t off =
      static_cast<size_t>(std::clamp(set_sample_, first_sample, last_sample) - first_sample);
  const float carrier = amplitude * carrier_level_;
  const float quadrature = meteor_ ? amplitude * quadrature_level_ : amplitude;
  const float dc_i = static_cast<float>(options_.dc_i), dc_q = static_cast<float>(options_.dc_q);
  for (size_t start = 0; start < count; start += kPhasorRun) {
    const size_t end = std::min(count, start + kPhasorRun);
    // The carrier's frequency at the middle of the run, in cycles per sample.
    const double run_middle =
        (static_cast<double>(first_sample) + 0.5 * static_cast<double>(start + end)) / actual_rate_;
    const double step = CarrierAt(run_middle) / actual_rate_;
    std::complex<float> phasor(static_cast<float>(std::cos(kTwoPi * phase_)),
                               static_cast<float>(std::sin(kTwoPi * phase_)));
    const std::complex<float> turn(static_cast<float>(std::cos(kTwoPi * step)),
                                   static_cast<float>(std::sin(kTwoPi * step)));
    for (size_t j = start; j < end; ++j) {
      float i = 0, q = 0;
      if (j >= on && j < off) {
        const float si = meteor_ ? carrier : quadrature * block_[2 * j];
        const float sq = quadrature * block_[2 * j + 1];
        i = si * phasor.real() - sq * phasor.imag();
        q = si * phasor.imag() + sq * phasor.real();
      }
      phasor *= turn;
      if (noise_sigma_ > 0) {
        i += noise_sigma_ * noise_.Next();
        q += noise_sigma_ * noise_.Next();
      }
      // The receiver: the Q branch off in gain and phase, then DC.
      block_[2 * j] = i + dc_i;
      block_[2 * j + 1] = iq_gain_ * (q * iq_cos_ + i * iq_sin_) + dc_q;
    }
    phase_ += step * static_cast<double>(end - start);
    phase_ -= std::floor(phase_);
  }
  sink_(block_.data(), count);
}

}  // namespace vantrel::sim
