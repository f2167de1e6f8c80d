#include "sim/test_pattern.h"

namespace vantrel::sim {
namespace {

constexpr int kBarBits = kPatternBarColumns / kPatternBarCellColumns;  // 16

}  // namespace

uint16_t TestPatternSample(int channel, int column, int width, uint32_t line) {
  if (column < kPatternBarColumns) {
    const int bit = kBarBits - 1 - column / kPatternBarCellColumns;
    return ((line >> bit) & 1) != 0 ? kPatternBright : kPatternDark;
  }
  if (column % kPatternGridColumns == kPatternGridColumns - 1 ||
      line % kPatternGridLines == kPatternGridLines - 1)
    return kPatternGrid;
  const int span = width - kPatternBarColumns;
  if (span < 2) return kPatternDark;
  const int64_t position =
      (static_cast<int64_t>(column - kPatternBarColumns) * (channel + 1)) % span;
  return static_cast<uint16_t>(position * kPatternRampTop / (span - 1));
}

}  // namespace vantrel::sim
