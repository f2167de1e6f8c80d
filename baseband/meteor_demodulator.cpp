#include "baseband/meteor_demodulator.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <numbers>
#include <stdexcept>

namespace vantrel {
namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;

// Fractional search resolution: the transform's bin is at most this wide.
constexpr double kMaxBinHz = 400;
constexpr size_t kMinFftSize = 1024;
constexpr size_t kMaxFftSize = size_t{1} << 20;

// FFTW's planner is not thread-safe: demodulators made on several threads take turns.
std::mutex& FftwPlannerMutex() {
  static std::mutex mutex;
  return mutex;
}

double WrapPhase(double phase) {
  return phase - kTwoPi * std::nearbyint(phase / kTwoPi);
}

// Gains of a second-order loop updated once per `update_period` seconds, noise bandwidth
// `bandwidth_hz`, damping 0.707: proportional 2*zeta*theta, integral theta^2.
struct LoopGains {
  double proportional;
  double integral;
};
LoopGains SecondOrderLoop(double bandwidth_hz, double update_period) {
  constexpr double kDamping = 0.7071067811865476;
  const double natural = 2 * bandwidth_hz / (kDamping + 1 / (4 * kDamping));  // rad/s
  const double theta = natural * update_period;
  return {2 * kDamping * theta, theta * theta};
}

}  // namespace

std::string MeteorDemodulatorConfigError(const DemodulatorConfig& config) {
  char line[200];
  if (!std::isfinite(config.symbol_rate) || config.symbol_rate <= 0) {
    std::snprintf(line, sizeof line, "Meteor-M N2 bit rate %g bit/s: must be above 0",
                  config.symbol_rate);
    return line;
  }
  if (!std::isfinite(config.sample_rate) || config.sample_rate < 2.8 * config.symbol_rate ||
      config.sample_rate > 1e9) {
    std::snprintf(line, sizeof line,
                  "Meteor-M N2 sample rate %g samples/s: must be from %.0f (2.8 samples per bit) "
                  "to 1e9",
                  config.sample_rate, 2.8 * config.symbol_rate);
    return line;
  }
  if (!std::isfinite(config.carrier_range_hz) || config.carrier_range_hz < 0 ||
      config.carrier_range_hz > config.sample_rate / 4) {
    std::snprintf(line, sizeof line,
                  "Meteor-M N2 carrier search range %g Hz: must be from 0 to %.0f (a quarter of "
                  "the sample rate)",
                  config.carrier_range_hz, config.sample_rate / 4);
    return line;
  }
  return {};
}

// ---------------------------------------------------------------------------------------------
// Carrier search

struct ResidualCarrierSearch::Fft {
  fftwf_complex* in = nullptr;
  fftwf_complex* out = nullptr;
  fftwf_plan plan = nullptr;
  explicit Fft(size_t size) {
    in = fftwf_alloc_complex(size);
    out = fftwf_alloc_complex(size);
    if (in == nullptr || out == nullptr) throw std::bad_alloc();
    std::lock_guard<std::mutex> lock(FftwPlannerMutex());
    plan = fftwf_plan_dft_1d(static_cast<int>(size), in, out, FFTW_FORWARD, FFTW_ESTIMATE);
  }
  ~Fft() {
    std::lock_guard<std::mutex> lock(FftwPlannerMutex());
    if (plan != nullptr) fftwf_destroy_plan(plan);
    fftwf_free(in);
    fftwf_free(out);
  }
};

ResidualCarrierSearch::ResidualCarrierSearch(double sample_rate, double range_hz)
    : sample_rate_(sample_rate), range_hz_(range_hz), fft_size_(kMinFftSize) {
  while (fft_size_ < kMaxFftSize && sample_rate / static_cast<double>(fft_size_) > kMaxBinHz)
    fft_size_ *= 2;
  window_.resize(fft_size_);
  for (size_t i = 0; i < fft_size_; ++i)
    window_[i] = static_cast<float>(
        0.5 - 0.5 * std::cos(kTwoPi * static_cast<double>(i) / static_cast<double>(fft_size_)));
  power_.resize(fft_size_);
  fft_ = std::make_unique<Fft>(fft_size_);
}

ResidualCarrierSearch::~ResidualCarrierSearch() = default;

