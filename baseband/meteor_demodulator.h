#pragma once

// Meteor-M N2 HRPT demodulation: phase modulation exp(j * beta * m(t)) with a residual carrier,
// m(t) the Manchester NRZ waveform of the data (a one is a half-bit of +1 then one of -1).
//
//   samples -> level (DC removal, block AGC) -> carrier search (when unlocked)
//           -> residual-carrier PLL -> quadrature component sin(beta) * m(t)
//           -> whole-bit Manchester matched filter with timing recovery -> soft data bits
//
// MakeMeteorDemodulator (baseband/demodulator.h) puts the blocks below together; they are
// declared here so that each can be tested and measured on its own. It works in blocks of
// ResidualCarrierSearch::BlockSize() samples (about 11 ms at 3 Msps), so values lag the samples
// by up to four blocks:
// - Unlocked, each block is searched for the carrier. A carrier found is demodulated from where
//   it rises in that block; the lock counts (Summary().locks, first_lock_seconds) once a block
//   shows both the carrier and bits of Es/N0 -3 dB or more, and the values held until then
//   are written. A tone at the centre of the band that shows no bits is a DC offset.
// - Locked, a block whose carrier or bits are missing is held; three such blocks in a row lose
//   the lock and their values are dropped (of the first, the part before the fade is written).
// - Reports: carrier_offset_hz and snr_db are NaN while no lock is held; the last report at
//   Finish covers the part-second at the end. RecentSymbols replaces `points`.
// - Not for one recording on several threads; demodulators on different threads are fine
//   (FFTW's planner is guarded).

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "baseband/demodulator.h"

namespace vantrel {

// Why `config` cannot be demodulated as Meteor-M N2, as one line naming the setting and its
// value; empty when it can. Refused: a sample rate that is not a finite number of at least 2.8
// samples per data bit (about 1.9 Msps for 665.4 kbit/s) or above 1e9; a bit rate that is not
// finite and positive; a carrier range that is negative, not finite, or above a quarter of the
// sample rate (a carrier that far out leaves the signal's main lobe outside the recording).
// MakeMeteorDemodulator throws std::invalid_argument with this line for such a config.
std::string MeteorDemodulatorConfigError(const DemodulatorConfig& config);

// Finds a residual carrier: the power spectrum of the samples themselves, averaged over
// kFrames transforms of FftSize() points (Hann window); the Manchester data has a spectral null
// at the carrier, so the carrier is the strongest bin within +-range_hz when it is there at all.
// The peak is interpolated between bins, then refined, and its phase measured, by correlating
// the two halves of the block with the found tone.
class ResidualCarrierSearch {
 public:
  static constexpr int kFrames = 4;
  // A peak counts as a carrier when its power is this many times the mean of the other bins in
  // the range. The mean of 4 noise spectra exceeds 8 times its expectation with a probability
  // near 1e-10 per bin; a beta of 1.45 at Es/N0 2 dB still puts the carrier 13 dB above that.
  static constexpr double kDetectionRatio = 8;

  struct Result {
    bool found = false;
    double offset_hz = 0;   // the carrier's frequency
    double phase = 0;       // the carrier's phase at the block's first sample, radians
    double amplitude = 0;   // the carrier's amplitude (the samples' units)
    double peak_ratio = 0;  // the peak bin's power / the mean of the others
  };

  // Transforms of about 400 Hz resolution or finer (a power of two of at least 1024 points).
  ResidualCarrierSearch(double sample_rate, double range_hz);
  ~ResidualCarrierSearch();
  ResidualCarrierSearch(const ResidualCarrierSearch&) = delete;
  ResidualCarrierSearch& operator=(const ResidualCarrierSearch&) = delete;

  size_t FftSize() const { return fft_size_; }
  // Samples one search takes: kFrames * FftSize().
  size_t BlockSize() const { return kFrames * fft_size_; }
  // Searches the first BlockSize() samples of `samples` (which must hold at least that many).
  Result Search(const std::complex<float>* samples);

 private:
  double sample_rate_;
  double range_hz_;
  size_t fft_size_;
  std::vector<float> window_;
  std::vector<float> power_;
  struct Fft;
  std::unique_ptr<Fft> fft_;
};

// Tracks a residual carrier with a second-order PLL and takes it off the samples. The loop's
// phase detector is the imaginary part of the sum of each kUpdateSamples derotated samples,
// divided by the carrier's tracked amplitude: over a sub-block the Manchester data sums to
// (nearly) nothing, so the data does not steer the loop, only the carrier does.
class ResidualCarrierPll {
 public:
  static constexpr size_t kUpdateSamples = 64;

  // The loop's noise bandwidth in hertz (damping 0.707).
  ResidualCarrierPll(double sample_rate, double bandwidth_hz);

