#pragma once

#include "core/chain_runner.h"
#include "core/stage_host.h"

namespace vantrel {

// Turns the FY-3 lines of FY3x_.fy3 into the .C10 product, named by the run's satellite
// (ProductPath): the input name's base and ".C10", in the working folder. The pass date is the
// "yyyy-mm-dd" after the satellite's marker in the name.
void C10WriterStep(StepIo& io);
extern const StepSpec kC10WriterStep;
// The step alone, on its working files.
void C10Writer(StageHost& host);

}  // namespace vantrel