ResidualCarrierSearch::Result ResidualCarrierSearch::Search(const std::complex<float>* samples) {
  const size_t n = fft_size_;
  std::fill(power_.begin(), power_.end(), 0.0f);
  for (int frame = 0; frame < kFrames; ++frame) {
    const std::complex<float>* x = samples + frame * n;
    for (size_t i = 0; i < n; ++i) {
      fft_->in[i][0] = x[i].real() * window_[i];
      fft_->in[i][1] = x[i].imag() * window_[i];
    }
    fftwf_execute(fft_->plan);
    for (size_t i = 0; i < n; ++i)
      power_[i] += fft_->out[i][0] * fft_->out[i][0] + fft_->out[i][1] * fft_->out[i][1];
  }

  // Bins as signed offsets from the centre. The peak is looked for within the range; the
  // noise level is measured over at least +-32 bins around the centre.
  const double bin_hz = sample_rate_ / static_cast<double>(n);
  const long half = static_cast<long>(n / 2) - 2;
  const long range_bins = std::clamp(static_cast<long>(std::ceil(range_hz_ / bin_hz)), 1L, half);
  const long noise_bins = std::clamp(range_bins, 32L, half);
  auto at = [&](long bin) {
    return power_[static_cast<size_t>((bin + static_cast<long>(n)) % static_cast<long>(n))];
  };
  long peak = 0;
  for (long bin = -range_bins; bin <= range_bins; ++bin)
    if (at(bin) > at(peak)) peak = bin;
  double noise = 0;
  long noise_count = 0;
  for (long bin = -noise_bins; bin <= noise_bins; ++bin) {
    if (std::abs(bin - peak) <= 3) continue;
    noise += at(bin);
    ++noise_count;
  }
  Result result;
  if (noise_count == 0 || !(noise > 0)) return result;
  noise /= static_cast<double>(noise_count);
  result.peak_ratio = at(peak) / noise;
  if (!(result.peak_ratio >= kDetectionRatio)) return result;

  // Between bins: a parabola through the logarithms of the peak and its neighbours (exact for
  // a Gaussian, within a few hundredths of a bin for the Hann window).
  const double left = std::log(std::max(at(peak - 1), 1e-30f));
  const double centre = std::log(std::max(at(peak), 1e-30f));
  const double right = std::log(std::max(at(peak + 1), 1e-30f));
  const double curvature = left - 2 * centre + right;
  const double delta = curvature < 0 ? std::clamp(0.5 * (left - right) / curvature, -0.5, 0.5) : 0;
  double frequency = (static_cast<double>(peak) + delta) * bin_hz;

  // Refinement: the phase the tone gains from the first half of the block to the second.
  const size_t block = BlockSize();
  auto correlate = [&](double hz, size_t begin, size_t end, double reference) {
    const double step = -kTwoPi * hz / sample_rate_;
    std::complex<double> rotor = std::polar(1.0, step * (static_cast<double>(begin) - reference));
    const std::complex<double> rotation = std::polar(1.0, step);
    std::complex<double> sum = 0;
    for (size_t i = begin; i < end; ++i) {
      sum += std::complex<double>(samples[i].real(), samples[i].imag()) * rotor;
      rotor *= rotation;
      if ((i & 1023) == 0) rotor /= std::abs(rotor);
    }
    return sum;
  };
  const std::complex<double> first = correlate(frequency, 0, block / 2, 0);
  const std::complex<double> second = correlate(frequency, block / 2, block, 0);
  const double half_seconds = static_cast<double>(block / 2) / sample_rate_;
  frequency += std::arg(second * std::conj(first)) / (kTwoPi * half_seconds);
  const double middle = static_cast<double>(block / 2);
  const std::complex<double> whole = correlate(frequency, 0, block, middle);

  result.found = true;
  result.offset_hz = frequency;
  result.phase = WrapPhase(std::arg(whole) - kTwoPi * frequency * middle / sample_rate_);
  result.amplitude = std::abs(whole) / static_cast<double>(block);
  return result;
}

// ---------------------------------------------------------------------------------------------
// Carrier tracking

ResidualCarrierPll::ResidualCarrierPll(double sample_rate, double bandwidth_hz)
    : sample_rate_(sample_rate) {
  const LoopGains gains =
      SecondOrderLoop(bandwidth_hz, static_cast<double>(kUpdateSamples) / sample_rate);
  k_phase_ = gains.proportional;
  k_frequency_ = gains.integral;
}

void ResidualCarrierPll::Reset(double offset_hz, double phase, double amplitude) {
  phase_ = WrapPhase(phase);
  frequency_ = kTwoPi * offset_hz / sample_rate_;
  amplitude_ = amplitude > 0 ? amplitude : 1;
  pending_ = 0;
  pending_sum_ = 0;
  sums_ = {};
}

double ResidualCarrierPll::OffsetHz() const {
  return frequency_ * sample_rate_ / kTwoPi;
}

ResidualCarrierPll::CarrierSums ResidualCarrierPll::TakeCarrierSums() {
  const CarrierSums sums = sums_;
  sums_ = {};
  return sums;
}

void ResidualCarrierPll::Process(const std::complex<float>* samples, size_t count,
                                 float* quadrature) {
  size_t done = 0;
  while (done < count) {
    if (pending_ == 0) {
      rotor_ = std::polar(1.0f, static_cast<float>(-phase_));
      step_ = std::polar(1.0f, static_cast<float>(-frequency_));
    }
    const size_t n = std::min(kUpdateSamples - pending_, count - done);
    // Written out: std::complex<float> multiplication checks for infinities on every call.
    float rotor_re = rotor_.real(), rotor_im = rotor_.imag();
    const float step_re = step_.real(), step_im = step_.imag();
    float sum_re = 0, sum_im = 0;
    const std::complex<float>* x = samples + done;
    float* q = quadrature + done;
    for (size_t i = 0; i < n; ++i) {
      const float re = x[i].real() * rotor_re - x[i].imag() * rotor_im;
      const float im = x[i].real() * rotor_im + x[i].imag() * rotor_re;
      q[i] = im;
      sum_re += re;
      sum_im += im;
      const float next_re = rotor_re * step_re - rotor_im * step_im;
      rotor_im = rotor_re * step_im + rotor_im * step_re;
      rotor_re = next_re;
    }
    rotor_ = {rotor_re, rotor_im};
    pending_sum_ += std::complex<double>(sum_re, sum_im);
    pending_ += n;
    done += n;
    if (pending_ == kUpdateSamples) {
      Update(pending_sum_, pending_);
      pending_ = 0;
      pending_sum_ = 0;
    }
  }
}

