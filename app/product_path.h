#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// The product a run on `input_path` writes: its path in the working folder, named by the rule of
// the chain the input's satellite marker selects. Empty when the path has no satellite marker.
std::string ProductPathFor(std::string_view input_path);

}  // namespace vantrel
