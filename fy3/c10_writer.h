#pragma once

#include <string>

#include "core/chain_runner.h"
#include "core/stage_host.h"

namespace vantrel {

// The product's path for the FY-3 satellite the driver chose: the input name's base and ".C10",
// in the working folder.
std::string C10ProductPath(StageHost& host);

// Turns the FY-3 lines of FY3x_.fy3 into the .C10 product.
void C10WriterStep(StepIo& io);
extern const StepSpec kC10WriterStep;
// The step alone, on its working files.
void C10Writer(StageHost& host);

}  // namespace vantrel