void ResidualCarrierPll::Update(std::complex<double> sum, size_t count) {
  const double samples = static_cast<double>(count);
  sums_.in_phase += sum.real();
  sums_.quadrature += sum.imag();
  sums_.samples += count;
  // The carrier's amplitude, tracked over about 64 updates, scales the phase detector so that
  // the loop's gain does not depend on the signal level or the modulation index.
  constexpr double kAmplitudeSmoothing = 1.0 / 64;
  constexpr double kMinAmplitude = 1e-4;
  amplitude_ += kAmplitudeSmoothing * (sum.real() / samples - amplitude_);
  amplitude_ = std::max(amplitude_, kMinAmplitude);
  const double error = std::clamp(sum.imag() / (samples * amplitude_), -1.0, 1.0);
  phase_ = WrapPhase(phase_ + frequency_ * samples + k_phase_ * error);
  frequency_ += k_frequency_ * error / static_cast<double>(kUpdateSamples);
}

// ---------------------------------------------------------------------------------------------
// Bit timing

namespace {
// The timing loop's noise bandwidth as a fraction of the half-bit rate.
constexpr double kTimingBandwidth = 0.0003;
// ... and for the first kSettlingHalfBits half-bits after the timing search.
constexpr double kSettlingBandwidth = 0.002;
constexpr uint64_t kSettlingHalfBits = 4096;
// Running means of the pairing test and the half-bit power, per half-bit.
constexpr double kPairingSmoothing = 1.0 / 256;
constexpr double kHalfPowerSmoothing = 1.0 / 1024;
// The pairing is turned when pairs across bits sum to less than this share of the pairs
// within bits (correctly paired, random data gives 1 + Eb/N0 times more across than within).
constexpr double kSlipRatio = 0.6;
// The matched filters for the bit values: a sample this close to a half-bit boundary (in
// samples) counts in part on either side. The narrowest fits samples taken at instants, the
// widest samples averaged over their period; the one whose values have the best Es/N0 is used.
constexpr double kFilterRamps[ManchesterBitSync::kFilters] = {0.05, 0.25, 0.5};
constexpr uint64_t kFilterBits = 4096;        // bits the filters' Es/N0 are measured over
constexpr uint64_t kFilterChoiceBits = 1024;  // bits between choices
constexpr double kFilterChoiceMargin = 1.05;  // better by this factor (0.2 dB) to change
}  // namespace

ManchesterBitSync::ManchesterBitSync(double sample_rate, double bit_rate)
    : nominal_half_period_(sample_rate / (2 * bit_rate)), half_period_(nominal_half_period_) {}

void ManchesterBitSync::Reset() {
  acquired_ = false;
  half_period_ = nominal_half_period_;
  samples_.clear();
  step_adjust_ = 0;
  pairing_slips_ = 0;
}

ManchesterBitSync::Weighted ManchesterBitSync::SampleSum(double position, double ramp) const {
  const double shifted = position - 0.5 + ramp;
  const size_t index = static_cast<size_t>(shifted);
  const double fraction = std::min((shifted - static_cast<double>(index)) / (2 * ramp), 1.0);
  return {running_sum_[index] + fraction * samples_[index], static_cast<double>(index) + fraction};
}

double ManchesterBitSync::Integral(double position) const {
  const size_t index = static_cast<size_t>(position);
  const float fraction = static_cast<float>(position - static_cast<double>(index));
  return running_sum_[index] + fraction * samples_[index];
}

void ManchesterBitSync::Acquire() {
  // The bit matched filter's energy for start positions over one bit period: it peaks where
  // the filter meets whole bits (a pairing off by a half-bit gives half of it).
  constexpr int kCandidates = 32;
  const double half = half_period_;
  const double bit = 2 * half;
  double energy[kCandidates];
  for (int c = 0; c < kCandidates; ++c) {
    const double start = c * bit / kCandidates;
    double sum = 0;
    for (size_t i = 0; i < kAcquireBits; ++i) {
      const double begin = start + static_cast<double>(i) * bit;
      const double value = 2 * Integral(begin + half) - Integral(begin) - Integral(begin + bit);
      sum += value * value;
    }
    energy[c] = sum;
  }
  const int best = static_cast<int>(std::max_element(energy, energy + kCandidates) - energy);
  const double before = energy[(best + kCandidates - 1) % kCandidates];
  const double after = energy[(best + 1) % kCandidates];
  const double curvature = before - 2 * energy[best] + after;
  const double delta =
      curvature < 0 ? std::clamp(0.5 * (before - after) / curvature, -0.5, 0.5) : 0.0;
  double start = (best + delta) * bit / kCandidates;
  if (start < 0) start += bit;
  // Start one bit in, so that the half-bit before the first one is there to be integrated.
  boundary_ = start + bit;
  last_mid_ = boundary_ - half / 2;
  last_half_ = static_cast<float>(Integral(boundary_) - Integral(boundary_ - half));
  second_half_ = false;
  step_adjust_ = 0;
  half_bits_ = 0;
  bits_since_choice_ = 0;
  filter_bits_ = 0;
  for (int f = 0; f < kFilters; ++f) filter_m2_[f] = filter_m4_[f] = 0;
  half_power_ = std::max(energy[best] / static_cast<double>(kAcquireBits) / 4, 1e-30);
  within_pairs_ = half_power_;
  across_pairs_ = half_power_;
  acquired_ = true;
}

