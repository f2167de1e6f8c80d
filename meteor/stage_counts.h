#pragma once

#include <cstdint>
#include <limits>

namespace vantrel {

// Separator line length closing the summaries of the Meteor-M N2 stages.
inline constexpr int kMeteorSeparatorStars = 54;

// A 64-bit record count as the 32-bit ProgressCount, saturating instead of wrapping on passes of
// more than 2^31 records.
inline int32_t ProgressValue(int64_t count) {
  return count > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                     : static_cast<int32_t>(count);
}

}  // namespace vantrel
