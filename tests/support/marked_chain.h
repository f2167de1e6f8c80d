#pragma once

#include <string>
#include <vector>

#include "core/chain_runner.h"
#include "core/record_pipe.h"
#include "core/stage_host.h"

namespace vantrel::testing {

// Runs `steps` as the driver's runner runs them, every working file kept, on the working file
// `input`, whose stream carries `marks` as if the step before them in a chain had put them there.
// Returns the marks on the stream the last step wrote. Throws what the run threw.
std::vector<StreamMark> RunMarkedChain(StageHost& host, const std::string& input,
                                       const std::vector<StreamMark>& marks,
                                       const std::vector<StepSpec>& steps, int threads = 0);

}  // namespace vantrel::testing