void ManchesterBitSync::EmitBit(const float* sums, const float* weights, std::vector<float>& bits,
                                std::vector<float>* bit_weights) {
  // Each filter's values on one level (a bit's value grows with the weight it summed), their
  // second and fourth moments for the Es/N0 of each.
  const double bit_period = 2 * half_period_;
  // Means over the bits since the timing search, then running means over kFilterBits.
  ++filter_bits_;
  const double smoothing = 1 / static_cast<double>(std::min(filter_bits_, kFilterBits));
  for (int f = 0; f < kFilters; ++f) {
    const double weight = std::max(first_weights_[f] + weights[f], 1e-3f);
    const double level = (first_sums_[f] - sums[f]) * bit_period / weight;
    const double square = level * level;
    filter_m2_[f] += smoothing * (square - filter_m2_[f]);
    filter_m4_[f] += smoothing * (square * square - filter_m4_[f]);
  }
  bits.push_back(first_sums_[filter_] - sums[filter_]);
  if (bit_weights != nullptr) bit_weights->push_back(first_weights_[filter_] + weights[filter_]);
  if (++bits_since_choice_ < kFilterChoiceBits) return;
  bits_since_choice_ = 0;
  double snr[kFilters];
  for (int f = 0; f < kFilters; ++f) {
    const double m2 = filter_m2_[f];
    const double signal = std::sqrt(std::max(0.0, (3 * m2 * m2 - filter_m4_[f]) / 2));
    snr[f] = m2 > signal ? signal / (m2 - signal) : 0;
  }
  const int best = static_cast<int>(std::max_element(snr, snr + kFilters) - snr);
  if (snr[best] > kFilterChoiceMargin * snr[filter_]) filter_ = best;
}

void ManchesterBitSync::Process(const float* quadrature, size_t count, std::vector<float>& bits,
                                std::vector<float>* bit_weights) {
  samples_.insert(samples_.end(), quadrature, quadrature + count);
  const size_t size = samples_.size();
  if (!acquired_ &&
      static_cast<double>(size) < 2 * half_period_ * static_cast<double>(kAcquireBits + 2) + 4)
    return;
  running_sum_.resize(size + 1);
  running_sum_[0] = 0;
  for (size_t i = 0; i < size; ++i) running_sum_[i + 1] = running_sum_[i] + samples_[i];
  if (!acquired_) Acquire();

  // The loop starts wide and narrows as it settles: the search's first timing is within a
  // sixty-fourth of a bit, the clock error not known at all.
  const LoopGains settling = SecondOrderLoop(kSettlingBandwidth, 1.0);
  const LoopGains tracking = SecondOrderLoop(kTimingBandwidth, 1.0);
  const double limit = static_cast<double>(size) - 2;
  while (boundary_ + 2 * half_period_ < limit) {
    const double step = half_period_ + step_adjust_;
    const double next = boundary_ + step;
    const double mid = boundary_ + step / 2;
    const float start_integral = static_cast<float>(Integral(boundary_));
    const float mid_integral = static_cast<float>(Integral(mid));
    const float half = static_cast<float>(Integral(next)) - start_integral;
    const float across_boundary = mid_integral - static_cast<float>(Integral(last_mid_));
    float sums[kFilters], weights[kFilters];
    for (int f = 0; f < kFilters; ++f) {
      const Weighted from = SampleSum(boundary_, kFilterRamps[f]);
      const Weighted to = SampleSum(next, kFilterRamps[f]);
      sums[f] = static_cast<float>(to.sum - from.sum);
      weights[f] = static_cast<float>(to.weight - from.weight);
    }

    // Gardner: with a transition at the boundary, the integral across it is 0 when the
    // timing is right and grows with the error; (last - this) gives its sign.
    const double error = static_cast<double>(last_half_ - half) * across_boundary;
    const double late = -error * half_period_ / (4 * half_power_);  // samples
    const LoopGains& gains = half_bits_ < kSettlingHalfBits ? settling : tracking;
    ++half_bits_;
    half_period_ -= gains.integral * late;
    half_period_ =
        std::clamp(half_period_, 0.99 * nominal_half_period_, 1.01 * nominal_half_period_);
    step_adjust_ = -gains.proportional * late;
    half_power_ += kHalfPowerSmoothing * (static_cast<double>(half) * half - half_power_);

    if (second_half_) {
      EmitBit(sums, weights, bits, bit_weights);
      const float pair = first_half_ + half;
      within_pairs_ += kPairingSmoothing * (pair * pair - within_pairs_);
      second_half_ = false;
      if (across_pairs_ < kSlipRatio * within_pairs_) {
        // The pairs across bits look like Manchester bits: the pairing is off by a half-bit.
        std::swap(within_pairs_, across_pairs_);
        first_half_ = half;
        std::copy(sums, sums + kFilters, first_sums_);
        std::copy(weights, weights + kFilters, first_weights_);
        second_half_ = true;
        ++pairing_slips_;
      }
    } else {
      const float pair = last_half_ + half;
      across_pairs_ += kPairingSmoothing * (pair * pair - across_pairs_);
      first_half_ = half;
      std::copy(sums, sums + kFilters, first_sums_);
      std::copy(weights, weights + kFilters, first_weights_);
      second_half_ = true;
    }
    last_half_ = half;
    last_mid_ = mid;
    boundary_ = next;
  }

  // Keep what the next half-bit needs: from the start of the last one on.
  const double keep_from = std::max(std::floor(last_mid_ - half_period_) - 1, 0.0);
  const size_t drop = std::min(static_cast<size_t>(keep_from), size);
  samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(drop));
  boundary_ -= static_cast<double>(drop);
  last_mid_ -= static_cast<double>(drop);
}

