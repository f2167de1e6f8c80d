#pragma once

#include <complex>
#include <cstddef>
#include <memory>
#include <vector>

namespace vantrel {

// A spectral line this many times the mean power of the spectrum's floor (bins of noise) counts
// as a carrier. Over the few thousand bins of a +-60 kHz search the strongest bin of pure noise
// is about ln(bins) ~ 8-9 times the floor; past 25 it has odds of about 1e-7 per search.
inline constexpr double kCarrierPeakToFloor = 25;

struct CarrierSearchResult {
  bool found = false;        // peak_to_floor reached kCarrierPeakToFloor
  double offset_hz = 0;      // the carrier's distance from the centre (of the signal itself)
  double peak_to_floor = 0;  // the strongest bin's power over the mean power of the floor
};

// Finds a carrier by the spectrum of the signal raised to a power: 1 for a plain tone, 4 for QPSK
// (the fourth power wipes the modulation off and leaves a line at 4 times the offset), 2 for
// BPSK. One FFT of `block_size` samples (FFTW, single precision); the strongest bin within
// +-range_hz (times the power) is refined between bins (Jacobsen's estimator on the complex bins,
// a small fraction of a bin for a line well above the floor). The floor is the median bin power
// within the range (over ln 2: the mean of exponentially distributed noise bins).
// Not thread-safe (plans are made under a lock, so separate objects may live in separate threads).
class CarrierSearch {
 public:
  // Throws std::invalid_argument when block_size < 64, sample_rate <= 0, power outside 1..8 or
  // power * range_hz not below half the sample rate (the line would alias).
  CarrierSearch(size_t block_size, double sample_rate, int power, double range_hz);
  ~CarrierSearch();
  CarrierSearch(const CarrierSearch&) = delete;
  CarrierSearch& operator=(const CarrierSearch&) = delete;

  // Searches `count` samples (at most block_size; a shorter piece is padded with zeros, which
  // widens the line: give whole blocks where it matters). Scale-free: the level does not matter.
  CarrierSearchResult Find(const std::complex<float>* samples, size_t count);

  size_t block_size() const { return block_size_; }
  // Hertz between two bins of the carrier's own frequency (the bin of the power's spectrum /
  // power).
  double resolution_hz() const { return sample_rate_ / static_cast<double>(block_size_) / power_; }

 private:
  struct Transform;
  size_t block_size_;
  double sample_rate_;
  int power_;
  double range_hz_;
  std::unique_ptr<Transform> transform_;
  std::vector<float> floor_scratch_;
};

}  // namespace vantrel
