#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// The product name rule shared by the final writers. From the input path: cut everything before
// the first `marker` (and the marker too when `drop_marker`); then, where the first ".bin" begins
// at 1-based position p >= 3, delete p + 3 characters from position p - 2 (to the end at most):
// "MetopB_20181231_101530.bin" gives "MetopB_20181231_1015". A path without the marker is used
// whole. Folder separators left in the name become '_', so the product stays in the working
// folder.
std::string OutputBaseName(std::string_view input_path, std::string_view marker, bool drop_marker);

}  // namespace vantrel