// ---------------------------------------------------------------------------------------------
// The demodulator

namespace {

constexpr double kPllBandwidthHz = 200;
// A block counts as carrying the signal when its carrier sum stands this many noise standard
// deviations above 0 (the AGC sets the samples' power, noise included, to 1).
constexpr double kLockSigmas = 6;
// Blocks in a row without the carrier before the lock is given up; their values are dropped.
constexpr int kLossBlocks = 3;
// A block shorter than this share of a whole one (the recording's last) is not judged.
constexpr size_t kUnjudgedFraction = 4;
// Smoothing of the DC estimate and of the power, per block.
constexpr double kDcSmoothing = 0.02;
// While a carrier is tracked within this many block rates of the centre (about 1.5 kHz at any
// sample rate), the DC estimate is held: a block's mean is then more the carrier than the
// receiver's offset (at 0 Hz it is all carrier), and following it would take the carrier off
// the samples and lose the lock where the Doppler curve crosses the centre. Further out the
// carrier adds at most 1 / (pi * 16) of its amplitude to a block's mean.
constexpr double kDcHoldBlockRates = 16;
constexpr double kPowerSmoothing = 0.5;
constexpr size_t kRecentValues = 4096;
// The DC taken off a block stands out of the noise when its power times the block's length
// (the power of a transform bin at 0 Hz) is this many times the noise's.
constexpr double kDcStandsOut = 30;
// A block counts as carrying bits when they show this Es/N0 or more: noise demodulated gives
// about -8 dB, a signal worth demodulating 0 dB and more (below, one bit in six is wrong).
// A carrier tracked to where its bits are lost in the noise is given up as when it goes.
constexpr double kMinBitSnrDb = -3;

class MeteorDemodulator final : public Demodulator {
 public:
  explicit MeteorDemodulator(const DemodulatorConfig& config)
      : sample_rate_(config.sample_rate),
        search_(config.sample_rate, config.carrier_range_hz),
        pll_(config.sample_rate, kPllBandwidthHz),
        bit_sync_(config.sample_rate, config.symbol_rate),
        block_size_(search_.BlockSize()),
        next_report_sample_(config.sample_rate) {
    block_.resize(block_size_);
    quadrature_.resize(block_size_);
    recent_.reserve(kRecentValues);
  }

  void Process(const std::complex<float>* samples, size_t count,
               std::vector<int8_t>& out) override {
    while (count > 0) {
      const size_t take = std::min(count, block_size_ - filled_);
      std::copy(samples, samples + take, block_.begin() + static_cast<std::ptrdiff_t>(filled_));
      filled_ += take;
      samples += take;
      count -= take;
      if (filled_ == block_size_) {
        RunBlock(block_size_, out);
        filled_ = 0;
      }
    }
  }

  void Finish(std::vector<int8_t>& out) override {
    size_t tail = 0;
    if (locked_) {
      // A bit comes out once the samples after it are in: the last bits of a recording that
      // ends in the signal need a few more, given as zeros (and not counted as samples read).
      tail = static_cast<size_t>(std::ceil(2 * bit_sync_.SamplesPerBit())) + 2;
      for (size_t i = 0; i < tail; ++i) {
        if (filled_ == block_size_) {
          RunBlock(block_size_, out);
          filled_ = 0;
        }
        block_[filled_++] = {};
      }
    }
    if (filled_ > 0) RunBlock(filled_, out);
    summary_.samples -= tail;
    filled_ = 0;
    held_.clear();
    held_samples_ = 0;
    if (second_samples_ > 0) EndSecond(static_cast<double>(summary_.samples) / sample_rate_);
  }

  void TakeReports(std::vector<SignalReport>& reports) override {
    reports.insert(reports.end(), reports_.begin(), reports_.end());
    reports_.clear();
  }

  SignalReport Current() const override {
    SignalReport report;
    report.seconds = static_cast<double>(summary_.samples) / sample_rate_;
    report.carrier_offset_hz = Locked() ? pll_.OffsetHz() : NAN;
    report.snr_db = Locked() ? last_snr_db_ : NAN;
    report.locked = Locked();
    return report;
  }

  void RecentSymbols(std::vector<std::complex<float>>& points, size_t max) const override {
    points.clear();
    const size_t count = std::min(max, recent_.size());
    for (size_t i = recent_.size() - count; i < recent_.size(); ++i)
      points.emplace_back(recent_[i], 0.0f);
  }