  // Starts tracking at `offset_hz` with phase `phase` (radians) at the next sample, the
  // carrier `amplitude` in the samples' units (a starting value for the loop's gain).
  void Reset(double offset_hz, double phase, double amplitude);
  // Derotates `count` samples by the tracked carrier and writes their imaginary parts (the
  // modulation, sin(beta) * m(t) times the level) to `quadrature` (count values).
  void Process(const std::complex<float>* samples, size_t count, float* quadrature);

  double OffsetHz() const;
  // The carrier as seen in the samples derotated since the last call: the sums of their real
  // and imaginary parts and their count. Locked, the mean real part is the carrier's amplitude
  // and the imaginary part is near 0.
  struct CarrierSums {
    double in_phase = 0;
    double quadrature = 0;
    uint64_t samples = 0;
  };
  CarrierSums TakeCarrierSums();

 private:
  void Update(std::complex<double> sum, size_t count);

  double sample_rate_;
  double k_phase_;  // loop gains per update
  double k_frequency_;
  double phase_ = 0;      // radians at the next sample
  double frequency_ = 0;  // radians per sample
  double amplitude_ = 1;  // tracked carrier amplitude
  size_t pending_ = 0;    // samples of the current sub-block already derotated
  std::complex<double> pending_sum_ = 0;
  std::complex<float> rotor_ = 1;
  std::complex<float> step_ = 1;
  CarrierSums sums_;
};

// Recovers the data bits from the quadrature component: the matched filter of the whole
// Manchester bit, the sum of the samples in the first half-bit minus the sum of those in the
// second, so any number of samples per bit works. Which samples count where depends on what the
// receiver did to the waveform: taken at instants, a sample counts in the half-bit its instant
// falls in; averaged over its period (band-limited), a sample astride a boundary counts in part
// on both sides. kFilters such filters run side by side, from the one to the other, and the one
// whose values show the best Es/N0 gives the bits (chosen again every 1024 bits).
// Timing: a Gardner detector on half-bit integrals taken at fractional positions from the
// running sum of the samples (each sample standing for one sample period, which gives the
// detector its resolution below a sample), a second-order loop that settles wide and then
// narrows (tracks a sample clock off by 100 ppm and more); which half-bit begins a bit is taken
// from the signal and watched (a Manchester pair sums to 0, a pair across two bits does not
// when the bits differ). The first timing comes from a search over one bit period of the first
// kAcquireBits bits.
class ManchesterBitSync {
 public:
  static constexpr size_t kAcquireBits = 2048;
  static constexpr int kFilters = 3;

  ManchesterBitSync(double sample_rate, double bit_rate);

  // Forgets the timing: the next samples start a new search.
  void Reset();
  // Takes `count` quadrature samples and appends one matched-filter value per completed bit
  // to `bits` (positive: the half-bits were + then -, a data one). Holds back up to
  // kAcquireBits bits until the first timing is found, and about one bit between calls.
  // `bit_weights`, if given, gets how many samples each value summed, fractional where a
  // sample counted in part (the value's level grows with it).
  void Process(const float* quadrature, size_t count, std::vector<float>& bits,
               std::vector<float>* bit_weights = nullptr);

  // The tracked bit period in samples.
  double SamplesPerBit() const { return 2 * half_period_; }
  // The matched filter in use, 0 (samples taken at instants) to kFilters - 1 (averaged).
  int Filter() const { return filter_; }
  // Times the bit pairing was corrected (a half-bit slipped) since Reset.
  uint64_t PairingSlips() const { return pairing_slips_; }

 private:
  double Integral(double position) const;  // of the samples up to `position` (buffer-relative)
  // The samples whose instant is before `position`, and their count; one within `ramp`
  // samples of it counts in part.
  struct Weighted {
    double sum;
    double weight;
  };
  Weighted SampleSum(double position, double ramp) const;
  void EmitBit(const float* sums, const float* weights, std::vector<float>& bits,
               std::vector<float>* bit_weights);
  void Acquire();

  double nominal_half_period_;
  double half_period_;
  bool acquired_ = false;
  std::vector<float> samples_;  // what is still needed of the quadrature samples
  std::vector<float> running_sum_;
  // The timing: boundary_ starts the next half-bit to integrate; last_mid_ the middle of
  // the one before, whose integral is last_half_.
  double boundary_ = 0;
  double last_mid_ = 0;
  float last_half_ = 0;
  double step_adjust_ = 0;
  bool second_half_ = false;  // the next half-bit is a bit's second
  float first_half_ = 0;
  float first_sums_[kFilters] = {};  // the pending first half-bit, per filter
  float first_weights_[kFilters] = {};
  int filter_ = 1;
  double filter_m2_[kFilters] = {};
  double filter_m4_[kFilters] = {};
  uint64_t bits_since_choice_ = 0;
  uint64_t filter_bits_ = 0;
  double half_power_ = 0;    // running mean of a half-bit integral squared
  double within_pairs_ = 0;  // running means of (first + second)^2, and across bits
  double across_pairs_ = 0;
  uint64_t pairing_slips_ = 0;
  uint64_t half_bits_ = 0;  // since the timing search
};

}  // namespace vantrel
