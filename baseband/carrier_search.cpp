#include "baseband/carrier_search.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <string>

namespace vantrel {
namespace {

// FFTW's planner is not thread-safe: every plan is made and destroyed under this lock.
std::mutex& PlannerLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

struct CarrierSearch::Transform {
  explicit Transform(size_t size)
      : buffer(static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * size))) {
    if (buffer == nullptr) throw std::bad_alloc();
    std::lock_guard<std::mutex> lock(PlannerLock());
    plan = fftwf_plan_dft_1d(static_cast<int>(size), buffer, buffer, FFTW_FORWARD, FFTW_ESTIMATE);
    if (plan == nullptr) {
      fftwf_free(buffer);
      throw std::runtime_error("carrier search: FFTW made no plan for " + std::to_string(size));
    }
  }
  ~Transform() {
    std::lock_guard<std::mutex> lock(PlannerLock());
    fftwf_destroy_plan(plan);
    fftwf_free(buffer);
  }
  fftwf_complex* buffer;
  fftwf_plan plan;
};

CarrierSearch::CarrierSearch(size_t block_size, double sample_rate, int power, double range_hz)
    : block_size_(block_size), sample_rate_(sample_rate), power_(power), range_hz_(range_hz) {
  if (block_size < 64 || block_size > (size_t{1} << 26))
    throw std::invalid_argument("carrier search: block of " + std::to_string(block_size) +
                                " samples (64 to 2^26 needed)");
  if (!(sample_rate > 0) || !std::isfinite(sample_rate))
    throw std::invalid_argument("carrier search: sample rate " + std::to_string(sample_rate) +
                                " is not positive");
  if (power < 1 || power > 8)
    throw std::invalid_argument("carrier search: power " + std::to_string(power) +
                                " (1 to 8 needed)");
  if (!(range_hz >= 0) || !(range_hz * power < sample_rate / 2))
    throw std::invalid_argument("carrier search: range +-" + std::to_string(range_hz) +
                                " Hz times power " + std::to_string(power) +
                                " is not below half the sample rate");
  transform_ = std::make_unique<Transform>(block_size);
}

CarrierSearch::~CarrierSearch() = default;

CarrierSearchResult CarrierSearch::Find(const std::complex<float>* samples, size_t count) {
  count = std::min(count, block_size_);
  fftwf_complex* bins = transform_->buffer;
  // The power by repeated multiplication, in double for the fourth power's dynamic range.
  for (size_t i = 0; i < count; ++i) {
    const std::complex<double> x(samples[i].real(), samples[i].imag());
    std::complex<double> y = x;
    for (int p = 1; p < power_; ++p)
      y = {y.real() * x.real() - y.imag() * x.imag(), y.real() * x.imag() + y.imag() * x.real()};
    bins[i][0] = static_cast<float>(y.real());
    bins[i][1] = static_cast<float>(y.imag());
  }
  for (size_t i = count; i < block_size_; ++i) bins[i][0] = bins[i][1] = 0;
  fftwf_execute(transform_->plan);

  const long size = static_cast<long>(block_size_);
  const double bin_hz = sample_rate_ / static_cast<double>(block_size_);
  // Bins of the power's spectrum within +-range (at least the centre's neighbours).
  const long reach = std::max(1L, static_cast<long>(range_hz_ * power_ / bin_hz));
  auto index = [size](long k) { return static_cast<size_t>(((k % size) + size) % size); };
  auto power_of = [bins](size_t i) { return bins[i][0] * bins[i][0] + bins[i][1] * bins[i][1]; };

  floor_scratch_.clear();
  long peak = 0;
  float peak_power = -1;
  for (long k = -reach; k <= reach; ++k) {
    const float p = power_of(index(k));
    floor_scratch_.push_back(p);
    if (p > peak_power) peak_power = p, peak = k;
  }
  auto middle = floor_scratch_.begin() + static_cast<long>(floor_scratch_.size() / 2);
  std::nth_element(floor_scratch_.begin(), middle, floor_scratch_.end());
  const double floor = *middle / std::log(2.0);

  CarrierSearchResult result;
  if (!(floor > 0) || !(peak_power > 0)) return result;  // silence: nothing to find
  result.peak_to_floor = peak_power / floor;
  result.found = result.peak_to_floor >= kCarrierPeakToFloor;

  // Jacobsen: delta = Re((X[k-1] - X[k+1]) / (2 X[k] - X[k-1] - X[k+1])), in bins.
  const std::complex<double> below(bins[index(peak - 1)][0], bins[index(peak - 1)][1]);
  const std::complex<double> centre(bins[index(peak)][0], bins[index(peak)][1]);
  const std::complex<double> above(bins[index(peak + 1)][0], bins[index(peak + 1)][1]);
  const std::complex<double> denominator = 2.0 * centre - below - above;
  double delta = 0;
  if (std::abs(denominator) > 0) delta = ((below - above) / denominator).real();
  delta = std::clamp(delta, -0.5, 0.5);
  result.offset_hz = (static_cast<double>(peak) + delta) * bin_hz / power_;
  return result;
}

}  // namespace vantrel