  const DemodulatorSummary& Summary() const override { return summary_; }

 private:
  bool Locked() const { return locked_ && !on_trial_; }

  // Takes off the DC and sets the block's power to 1. False for a block of silence.
  bool Level(size_t count) {
    std::complex<float>* x = block_.data();
    double sum_re = 0, sum_im = 0;
    for (size_t i = 0; i < count; ++i) {
      sum_re += x[i].real();
      sum_im += x[i].imag();
    }
    if (!std::isfinite(sum_re) || !std::isfinite(sum_im)) {
      // Damaged float samples: what is not a number counts as nothing received.
      sum_re = sum_im = 0;
      for (size_t i = 0; i < count; ++i) {
        if (!std::isfinite(x[i].real()) || !std::isfinite(x[i].imag()) ||
            std::abs(x[i].real()) > 1e15f || std::abs(x[i].imag()) > 1e15f)
          x[i] = 0;
        sum_re += x[i].real();
        sum_im += x[i].imag();
      }
    }
    const std::complex<double> mean =
        std::complex<double>(sum_re, sum_im) / static_cast<double>(count);
    const bool carrier_near_dc =
        locked_ && std::abs(pll_.OffsetHz()) * static_cast<double>(block_size_) <
                       kDcHoldBlockRates * sample_rate_;
    if (!dc_kept_ && !carrier_near_dc) dc_ = have_dc_ ? dc_ + kDcSmoothing * (mean - dc_) : mean;
    have_dc_ = true;
    const std::complex<double> dc = dc_kept_ ? 0 : dc_;
    const float dc_re = static_cast<float>(dc.real()), dc_im = static_cast<float>(dc.imag());
    double power = 0;
    for (size_t i = 0; i < count; ++i) {
      const float re = x[i].real() - dc_re, im = x[i].imag() - dc_im;
      power += re * re + im * im;
    }
    power /= static_cast<double>(count);
    power_ = have_level_ ? power_ + kPowerSmoothing * (power - power_) : power;
    have_level_ = true;
    if (!(power_ > 1e-30) || !(power > 1e-30)) return false;
    const float gain = static_cast<float>(1 / std::sqrt(power_));
    for (size_t i = 0; i < count; ++i)
      x[i] = {(x[i].real() - dc_re) * gain, (x[i].imag() - dc_im) * gain};
    removed_dc_ = std::complex<float>(dc_re * gain, dc_im * gain);
    return true;
  }

  // The carrier search on a levelled block. A carrier at the centre looks like a DC offset and
  // went with it: when the DC taken off stands out of the noise, the search looks again with it
  // left in, and a carrier found there is taken on trial (`at_centre`): the bits decide.
  ResidualCarrierSearch::Result SearchCarrier(size_t count, bool& at_centre) {
    at_centre = false;
    ResidualCarrierSearch::Result carrier = search_.Search(block_.data());
    if (carrier.found || std::norm(removed_dc_) * static_cast<double>(count) < kDcStandsOut)
      return carrier;
    for (size_t i = 0; i < count; ++i) block_[i] += removed_dc_;
    carrier = search_.Search(block_.data());
    const double bin_hz = sample_rate_ / static_cast<double>(search_.FftSize());
    at_centre = carrier.found && std::abs(carrier.offset_hz) < 2 * bin_hz;
    carrier.found = at_centre;
    return carrier;
  }

  void CountLock(double seconds) {
    ++summary_.locks;
    if (std::isnan(summary_.first_lock_seconds)) summary_.first_lock_seconds = seconds;
  }

  void LoseLock() {
    locked_ = false;
    on_trial_ = false;
    dc_kept_ = false;
    have_dc_ = false;  // measured afresh from the next block
    held_.clear();
    held_samples_ = 0;
  }

  void RunBlock(size_t count, std::vector<int8_t>& out) {
    const double start_seconds = static_cast<double>(summary_.samples) / sample_rate_;
    summary_.samples += count;
    const bool signal = Level(count);
    size_t start = 0;  // where the demodulation begins in the block
    if (!locked_ && signal && count >= search_.BlockSize()) {
      bool at_centre = false;
      const ResidualCarrierSearch::Result carrier = SearchCarrier(count, at_centre);
      if (carrier.found) {
        start = SignalStart(carrier, count);
        const double phase_step = kTwoPi * carrier.offset_hz / sample_rate_;
        pll_.Reset(carrier.offset_hz, carrier.phase + phase_step * static_cast<double>(start),
                   carrier.amplitude);
        bit_sync_.Reset();
        locked_ = true;
        failed_blocks_ = 0;
        dc_kept_ = at_centre;
        on_trial_ = true;
        lock_seconds_ = start_seconds + static_cast<double>(start) / sample_rate_;
      }
    }
    if (locked_) Demodulate(start, count, signal, out);
    second_samples_ += count;
    while (static_cast<double>(summary_.samples) >= next_report_sample_) {
      EndSecond(next_report_sample_ / sample_rate_);
      next_report_sample_ += sample_rate_;
    }
  }

