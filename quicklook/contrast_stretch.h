#pragma once

#include <array>
#include <cstdint>

namespace vantrel {

// The share of samples a quicklook lets go black at the dark end and white at the bright end:
// a stretch between these percentiles ignores the odd hot or dead pixel that a min/max stretch
// would let decide the contrast.
// In thousandths of the samples: 1 % and 99 %.
inline constexpr int kStretchLowPerMille = 10;
inline constexpr int kStretchHighPerMille = 990;

// Counts of 10-bit sample values.
class SampleHistogram {
 public:
  static constexpr int kValues = 1024;

  void Add(uint16_t value) {
    ++counts_[value & (kValues - 1)];
    ++total_;
  }
  uint64_t Total() const { return total_; }
  // The nearest-rank percentile: the smallest value v with at least ceil(per_mille * total / 1000)
  // samples (and at least one) at or below v; per_mille is clamped to 0..1000. 0 when empty.
  uint16_t Percentile(int per_mille) const;

 private:
  std::array<uint64_t, kValues> counts_{};
  uint64_t total_ = 0;
};

// A linear map of 10-bit samples onto 8-bit grey: `low` and below to 0, `high` and above to 255,
// reversed when `invert` (cold = bright for thermal infrared).
struct ContrastStretch {
  uint16_t low = 0;
  uint16_t high = SampleHistogram::kValues - 1;
  bool invert = false;

  // A flat image (low == high) maps its one value to mid grey.
  uint8_t Map(uint16_t value) const;
};

// The stretch between the kStretchLowPerMille and kStretchHighPerMille percentiles.
ContrastStretch PercentileStretch(const SampleHistogram& histogram, bool invert);

}  // namespace vantrel
