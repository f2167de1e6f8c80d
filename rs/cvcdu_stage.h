#pragma once

#include "core/chain_runner.h"
#include "core/stage_host.h"

namespace vantrel {

// Keeps the 892 data bytes of every CADU record (cadu.pds): the VCDUs (cvcdu.rs).
void CvcduStep(StepIo& io);
extern const StepSpec kCvcduStep;
// The step alone, on its working files.
void CvcduStage(StageHost& host);

}  // namespace vantrel