  // Where in the block the carrier found in it begins: the window before the first one whose
  // carrier is half as strong as the strongest's (a signal that rises out of the noise in the
  // block is demodulated from there, not from the noise before it).
  size_t SignalStart(const ResidualCarrierSearch::Result& carrier, size_t count) const {
    constexpr size_t kWindows = 8;
    const size_t window = count / kWindows;
    double strength[kWindows];
    const double step = -kTwoPi * carrier.offset_hz / sample_rate_;
    std::complex<double> rotor = std::polar(1.0, -carrier.phase);
    const std::complex<double> rotation = std::polar(1.0, step);
    for (size_t w = 0; w < kWindows; ++w) {
      std::complex<double> sum = 0;
      for (size_t i = w * window; i < (w + 1) * window; ++i) {
        sum += std::complex<double>(block_[i].real(), block_[i].imag()) * rotor;
        rotor *= rotation;
      }
      rotor /= std::abs(rotor);
      strength[w] = sum.real();
    }
    const double strongest = *std::max_element(strength, strength + kWindows);
    size_t first = 0;
    while (first < kWindows && strength[first] < 0.5 * strongest) ++first;
    return first > 0 ? (first - 1) * window : 0;
  }

  void Demodulate(size_t start, size_t count, bool signal, std::vector<int8_t>& out) {
    count -= start;
    pll_.Process(block_.data() + start, count, quadrature_.data());
    const ResidualCarrierPll::CarrierSums carrier = pll_.TakeCarrierSums();
    values_.clear();
    value_weights_.clear();
    bit_sync_.Process(quadrature_.data(), count, values_, &value_weights_);

    // The bits' level and Es/N0 from their second and fourth moments: for +-a in Gaussian
    // noise of variance s2, a^4 = (3 M2^2 - M4) / 2 and Eb/N0 = a^2 / (2 s2). A bit summed
    // over n samples is scaled by (samples per bit) / n for them, so that all have one level.
    // (n: the weight of the samples, fractional where a sample counts in part.)
    const double samples_per_bit = bit_sync_.SamplesPerBit();
    double m2 = 0, m4 = 0;
    for (size_t i = 0; i < values_.size(); ++i) {
      const double v = values_[i] * samples_per_bit / std::max(value_weights_[i], 1e-3f);
      m2 += v * v;
      m4 += v * v * v * v;
    }
    double snr_db = NAN;
    if (!values_.empty()) {
      m2 /= static_cast<double>(values_.size());
      m4 /= static_cast<double>(values_.size());
      const double signal_power = std::sqrt(std::max(0.0, (3 * m2 * m2 - m4) / 2));
      if (signal_power > 0)
        bit_amplitude_ = std::sqrt(signal_power);
      else if (!(bit_amplitude_ > 0))
        bit_amplitude_ = std::sqrt(m2);
      if (signal_power > 0 && m2 > signal_power)
        snr_db = 10 * std::log10(signal_power / (2 * (m2 - signal_power)));
    }
    const float scale = bit_amplitude_ > 0 ? static_cast<float>(1 / bit_amplitude_) : 0.0f;
    const size_t held_before = held_.size();
    held_.resize(held_before + values_.size());
    double second_m2 = 0, second_m4 = 0;
    for (size_t i = 0; i < values_.size(); ++i) {
      const float v = values_[i] * scale;
      const float soft = std::clamp(std::nearbyint(v * kSoftSymbolAmplitude), -127.0f, 127.0f);
      held_[held_before + i] = static_cast<int8_t>(soft);
      const double level = v * samples_per_bit / std::max(value_weights_[i], 1e-3f);
      second_m2 += level * level;
      second_m4 += level * level * level * level;
    }
    held_samples_ += count;

    const double noise_sigma = std::sqrt(static_cast<double>(carrier.samples) / 2);
    const bool carrier_seen =
        signal && carrier.samples > 0 && carrier.in_phase >= kLockSigmas * noise_sigma;
    // No values yet: the bit timing is still being searched, the bits cannot tell.
    const bool bits_seen = values_.empty() || snr_db >= kMinBitSnrDb;
    const bool judged = count * kUnjudgedFraction >= block_size_;
    if (on_trial_) {
      // A new lock counts once its bits are seen: a carrier has bits, a DC offset at the
      // centre or a carrier too weak to use does not. Until then the values are held (a signal
      // rising out of the noise may need a block more), for kLossBlocks blocks at most; a tone
      // at the centre without bits is let go at once (the next block is searched with the DC
      // taken off, where a carrier that starts meanwhile is found).
      if (!carrier_seen || !bits_seen || values_.empty()) {
        const bool waiting_for_timing = carrier_seen && values_.empty();
        if (!waiting_for_timing && (dc_kept_ || ++failed_blocks_ >= kLossBlocks)) LoseLock();
        return;
      }
      on_trial_ = false;
      CountLock(lock_seconds_);
    }
    if ((carrier_seen && bits_seen) || !judged) {
      out.insert(out.end(), held_.begin(), held_.end());
      summary_.symbols += held_.size();
      summary_.locked_seconds += static_cast<double>(held_samples_) / sample_rate_;
      held_.clear();
      held_samples_ = 0;
      failed_blocks_ = 0;
      const double offset = pll_.OffsetHz();
      summary_.min_offset_hz =
          std::isnan(summary_.min_offset_hz) ? offset : std::min(summary_.min_offset_hz, offset);
      summary_.max_offset_hz =
          std::isnan(summary_.max_offset_hz) ? offset : std::max(summary_.max_offset_hz, offset);
      second_m2_ += second_m2;
      second_m4_ += second_m4;
      second_values_ += values_.size();
      if (!std::isnan(snr_db)) last_snr_db_ = snr_db;
      KeepRecent(scale);
    } else {
      // The first block without the signal: what of it came before the fade is written.
      if (failed_blocks_ == 0) ReleaseBeforeFade(scale, samples_per_bit, count, out);
      if (++failed_blocks_ >= kLossBlocks) {
        LoseLock();
        ++summary_.locks_lost;
      }
    }
  }

