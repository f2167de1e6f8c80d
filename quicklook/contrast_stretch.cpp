#include "quicklook/contrast_stretch.h"

#include <algorithm>

namespace vantrel {
namespace {

constexpr int kWhite = 255;
constexpr int kMidGrey = 128;
constexpr int kPerMille = 1000;

}  // namespace

uint16_t SampleHistogram::Percentile(int per_mille) const {
  if (total_ == 0) return 0;
  const auto share = static_cast<uint64_t>(std::clamp(per_mille, 0, kPerMille));
  const uint64_t rank = std::max<uint64_t>(1, (total_ * share + kPerMille - 1) / kPerMille);
  uint64_t seen = 0;
  for (int v = 0; v < kValues; ++v) {
    seen += counts_[v];
    if (seen >= rank) return static_cast<uint16_t>(v);
  }
  return kValues - 1;
}

uint8_t ContrastStretch::Map(uint16_t value) const {
  int grey;
  if (high <= low) {
    grey = value < low ? 0 : value > low ? kWhite : kMidGrey;
  } else if (value <= low) {
    grey = 0;
  } else if (value >= high) {
    grey = kWhite;
  } else {
    // Rounded to the nearest grey level.
    grey = ((value - low) * kWhite * 2 + (high - low)) / (2 * (high - low));
  }
  return static_cast<uint8_t>(invert ? kWhite - grey : grey);
}

ContrastStretch PercentileStretch(const SampleHistogram& histogram, bool invert) {
  return {histogram.Percentile(kStretchLowPerMille), histogram.Percentile(kStretchHighPerMille),
          invert};
}

}  // namespace vantrel