  // Writes the leading eighths of the block's values (all of held_) whose Es/N0 still shows
  // the bits, and the first that does not: the signal may have set inside it, and its last bits
  // are worth an eighth of a block of noise (no frame marker comes of that).
  void ReleaseBeforeFade(float scale, double samples_per_bit, size_t count,
                         std::vector<int8_t>& out) {
    constexpr size_t kParts = 8;
    const size_t part = values_.size() / kParts;
    if (part == 0 || held_.size() != values_.size()) return;
    size_t good = 0;
    for (; good + part <= values_.size(); good += part) {
      double m2 = 0, m4 = 0;
      for (size_t i = good; i < good + part; ++i) {
        const double level =
            values_[i] * scale * samples_per_bit / std::max(value_weights_[i], 1e-3f);
        m2 += level * level;
        m4 += level * level * level * level;
      }
      m2 /= static_cast<double>(part);
      m4 /= static_cast<double>(part);
      const double signal_power = std::sqrt(std::max(0.0, (3 * m2 * m2 - m4) / 2));
      if (!(signal_power > 0 && m2 > signal_power &&
            10 * std::log10(signal_power / (2 * (m2 - signal_power))) >= kMinBitSnrDb))
        break;
    }
    good = std::min(good + part, values_.size());
    out.insert(out.end(), held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(good));
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(good));
    summary_.symbols += good;
    const size_t samples = count * good / values_.size();
    summary_.locked_seconds += static_cast<double>(samples) / sample_rate_;
    held_samples_ -= std::min(held_samples_, samples);
  }

  void KeepRecent(float scale) {
    const size_t take = std::min(values_.size(), kRecentValues);
    if (recent_.size() + take > kRecentValues)
      recent_.erase(recent_.begin(), recent_.begin() + static_cast<std::ptrdiff_t>(
                                                           recent_.size() + take - kRecentValues));
    for (size_t i = values_.size() - take; i < values_.size(); ++i)
      recent_.push_back(values_[i] * scale);
  }

  void EndSecond(double seconds) {
    SignalReport report;
    report.seconds = seconds;
    report.locked = Locked();
    report.carrier_offset_hz = Locked() ? pll_.OffsetHz() : NAN;
    if (second_values_ > 0) {
      const double m2 = second_m2_ / static_cast<double>(second_values_);
      const double m4 = second_m4_ / static_cast<double>(second_values_);
      const double signal_power = std::sqrt(std::max(0.0, (3 * m2 * m2 - m4) / 2));
      if (signal_power > 0 && m2 > signal_power)
        report.snr_db = 10 * std::log10(signal_power / (2 * (m2 - signal_power)));
    }
    if (!std::isnan(report.snr_db) &&
        (std::isnan(summary_.best_snr_db) || report.snr_db > summary_.best_snr_db))
      summary_.best_snr_db = report.snr_db;
    reports_.push_back(report);
    second_m2_ = second_m4_ = 0;
    second_values_ = 0;
    second_samples_ = 0;
  }

  double sample_rate_;
  ResidualCarrierSearch search_;
  ResidualCarrierPll pll_;
  ManchesterBitSync bit_sync_;
  size_t block_size_;
  std::vector<std::complex<float>> block_;
  size_t filled_ = 0;
  std::vector<float> quadrature_;
  std::vector<float> values_;
  std::vector<float> value_weights_;  // samples each of values_ summed
  // Values of blocks whose carrier was missed, held until the next block tells whether the
  // signal is still there (then they are written) or gone (then they are dropped).
  std::vector<int8_t> held_;
  size_t held_samples_ = 0;
  int failed_blocks_ = 0;
  bool locked_ = false;
  bool on_trial_ = false;  // a carrier found, its bits not yet seen
  double lock_seconds_ = 0;
  bool have_level_ = false;
  bool have_dc_ = false;
  bool dc_kept_ = false;                // locked onto a carrier at the centre: the DC is left in
  std::complex<float> removed_dc_ = 0;  // what the last block had taken off, levelled
  std::complex<double> dc_ = 0;
  double power_ = 0;
  double bit_amplitude_ = 0;
  double last_snr_db_ = NAN;
  std::vector<float> recent_;
  // The second being measured for its report.
  double next_report_sample_;
  size_t second_samples_ = 0;
  double second_m2_ = 0, second_m4_ = 0;
  size_t second_values_ = 0;
  std::vector<SignalReport> reports_;
  DemodulatorSummary summary_;
};

}  // namespace

std::unique_ptr<Demodulator> MakeMeteorDemodulator(const DemodulatorConfig& config) {
  const std::string error = MeteorDemodulatorConfigError(config);
  if (!error.empty()) throw std::invalid_argument(error);
  return std::make_unique<MeteorDemodulator>(config);
}

}  // namespace vantrel
